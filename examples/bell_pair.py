"""A Bell pair: entangle two qubits, then measure both.

Each run prints |00> or |11>, never |01> or |10>; over many runs each appears
about half the time.
"""

from collections import Counter

import zentrova

SHOTS = 2000


def main() -> None:
    reg = zentrova.QuantumRegister(2).h(0).cnot(0, 1)
    print("probabilities |00> |01> |10> |11>:", reg.god_observe())
    counts: Counter[str] = Counter()
    for _ in range(SHOTS):
        counts[repr(zentrova.QuantumRegister(2).h(0).cnot(0, 1).observe())] += 1
    for ket in ("|00>", "|01>", "|10>", "|11>"):
        share = counts[ket] / SHOTS
        print(f"{ket}  {counts[ket]:5d}  {'#' * round(share * 50)}")


if __name__ == "__main__":
    main()
