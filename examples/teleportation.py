"""Quantum teleportation of a random single-qubit state.

Qubit 0 holds the state to send, qubits 1 and 2 a Bell pair shared by Alice
(qubit 1) and Bob (qubit 2). Alice entangles her two qubits and measures them
with observe_one; Bob, told the two classical bits, applies X and/or Z to his
qubit, which then holds the original state. Each trial prints the input's and
Bob's probabilities of reading 1 (they agree to rounding), then undoes the
preparation on Bob's qubit, which must bring it back to |0> exactly up to
rounding: that checks the phase too, not only the probabilities.
"""

import math
import random

import zentrova

TRIALS = 6
TOLERANCE = 1e-12
ONE = "|1>"


def prepare(reg: zentrova.QuantumRegister, q: int, theta: float, phi: float) -> None:
    reg.ry(q, theta).rz(q, phi)


def unprepare(reg: zentrova.QuantumRegister, q: int, theta: float, phi: float) -> None:
    reg.rz(q, -phi).ry(q, -theta)


def probability_of_one(probs: list[float], q: int) -> float:
    return sum(p for i, p in enumerate(probs) if i >> q & 1)


def teleport_once(rng: random.Random) -> bool:
    theta, phi = rng.uniform(0.0, math.pi), rng.uniform(-math.pi, math.pi)
    reference = zentrova.QuantumRegister(1)
    prepare(reference, 0, theta, phi)
    p_in = probability_of_one(reference.god_observe(), 0)

    reg = zentrova.QuantumRegister(3)
    prepare(reg, 0, theta, phi)
    reg.h(1).cnot(1, 2)  # the Bell pair
    reg.cnot(0, 1).h(0)  # Alice's half of the protocol
    m0 = repr(reg.observe_one(0)) == ONE
    m1 = repr(reg.observe_one(1)) == ONE
    # Bob's corrections, chosen by the two classical bits Alice sends.
    if m1:
        reg.x(2)
    if m0:
        reg.u(2, 1 + 0j, 0j, 0j, -1 + 0j)  # Z
    p_bob = probability_of_one(reg.god_observe(), 2)
    unprepare(reg, 2, theta, phi)
    p_left = probability_of_one(reg.god_observe(), 2)

    fixes = "+".join(name for name, on in (("X", m1), ("Z", m0)) if on) or "none"
    ok = abs(p_bob - p_in) < TOLERANCE and p_left < TOLERANCE
    print(
        f"theta={theta:.4f} phi={phi:+.4f}  Alice read {int(m0)}{int(m1)}  Bob applies {fixes:4}  "
        f"P(1) in {p_in:.12f} out {p_bob:.12f}  undone {p_left:.0e}  {'ok' if ok else 'MISMATCH'}"
    )
    return ok


def main() -> None:
    rng = random.Random()
    matched = sum(teleport_once(rng) for _ in range(TRIALS))
    print(f"{matched} of {TRIALS} teleported states match the input")


if __name__ == "__main__":
    main()
