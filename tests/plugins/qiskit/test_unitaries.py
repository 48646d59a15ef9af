"""Any unitary Qiskit gives, on up to ten qubits, runs as one matrix or diagonal: against
Qiskit's Statevector, BasicSimulator and the primitives' exact values, on random circuits
of every kind of gate in random qubit orders; controlled phases as diagonals under their
controls; larger gates through their definitions or refused naming the limit."""

import numpy as np
import pytest
from qiskit import QuantumCircuit, transpile
from qiskit.circuit import Gate, Parameter
from qiskit.circuit import library as lib
from qiskit.quantum_info import Operator, SparsePauliOp, Statevector, random_unitary
from zentrova_qiskit import UnsupportedInstruction, ZentrovaBackend, ZentrovaEstimator
from zentrova_qiskit._translate import MAX_QUBITS, bind, read


def _gates(rng, a):
    """(gate, number of qubits) of every kind the reader tells apart; a is an angle."""
    u4 = random_unitary(4, seed=rng)
    return [
        (lib.UnitaryGate(random_unitary(8, seed=rng)), 3),
        (lib.DiagonalGate(list(np.exp(1j * rng.uniform(-3, 3, 8)))), 3),
        (lib.RXXGate(a), 2), (lib.RYYGate(a), 2), (lib.RZZGate(a), 2), (lib.RZXGate(a), 2),
        (lib.iSwapGate(), 2), (lib.ECRGate(), 2), (lib.DCXGate(), 2),
        (lib.XXPlusYYGate(a, 0.3), 2), (lib.XXMinusYYGate(a, -0.7), 2),
        (lib.PauliEvolutionGate(SparsePauliOp(["XYZ", "ZZI"], [0.4, -1.1]), time=a), 3),
        (lib.CZGate(), 2), (lib.CPhaseGate(a), 2), (lib.CRZGate(a), 2), (lib.CU1Gate(a), 2),
        (lib.CCZGate(), 3), (lib.CSGate(), 2), (lib.C3SXGate(), 4), (lib.RCCXGate(), 3),
        (lib.MCPhaseGate(a, 3), 4), (lib.CUGate(a, 0.2, -0.4, 1.3, ctrl_state=0), 2),
        (lib.CPhaseGate(a, ctrl_state=0), 2), (lib.CXGate(ctrl_state=0), 2),
        (lib.MCXGate(3, ctrl_state=5), 4), (lib.PhaseGate(a), 1), (lib.SGate(), 1),
        (lib.RZZGate(a).control(2, ctrl_state=1, annotated=False), 4),
        (lib.RZZGate(a).control(1, ctrl_state=0, annotated=True), 3),
        (lib.UnitaryGate(u4).control(1, ctrl_state=0, annotated=False), 3),
        (lib.SwapGate().control(2, ctrl_state=2, annotated=False), 4),
        (lib.RYGate(a).control(1, ctrl_state=0, annotated=True), 2),
        (lib.UnitaryGate(u4).control(2, ctrl_state=1, annotated=True), 4),
    ]


def test_every_gate_against_the_reference():
    backend = ZentrovaBackend()
    for seed in range(4):
        rng = np.random.default_rng(seed)
        n = 6
        qc = QuantumCircuit(n)
        for _ in range(3):
            for gate, k in _gates(rng, float(rng.uniform(-4, 4))):
                qc.h(int(rng.integers(n)))
                qc.append(gate, [int(q) for q in rng.permutation(n)[:k]])
        state = backend.run(qc, save_statevector=True, shots=1).result().get_statevector()
        np.testing.assert_allclose(state.data, Statevector(qc).data, rtol=0, atol=1e-10)
        obs = SparsePauliOp(["ZZIIXI", "YIIZIX", "IZZZII"], [0.5, -1.0, 2.0])
        ev = ZentrovaEstimator().run([(qc, obs)]).result()[0].data.evs
        assert abs(ev - Statevector(qc).expectation_value(obs).real) < 1e-10


def test_each_unitary_is_one_operation_and_phases_are_diagonals_under_controls():
    """One operation a gate; a diagonal one (by its matrix) as a diagonal that keeps its
    controls as controls, so that it touches only the part they select."""
    rng = np.random.default_rng(1)
    for gate, k in _gates(rng, 0.7):
        qc = QuantumCircuit(k)
        qc.append(gate, range(k))
        ops = read(qc).gates
        assert len(ops) == 1, (gate.name, ops)
        name, args = ops[0]
        m = Operator(gate).data
        if np.allclose(m, np.diag(np.diagonal(m)), rtol=0, atol=1e-12):
            assert name == "diagonal", gate.name
            controls = args[2] if len(args) == 4 else ()
            ctrl = gate.modifiers[0].num_ctrl_qubits if hasattr(gate, "modifiers") else getattr(
                gate, "num_ctrl_qubits", 0)
            assert len(controls) == ctrl and len(args[0]) == k - ctrl, gate.name
        else:
            assert name in ("matrix", "mcu", "cnot", "ccnot", "u"), gate.name


def test_parameters_bound_into_matrices_and_open_controls():
    """Templates (angles still parameters) give, once bound, the state of the bound circuit."""
    a = Parameter("a")
    qc = QuantumCircuit(4)
    qc.h(range(4))
    for gate, qubits in [(lib.RZZGate(a), [2, 0]), (lib.CPhaseGate(2 * a), [3, 1]),
                         (lib.RYGate(a - 1).control(2, ctrl_state=2, annotated=False), [1, 3, 0]),
                         (lib.XXPlusYYGate(a, 0.2), [0, 3]), (lib.CRZGate(a), [0, 2])]:
        qc.append(gate, qubits)
    prog = read(qc)
    for value in (0.3, -2.1):
        bound = qc.assign_parameters({a: value})
        ops = bind(prog.gates, {a: value})
        want = read(bound).gates
        assert [op[0] for op in ops] == [op[0] for op in want]
        state = ZentrovaBackend().run(bound, save_statevector=True).result().get_statevector()
        np.testing.assert_allclose(state.data, Statevector(bound).data, rtol=0, atol=1e-10)
        ev = ZentrovaEstimator().run([(qc, "XZYZ", [value])]).result()[0].data.evs
        assert abs(ev - Statevector(bound).expectation_value(SparsePauliOp("XZYZ")).real) < 1e-10


def test_matrices_in_shots_run_as_the_reference():
    """Permutation matrices between measurements, resets and conditions, shot by shot:
    every shot's bits are those of the circuit with its matrices spelt out by Qiskit's
    synthesis in u and cx (no reference simulator of Qiskit's runs conditions)."""
    for seed in range(4):
        rng = np.random.default_rng(seed)
        qc = QuantumCircuit(5, 6)
        qc.x(int(rng.integers(5)))
        for step in range(6):
            qs = [int(q) for q in rng.permutation(5)]
            k = int(rng.integers(1, 4))
            gate = lib.UnitaryGate(np.eye(1 << k)[rng.permutation(1 << k)])
            if k < 3:
                gate = gate.control(1, ctrl_state=int(rng.integers(2)), annotated=k == 2)
                k += 1
            qc.append(gate, qs[:k])
            qc.measure(int(rng.integers(5)), step)
            with qc.if_test((qc.clbits[step], 1)):
                qc.append(lib.CZGate(), [0, 1])
                qc.x(int(rng.integers(5)))
            if step == 3:
                qc.reset(int(rng.integers(5)))
        ours = ZentrovaBackend().run(qc, shots=4, memory=True, seed_simulator=1).result()
        spelt = transpile(qc, basis_gates=["u", "cx", "measure", "reset", "if_else"],
                          optimization_level=0)
        assert "unitary" not in spelt.count_ops()
        theirs = ZentrovaBackend().run(spelt, shots=4, memory=True, seed_simulator=1).result()
        assert ours.results[0].method == "shot by shot"
        assert ours.get_memory() == theirs.get_memory()


def test_larger_than_the_limit():
    qft = QuantumCircuit(MAX_QUBITS + 1)
    qft.h(range(MAX_QUBITS + 1))
    qft.append(lib.QFTGate(MAX_QUBITS + 1), range(MAX_QUBITS + 1))
    qft.append(lib.MCXGate(MAX_QUBITS, ctrl_state=3), range(MAX_QUBITS + 1))
    ops = read(qft).gates
    assert len(ops) > 2 and ops[-1][0] == "matrix"  # the definition's gates; the mcx one matrix
    state = ZentrovaBackend().run(qft, save_statevector=True).result().get_statevector()
    np.testing.assert_allclose(state.data, Statevector(qft).data, rtol=0, atol=1e-10)
    opaque = QuantumCircuit(MAX_QUBITS + 1)
    opaque.append(Gate("wide", MAX_QUBITS + 1, []), range(MAX_QUBITS + 1))
    with pytest.raises(UnsupportedInstruction, match=f"'wide'.* more than the {MAX_QUBITS}"):
        ZentrovaBackend().run(opaque)
