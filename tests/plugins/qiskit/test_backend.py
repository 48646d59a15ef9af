"""ZentrovaBackend against Qiskit's own reference simulators: states, counts
and their bit order, seeds, the shot-by-shot path, and refusals."""

import concurrent.futures
import importlib.util
from pathlib import Path

import numpy as np
import pytest
from conftest import random_circuit
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister, transpile
from qiskit.circuit import Gate, Parameter
from qiskit.circuit.classical import expr
from qiskit.providers.basic_provider import BasicSimulator
from qiskit.quantum_info import Statevector
from zentrova_qiskit import UnsupportedInstruction, ZentrovaBackend


@pytest.mark.parametrize("seed", range(6))
def test_random_circuits(seed):
    """Counts within sampling error of the exact distribution, for the circuit
    as written and transpiled for the backend; the saved state equal to
    Qiskit's, global phase included."""
    rng = np.random.default_rng(seed)
    backend = ZentrovaBackend()
    circuit = random_circuit(4, 40, rng)
    exact = Statevector(circuit)
    measured = circuit.measure_all(inplace=False)
    shots = 4000
    transpiled = transpile(measured, backend, seed_transpiler=seed)
    assert set(transpiled.count_ops()) - {"barrier"} <= set(backend.target.operation_names)
    for qc in (measured, transpiled):
        counts = backend.run(qc, shots=shots, seed_simulator=seed).result().get_counts()
        assert sum(counts.values()) == shots
        for key, p in exact.probabilities_dict().items():
            sd = np.sqrt(shots * p * (1 - p))
            assert abs(counts.get(key, 0) - shots * p) <= 5 * sd + 1, key
    result = backend.run(measured, shots=10, save_statevector=True).result()
    np.testing.assert_allclose(result.get_statevector(), exact.data, atol=1e-12)


def _deterministic(rng, mid: bool) -> QuantumCircuit:
    """Basis states moved around by x, measured into scattered clbits of
    several registers; with mid, measured again after resets and flips."""
    n = 5
    cregs = [ClassicalRegister(int(s), f"c{i}") for i, s in enumerate(rng.integers(1, 4, 3))]
    qc = QuantumCircuit(QuantumRegister(n), *cregs)
    clbits = list(rng.permutation(qc.num_clbits))
    for q in rng.choice(n, 3, replace=False):
        qc.x(int(q))
    for c in clbits[:n]:
        qc.measure(int(rng.integers(n)), int(c))
    if mid:
        for q in rng.choice(n, 2, replace=False):
            qc.reset(int(q))
        qc.x(int(rng.integers(n)))
        for c in clbits[n:]:
            qc.measure(int(rng.integers(n)), int(c))
    return qc


@pytest.mark.parametrize("mid", [False, True])
def test_bit_order_matches_qiskit(mid):
    reference = BasicSimulator()
    for seed in range(8):
        qc = _deterministic(np.random.default_rng(seed), mid)
        ours = ZentrovaBackend().run(qc, shots=5, memory=True).result()
        theirs = reference.run(qc, shots=5, memory=True).result()
        assert ours.get_counts() == theirs.get_counts()
        assert ours.get_memory() == theirs.get_memory()
        assert ours.results[0].header["creg_sizes"] == [[r.name, r.size] for r in qc.cregs]


def test_seeds():
    qc = QuantumCircuit(3, 3)
    qc.h([0, 1, 2])
    qc.measure([0, 1, 2], [0, 1, 2])
    backend = ZentrovaBackend()
    memory = []
    for s in (7, 7, 8):
        result = backend.run([qc, qc], shots=64, memory=True, seed_simulator=s).result()
        memory.append([result.get_memory(i) for i in range(2)])
    assert memory[0] == memory[1] and memory[0] != memory[2]
    assert memory[0][0] != memory[0][1]  # each circuit of a run draws its own shots


def test_shot_by_shot():
    """Measurements in the middle, a reset and conditions on a bit and on a
    register: every shot must follow the branches its own bits chose."""
    q, a, b = QuantumRegister(3), ClassicalRegister(2, "a"), ClassicalRegister(2, "b")
    qc = QuantumCircuit(q, a, b)
    qc.h(0)
    qc.h(1)
    qc.measure([0, 1], a)
    with qc.if_test((a[0], 1)):
        qc.x(0)  # back to |0>
    with qc.if_test((a, 2)) as otherwise:
        qc.x(2)
    with otherwise:
        qc.h(2)
        qc.measure(2, b[1])
        qc.reset(2)
    qc.reset(1)
    qc.measure(0, b[0])
    counts = ZentrovaBackend().run(qc, shots=800).result().get_counts()
    seen_a = set()
    for key, n in counts.items():
        kb, ka = key.split()
        seen_a.add(ka)
        assert kb[1] == "0"  # qubit 0 was flipped back whenever it read 1
        if ka == "10":
            assert kb[0] == "0"
    assert seen_a == {"00", "01", "10", "11"}
    assert sum(counts.values()) == 800



@pytest.mark.parametrize("nodes", [2, 1 << 16])
def test_measurer_repeats_measure(monkeypatch, nodes):
    """The shot-by-shot path's measurer against the plain measure it stands in
    for: the same outcomes from the same probabilities to the last bit, shot
    after shot (marginals remembered along the outcomes, or no longer once the
    memory for them is full), every qubit, with and without reset, on registers
    either side of the small-register read-out."""
    import zentrova
    from _zentrova_common import measure, measurer, sampling, uniform_draws

    QR = zentrova.QuantumRegister
    seen = []
    outcome = sampling._outcome
    monkeypatch.setattr(sampling, "_outcome", lambda *a: (seen.append(a), outcome(*a))[1])
    monkeypatch.setattr(sampling, "_NODES", nodes)
    for n in range(1, 9):
        angles = np.random.default_rng(n).uniform(0, 3, (n, 2)).tolist()
        draw = uniform_draws(np.random.default_rng(0))
        queue, fast, new_shot = measurer(n, uniform_draws(np.random.default_rng(0)))
        for shot in range(6):
            reg = QR(n)
            new_shot()
            calls = [("ry", (q, a)) for q, (a, _) in enumerate(angles)]
            calls += [("rz", (q, b)) for q, (_, b) in enumerate(angles)]
            calls += [("cnot", (q, q + 1)) for q in range(n - 1)]
            for k in range(2 * n):
                for name, args in calls:
                    getattr(reg, name)(*args)
                    queue((name, args))
                qubit, reset = k % n, k % 3 == 1
                seen.clear()
                bit = measure(reg, qubit, draw, reset)
                assert fast(qubit, reset) == bit, (n, shot, k)
                assert seen[0] == seen[1], (n, shot, k)  # qubit, p0, p1, draw, reset
                # spread the state again, the way the outcome says
                calls = [("ry", (qubit, 1.1 + bit))]
                calls += [("cnot", (qubit, (qubit + 1) % n))] if n > 1 else []


class Recorder(concurrent.futures.Executor):
    def __init__(self):
        self.calls = 0

    def submit(self, fn, *args, **kwargs):
        self.calls += 1
        raise AssertionError("work started before the run was refused")


def test_refusals():
    good = QuantumCircuit(1, 1)
    good.measure(0, 0)
    mystery = QuantumCircuit(1)
    mystery.append(Gate("mystery", 1, []), [0])
    loop = QuantumCircuit(1, 1)
    with loop.while_loop((loop.clbits[0], 0)):
        loop.x(0)
    unbound = QuantumCircuit(1)
    unbound.rx(Parameter("alpha"), 0)
    by_expr = QuantumCircuit(1, 2)
    with by_expr.if_test(expr.logic_and(by_expr.clbits[0], by_expr.clbits[1])):
        by_expr.x(0)
    mid = QuantumCircuit(1, 1)
    mid.measure(0, 0)
    mid.x(0)
    cases = [
        (mystery, {}, UnsupportedInstruction, "'mystery'"),
        (loop, {}, UnsupportedInstruction, "'while_loop'"),
        (unbound, {}, ValueError, "unbound parameters: alpha"),
        (by_expr, {}, UnsupportedInstruction, "condition"),
        (mid, {"save_statevector": True}, ValueError, "end"),
        (good, {"shots": -1}, ValueError, "shots"),
        (good, {"noise": 1}, TypeError, "noise"),
    ]
    for bad, options, error, text in cases:
        recorder = Recorder()
        with pytest.raises(error, match=text):
            ZentrovaBackend(executor=recorder).run([good, bad], **options)
        assert recorder.calls == 0


def test_state_preparation():
    """initialize() begins with resets; on fresh qubits they are dropped and
    the circuit is still sampled from its probabilities, with a seed."""
    amplitudes = np.array([0.6, 0, 0, 0.8j])
    qc = QuantumCircuit(2)
    qc.initialize(amplitudes)
    qc.measure_all()
    runs = [ZentrovaBackend().run(qc, shots=2000, seed_simulator=3).result() for _ in range(2)]
    assert runs[0].results[0].method == "statevector"
    assert runs[0].get_counts() == runs[1].get_counts()
    assert set(runs[0].get_counts()) == {"00", "11"}
    assert abs(runs[0].get_counts()["11"] - 1280) < 5 * np.sqrt(2000 * 0.64 * 0.36)


def test_num_qubits_is_the_widest_register_memory_allows(monkeypatch):
    """16 bytes an amplitude, as the refusals count; never under the 16 qubits made
    unasked. transpile() keeps a circuit's width and refuses one wider than that; run()
    still takes it when the qubits it acts on fit."""
    from _zentrova_common import errors

    assert ZentrovaBackend().num_qubits >= 16
    for available, want in [(16 << 20, 20), ((16 << 20) - 1, 19), (1000, 16), (None, None)]:
        monkeypatch.setattr(errors, "available_memory", lambda: available)
        backend = ZentrovaBackend()
        assert backend.num_qubits == backend.target.num_qubits == want, available
    monkeypatch.setattr(errors, "available_memory", lambda: 16 << 20)
    backend = ZentrovaBackend()
    narrow, wide = QuantumCircuit(3), QuantumCircuit(21)
    for qc in (narrow, wide):
        qc.x(0)
        qc.cx(0, 2)
        qc.measure_all()
    assert transpile(narrow, backend).num_qubits == 3
    with pytest.raises(Exception, match="greater than maximum"):
        transpile(wide, backend)
    assert backend.run(wide, shots=4).result().get_counts() == {"0" * 18 + "101": 4}


def test_plugin_packages_ship_py_typed():
    for name in ("zentrova_pennylane", "zentrova_qiskit", "zentrova_cirq", "_zentrova_common"):
        locations = importlib.util.find_spec(name).submodule_search_locations
        assert any(Path(where, "py.typed").is_file() for where in locations), name
