"""A Bell pair and a GHZ state written in Qiskit and run on zentrova through
the plugin's backend (pip install "zentrova[qiskit]").

transpile() maps the circuits onto the gates zentrova runs; backend.run()
samples their shots from the exact probabilities, seeded, so this prints the
same counts every time. The Bell pair's two bits always agree, and so do the
GHZ state's six.
"""

from qiskit import QuantumCircuit, transpile

from zentrova_qiskit import ZentrovaBackend

SHOTS = 2000


def bell() -> QuantumCircuit:
    qc = QuantumCircuit(2, 2, name="bell")
    qc.h(0)
    qc.cx(0, 1)
    qc.measure([0, 1], [0, 1])
    return qc


def ghz(n: int) -> QuantumCircuit:
    qc = QuantumCircuit(n, name=f"ghz{n}")
    qc.h(0)
    for q in range(1, n):
        qc.cx(q - 1, q)
    qc.measure_all()
    return qc


def main() -> None:
    backend = ZentrovaBackend()
    circuits = transpile([bell(), ghz(6)], backend)
    result = backend.run(circuits, shots=SHOTS, seed_simulator=2024, memory=True).result()
    agree = 0
    for circuit in circuits:
        counts = result.get_counts(circuit)
        print(f"{circuit.name}: {SHOTS} shots")
        for key, count in sorted(counts.items()):
            print(f"  {key}  {count:5d}  {'#' * round(50 * count / SHOTS)}")
        agree += all(len(set(key)) == 1 for key in counts)
    print("first shots of the Bell pair:", " ".join(result.get_memory(0)[:8]))
    print(f"{agree} of {len(circuits)} circuits: every shot's bits agree")


if __name__ == "__main__":
    main()
