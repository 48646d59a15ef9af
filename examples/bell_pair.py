"""A Bell pair: entangle two qubits, then measure both, a few thousand times.

The two qubits always agree: every shot reads |00> or |11>, each about half the
time, and |01> and |10> never appear.
"""

from collections import Counter

import zentrova

SHOTS = 4000


def bell_pair() -> zentrova.QuantumRegister:
    return zentrova.QuantumRegister(2).h(0).cnot(0, 1)


def main() -> None:
    print("probabilities |00> |01> |10> |11>:", bell_pair().god_observe())
    # A measurement collapses the state, so each shot needs a fresh pair.
    counts = Counter(repr(bell_pair().observe()) for _ in range(SHOTS))
    print(f"{SHOTS} shots:")
    for ket in ("|00>", "|01>", "|10>", "|11>"):
        share = counts[ket] / SHOTS
        print(f"  {ket} {counts[ket]:5d}  {share:6.1%}  {'#' * round(share * 50)}".rstrip())
    disagree = counts["|01>"] + counts["|10>"]
    print("qubits disagreed in", disagree, "shots")


if __name__ == "__main__":
    main()
