"""A GHZ state on 10 qubits: (|0000000000> + |1111111111>) / sqrt(2).

One Hadamard and a chain of CNOTs entangle all ten qubits. Only the two
all-equal basis states have any probability; every measurement of the whole
register reads all zeros or all ones, and so does any subset of the qubits.
"""

from collections import Counter

import zentrova

N = 10
SHOTS = 200


def ghz(n: int) -> zentrova.QuantumRegister:
    reg = zentrova.QuantumRegister(n).h(0)
    for q in range(1, n):
        reg.cnot(q - 1, q)
    return reg


def main() -> None:
    probs = ghz(N).god_observe()
    nonzero = {i: p for i, p in enumerate(probs) if p != 0.0}
    print(f"{len(nonzero)} of {len(probs)} basis states have non-zero probability:")
    for i, p in nonzero.items():
        print(f"  |{i:0{N}b}>  {p!r}")

    counts = Counter(repr(ghz(N).observe()) for _ in range(SHOTS))
    print(f"{SHOTS} measurements of all {N} qubits:")
    for ket, count in sorted(counts.items()):
        print(f"  {ket}  {count}")

    # Qubits 0, 4 and 9 only: the ket lists them highest first, |q9 q4 q0>.
    counts = Counter(repr(ghz(N).observe_mul([9, 0, 4])) for _ in range(SHOTS))
    print(f"{SHOTS} measurements of qubits [9, 0, 4]:")
    for ket, count in sorted(counts.items()):
        print(f"  {ket}  {count}")


if __name__ == "__main__":
    main()
