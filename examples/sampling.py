"""Sampling a circuit: run it many times and count the outcomes.

A measurement collapses the register and there is no way to copy or reset
one, so each shot builds a fresh register, applies the circuit and measures.
The counts are printed beside the exact probabilities that god_observe reads
from an unmeasured copy of the circuit, and the script checks that every count
lies within 5 standard deviations of its expectation (a binomial spread) and
that outcomes of probability 0 never appear. It ends with the rate of shots.
"""

import math
import sys
import time
from collections import Counter

import zentrova

N = 3
SHOTS = 20_000
# A rotation that leaves qubit 0 reading 1 with probability 0.8**2 = 0.64.
TURN = (0.6 + 0j, -0.8 + 0j, 0.8 + 0j, 0.6 + 0j)


def circuit() -> zentrova.QuantumRegister:
    # Qubit 2 ends up as the parity of qubits 0 and 1.
    return zentrova.QuantumRegister(N).u(0, *TURN).h(1).cnot(0, 2).cnot(1, 2)


def main() -> int:
    exact = circuit().god_observe()
    start = time.perf_counter()
    counts = Counter(repr(circuit().observe()) for _ in range(SHOTS))
    elapsed = time.perf_counter() - start

    print(f"{SHOTS} shots of u(0, 0.6, -0.8, 0.8, 0.6) h(1) cnot(0, 2) cnot(1, 2), "
          "a fresh register each")
    print("  ket     count    share  exact")
    agree = True
    for index, p in enumerate(exact):
        ket = f"|{index:0{N}b}>"
        seen = counts.pop(ket, 0)
        spread = math.sqrt(SHOTS * p * (1 - p))
        ok = seen == 0 if p == 0 else abs(seen - SHOTS * p) <= 5 * spread
        agree = agree and ok
        print(f"  {ket}  {seen:6d}  {seen / SHOTS:7.4f}  {p!r}{'' if ok else '  MISMATCH'}")
    if counts:  # a ket the loop above did not list
        agree = False
        print("  unexpected outcomes:", dict(counts))
    print("counts agree with the probabilities" if agree else "counts DISAGREE with the probabilities")
    print(f"{SHOTS / elapsed:,.0f} shots per second")
    return 0 if agree else 1


if __name__ == "__main__":
    sys.exit(main())
