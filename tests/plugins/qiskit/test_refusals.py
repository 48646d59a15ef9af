"""Bad input, faults and idle qubits: errors a user can catch (through a process pool or
Dask too) and never made-up results; circuits transpiled for large devices run."""

import math

import numpy as np
import pytest
import zentrova
import zentrova_readout
from qiskit import QuantumCircuit
from qiskit.circuit import Parameter
from qiskit.circuit.library import GlobalPhaseGate, UnitaryGate
from qiskit.exceptions import QiskitError
from qiskit.providers.basic_provider import BasicSimulator
from qiskit.quantum_info import SparsePauliOp, Statevector

from zentrova_qiskit import ZentrovaBackend, ZentrovaEstimator, ZentrovaSampler, _worker


def test_non_finite_values_are_refused_naming_them():
    a = Parameter("alpha")
    swept = QuantumCircuit(2)
    swept.rx(a, 0)
    swept.cry(2 * a, 0, 1)
    for value in [math.nan, math.inf, -math.inf]:
        with pytest.raises(ValueError, match="PUB 1: parameter 'alpha': the non-finite value"):
            ZentrovaEstimator().run([(swept, "ZZ", [0.1]), (swept, "ZZ", [[0.2], [value]])])
        swept_m = swept.measure_all(inplace=False)
        with pytest.raises(ValueError, match="PUB 0: parameter 'alpha': the non-finite value"):
            ZentrovaSampler(seed=1).run([(swept_m, [value])])
        for gate in ["rx", "crz", "p"]:
            fixed = QuantumCircuit(2, 1)
            getattr(fixed, gate)(value, *range(1 + gate.startswith("c")))
            fixed.measure(0, 0)
            with pytest.raises(ValueError, match=f"gate '{gate[gate.startswith('c'):]}'"):
                ZentrovaBackend().run(fixed)


def test_complex_values_and_global_phases_are_checked():
    """Both parts of a complex value are checked (a matrix entry whose real part is
    finite; numbers kept as objects); a global phase, the circuit's or an instruction's,
    is kept in the state, and refused when not finite rather than make the state NaN."""
    from _zentrova_common import check_finite

    for value in [complex(1, math.nan), complex(0, math.inf), complex(math.nan, 1)]:
        matrix = np.diag([1, value])
        qc = QuantumCircuit(2)
        qc.h(1)
        qc.append(UnitaryGate(matrix, check_input=False), [0])
        with pytest.raises(ValueError, match="gate 'unitary': the non-finite value"):
            ZentrovaBackend().run(qc.measure_all(inplace=False))
        with pytest.raises(ValueError, match="gate 'unitary': the non-finite value"):
            ZentrovaEstimator().run([(qc, "ZZ")])
        with pytest.raises(ValueError, match="the non-finite value"):
            check_finite([np.array([0.5, value], dtype=object)], "entries")
    for phase in [0.5, math.nan, math.inf]:
        for as_gate in (False, True):
            qc = QuantumCircuit(2)
            qc.h(0)
            qc.cx(0, 1)
            if as_gate:
                qc.append(GlobalPhaseGate(phase), [])
            else:
                qc.global_phase = phase
            if math.isfinite(phase):
                state = ZentrovaBackend().run(qc, save_statevector=True).result().get_statevector()
                np.testing.assert_allclose(state.data, Statevector(qc).data, rtol=0, atol=1e-15)
            else:
                with pytest.raises(ValueError, match="global phase: the non-finite value"):
                    ZentrovaBackend().run(qc, save_statevector=True)


def test_counts_and_memory_as_the_reference_simulator():
    # Nothing measured (no classical bits): no counts. Classical bits over 64: their order.
    none = QuantumCircuit(2)
    none.h(0)
    unmeasured = QuantumCircuit(1, 1)
    circuits = [none, unmeasured]
    for clbits in [64, 70]:
        wide = QuantumCircuit(3, clbits)
        wide.x([0, 2])
        wide.measure([0, 1, 2], [2, clbits - 6, clbits - 1])
        circuits.append(wide)
    for qc in circuits:
        ours = ZentrovaBackend().run(qc, shots=5, memory=True).result()
        ref = BasicSimulator().run(qc, shots=5, memory=True).result()
        assert ours.get_counts() == ref.get_counts()
        assert ours.get_memory() == ref.get_memory()


@pytest.fixture(params=["serial", "process pool", "dask"])
def executor(request, process_pool):
    if request.param == "serial":
        return None
    if request.param == "process pool":
        return process_pool
    return request.getfixturevalue("dask_client").get_executor()


def test_too_large_is_a_qiskit_error_before_zentrova_is_asked(executor, capfd):
    big = QuantumCircuit(40)
    big.h(range(40))
    want = "register of 40 qubits: it needs 17592186044416 bytes and \\d+ bytes are available"
    with pytest.raises(QiskitError, match=want):
        ZentrovaBackend(executor).run(big.measure_all(inplace=False)).result()
    with pytest.raises(QiskitError, match=want):
        ZentrovaEstimator(executor=executor).run([(big, "Z" * 40)]).result()
    two = QuantumCircuit(40)
    two.h(3)
    with pytest.raises(QiskitError, match="the state of circuit 0 .* 40 qubits"):
        ZentrovaBackend(executor).run(two, save_statevector=True)
    assert "fatal" not in capfd.readouterr().err


def _unchecked_batch(tasks):
    """A worker's batch with the memory check blind, as on a host that reports nothing."""
    from _zentrova_common import errors

    errors.available_memory = lambda: None
    return _worker.run_batch("sample", tasks)


def test_a_panic_of_zentrova_is_an_exception_here_and_in_a_pool(monkeypatch, process_pool):
    # Were the memory check to let a register through that zentrova refuses: its
    # PanicException (a BaseException) would kill a pool's worker, or fail to pickle.
    from _zentrova_common import RefusedError, errors

    monkeypatch.setattr(errors, "available_memory", lambda: None)
    big = QuantumCircuit(62)
    big.h(range(62))
    with pytest.raises(QiskitError, match="zentrova refused the circuit: capacity overflow"):
        ZentrovaBackend().run(big).result()
    task = (62, 0, ("final", [("h", (0,))], []), 1, (1, (0,)), False)
    with pytest.raises(RefusedError, match="zentrova refused the circuit: capacity overflow"):
        process_pool.submit(_unchecked_batch, [task]).result(timeout=60)
    small = (1, 1, ("final", [("x", (0,))], [(0, 0)]), 3, (1, (0,)), False)
    assert process_pool.submit(_unchecked_batch, [small]).result(timeout=60)[0][0].tolist() == [[1]] * 3


def test_idle_qubits_read_zero():
    used = [3, 50, 126, 7, 90]  # a transpiled circuit acting on 5 of 127 qubits

    def circuit(q, n):
        qc = QuantumCircuit(n)
        qc.h(q[0])
        qc.cx(q[0], q[1])
        qc.ry(0.3, q[2])
        qc.cx(q[2], q[3])
        qc.rz(0.2, q[4])
        qc.h(q[4])
        qc.crx(0.4, q[4], q[0])
        return qc

    # The small circuit keeps the qubits' order: its draws are the same.
    wide, small = circuit(used, 127), circuit([sorted(used).index(q) for q in used], 5)

    def spread(key):
        return sum(((int(key, 2) >> i) & 1) << q for i, q in enumerate(sorted(used)))

    ours = ZentrovaBackend().run(wide.measure_all(inplace=False), seed_simulator=4).result()
    ref = ZentrovaBackend().run(small.measure_all(inplace=False), seed_simulator=4).result()
    assert {int(k, 2): v for k, v in ours.get_counts().items()} == {
        spread(k): v for k, v in ref.get_counts().items()}
    wide_counts, small_counts = (
        ZentrovaSampler(seed=4).run([c.measure_all(inplace=False)]).result()[0].data.meas.get_counts()
        for c in (wide, small))
    assert {int(k, 2): v for k, v in wide_counts.items()} == {
        spread(k): v for k, v in small_counts.items()}

    terms = [("ZZ", [3, 50], 1.0), ("X", [4], 2.0), ("Z", [100], 0.5), ("YZ", [126, 7], -1.5)]
    obs = SparsePauliOp.from_sparse_list(terms, num_qubits=127)
    ev = ZentrovaEstimator().run([(wide, obs)]).result()[0].data.evs
    dense = SparsePauliOp.from_sparse_list(
        [("ZZ", [0, 2], 1.0), ("YZ", [4, 1], -1.5)], num_qubits=5)
    assert ev == pytest.approx(Statevector(small).expectation_value(dense).real + 0.5, abs=1e-12)

    narrow = QuantumCircuit(10)
    narrow.h(7)
    narrow.cry(0.8, 7, 2)
    state = ZentrovaBackend().run(narrow, save_statevector=True).result().get_statevector()
    np.testing.assert_allclose(state.data, Statevector(narrow).data, atol=1e-15)


def test_seeds_repeat_and_differ_within_a_batch():
    mid = QuantumCircuit(2, 2)
    mid.h(0)
    mid.measure(0, 0)
    mid.cx(0, 1)
    mid.h(0)
    mid.measure([0, 1], [1, 0])
    final = QuantumCircuit(2)
    final.h([0, 1])
    final.measure_all()
    for qc in [mid, final]:
        def memories(seed):
            result = ZentrovaBackend().run([qc, qc], shots=64, seed_simulator=seed,
                                           memory=True).result()
            return [result.get_memory(i) for i in range(2)]
        first = memories(5)
        assert first == memories(5) and first != memories(6) and first[0] != first[1]

        def sampled(seed):
            result = ZentrovaSampler(seed=seed).run([qc, qc], shots=64).result()
            return [r.join_data().get_bitstrings() for r in result]
        first = sampled(1)
        assert first == sampled(1) and first[0] != first[1]


def test_matrices_are_the_modules_rotations_with_signed_zeros():
    from zentrova_qiskit._translate import _MATRIX

    for t in [0.0, -0.0, 0.0]:
        for gate, entry, part, flip in [("rx", 1, "imag", True), ("ry", 2, "real", False),
                                        ("rz", 3, "imag", False), ("p", 3, "imag", False)]:
            value = getattr(_MATRIX[gate](t)[entry], part)
            assert value == 0 and np.signbit(value) == (np.signbit(t) != flip), (gate, t)
    for t in [0.7, -2.5, 1e-300, math.pi, 2.0**30 + 0.3, 1e22]:
        for gate, rows in [("rx", 2), ("ry", 2), ("rz", 1)]:
            reg = getattr(zentrova.QuantumRegister(1), gate)(0, t)
            column = np.array(_MATRIX[gate](t)).reshape(2, 2)[:rows, 0]
            assert column.tobytes() == np.asarray(zentrova_readout.amplitudes(reg))[:rows].tobytes()


def test_shots_are_drawn_from_probabilities_divided_by_their_total():
    from _zentrova_common import sample_indices

    draws = sample_indices(np.array([0.15, 0.0, 0.15]), 1000, np.random.default_rng(2))
    assert set(draws.tolist()) == {0, 2} and 400 < (draws == 0).sum() < 600
