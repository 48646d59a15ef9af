"""The energy of a 6-spin transverse-field Ising ring, H = -sum Z_i Z_(i+1) - sum X_i,
over a sweep of a two-angle trial state, with zentrova behind Cirq's simulator
interface (needs the cirq extra: pip install "zentrova[cirq]").

ZentrovaSimulator replaces cirq.Simulator unchanged: the same sweep through both,
exact expectation values from each, then 2000 seeded shots of the best state.
"""

import itertools

import cirq
import numpy as np
import sympy
from zentrova_cirq import ZentrovaSimulator

N = 6
qubits = cirq.LineQubit.range(N)
a, b = sympy.symbols("a b")
ansatz = cirq.Circuit(
    cirq.ry(a).on_each(*qubits),
    [cirq.ZZPowGate(exponent=b).on(qubits[i], qubits[(i + 1) % N]) for i in range(N)],
    cirq.rx(a / 2).on_each(*qubits),
)
hamiltonian = sum(-cirq.Z(qubits[i]) * cirq.Z(qubits[(i + 1) % N]) for i in range(N)) + sum(
    -cirq.X(q) for q in qubits)
sweep = cirq.Zip(*(cirq.Points(k, v) for k, v in zip(
    ("a", "b"), zip(*itertools.product(np.linspace(0, np.pi, 12), np.linspace(0, 1, 12))))))

ours = [e[0].real for e in ZentrovaSimulator().simulate_expectation_values_sweep(ansatz, hamiltonian, sweep)]
theirs = [e[0].real for e in cirq.Simulator(dtype=np.complex128).simulate_expectation_values_sweep(
    ansatz, hamiltonian, sweep)]
best = int(np.argmin(ours))
point = list(sweep)[best]
exact = np.linalg.eigvalsh(hamiltonian.matrix(qubits)).min()
print(f"{len(ours)} points: lowest energy {ours[best]:.6f} at a = {point['a']:.4f}, b = {point['b']:.4f}")
print(f"exact ground energy {exact:.6f}: bound holds" if ours[best] >= exact - 1e-12 else "bound fails")

measured = cirq.resolve_parameters(ansatz, point) + cirq.measure(*qubits, key="z")
counts = ZentrovaSimulator(seed=1).run(measured, repetitions=2000).histogram(key="z")
top = counts.most_common(2)
print("most frequent of 2000 shots: " + ", ".join(f"{v:06b} x {c}" for v, c in top))
worst = max(abs(x - y) for x, y in zip(ours, theirs))
print("energies match cirq.Simulator: " + ("yes" if worst < 1e-12 else f"no ({worst:.1e})"))
