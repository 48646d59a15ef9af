"""The quantum Fourier transform on 6 qubits, from h, controlled phases and swaps.

The circuit maps basis state |x> to the sum over y of exp(2*pi*i*x*y/64) |y>,
divided by 8: the discrete Fourier transform of the amplitudes. Two inputs:

- a state with period 8 (the basis states 1, 9, 17, ..., 57 in equal parts),
  whose transform has peaks at the multiples of 64/8 = 8, each 1/8;
- a random product state, whose transform has no pattern to see: all 64
  probabilities are compared with a direct DFT computed here in Python.
"""

import cmath
import math
import random

import zentrova

N = 6
DIM = 2**N
TOLERANCE = 1e-12


def controlled_phase(reg: zentrova.QuantumRegister, control: int, target: int, angle: float) -> None:
    reg.mcu([control], target, 1 + 0j, 0j, 0j, cmath.exp(1j * angle))


def qft(reg: zentrova.QuantumRegister) -> None:
    for j in reversed(range(N)):
        reg.h(j)
        for k in reversed(range(j)):
            controlled_phase(reg, k, j, math.pi / 2 ** (j - k))
    # The circuit leaves the output bits in reverse order.
    for q in range(N // 2):
        reg.swap(q, N - 1 - q)


def dft_probabilities(amps: list[complex]) -> list[float]:
    return [
        abs(sum(a * cmath.exp(2j * math.pi * x * y / DIM) for x, a in enumerate(amps))) ** 2 / DIM
        for y in range(DIM)
    ]


def periodic_input() -> None:
    reg = zentrova.QuantumRegister(N).x(0)
    for q in range(3, N):
        reg.h(q)
    print("input:  period 8, basis states", [i for i, p in enumerate(reg.god_observe()) if p > 0])
    qft(reg)
    probs = reg.god_observe()
    print("output: probability above 1e-12 only at")
    for y, p in enumerate(probs):
        if p > TOLERANCE:
            print(f"  |{y:0{N}b}> = {y:2d}  {p:.15f}")


def random_product_input(rng: random.Random) -> None:
    reg = zentrova.QuantumRegister(N)
    amps = [1 + 0j] * DIM
    for q in range(N):
        # A random qubit state (a, b), loaded with a unitary whose first column it is.
        theta, phi = rng.uniform(0, math.pi), rng.uniform(-math.pi, math.pi)
        a, b = complex(math.cos(theta / 2)), cmath.exp(1j * phi) * math.sin(theta / 2)
        reg.u(q, a, -b.conjugate(), b, a.conjugate())
        amps = [amp * (b if x >> q & 1 else a) for x, amp in enumerate(amps)]
    qft(reg)
    expected = dft_probabilities(amps)
    worst = max(abs(p - e) for p, e in zip(reg.god_observe(), expected))
    verdict = "ok" if worst < TOLERANCE else "MISMATCH"
    print(f"random product state: largest difference from the direct DFT over {DIM} probabilities")
    print(f"  {worst:.1e}  {verdict}")


def main() -> None:
    periodic_input()
    random_product_input(random.Random())


if __name__ == "__main__":
    main()
