"""Grover search over 2**12 = 4096 items for one marked item.

Built from h, x and mcu only: the oracle flips the sign of the marked basis
state (X on the qubits where the item has a 0 bit, then a Z controlled by all
other qubits), and the diffusion step reflects about the uniform superposition.
The marked item's probability climbs from 1/4096 to about 1 after
floor(pi/4 * sqrt(4096)) = 50 rounds, as sin((2r+1) * asin(1/64))**2 predicts;
a measurement then finds it.
"""

import math

import zentrova

N = 12
MARKED = 0b1011_0111_0010
ROUNDS = math.floor(math.pi / 4 * math.sqrt(2**N))
# Each round turns the state by 2 * ANGLE towards the marked item.
ANGLE = math.asin(2 ** (-N / 2))
Z = (1 + 0j, 0j, 0j, -1 + 0j)


def flip_sign_of_all_ones(reg: zentrova.QuantumRegister) -> None:
    # Z on the top qubit, controlled by all the others: -1 on |11...1> only.
    reg.mcu(list(range(N - 1)), N - 1, *Z)


def oracle(reg: zentrova.QuantumRegister) -> None:
    zeros = [q for q in range(N) if not MARKED >> q & 1]
    for q in zeros:
        reg.x(q)
    flip_sign_of_all_ones(reg)
    for q in zeros:
        reg.x(q)


def diffusion(reg: zentrova.QuantumRegister) -> None:
    for q in range(N):
        reg.h(q).x(q)
    flip_sign_of_all_ones(reg)
    for q in range(N):
        reg.x(q).h(q)


def main() -> None:
    reg = zentrova.QuantumRegister(N)
    for q in range(N):
        reg.h(q)
    print(f"searching {2**N} items for |{MARKED:0{N}b}>, {ROUNDS} rounds")
    for r in range(ROUNDS + 1):
        if r > 0:
            oracle(reg)
            diffusion(reg)
        if r % 5 == 0:
            p = reg.god_observe()[MARKED]
            theory = math.sin((2 * r + 1) * ANGLE) ** 2
            print(f"round {r:2d}  P(marked) = {p:.6f}  theory {theory:.6f}  {'#' * round(p * 40)}".rstrip())
    print(f"a measurement reads {reg.observe()!r}")


if __name__ == "__main__":
    main()
