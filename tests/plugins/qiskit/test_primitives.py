"""ZentrovaSampler and ZentrovaEstimator against Qiskit's reference
StatevectorSampler and StatevectorEstimator, with parameters broadcast."""

import numpy as np
import pytest
from conftest import parameters, random_circuit, random_observable
from qiskit import ClassicalRegister, QuantumCircuit
from qiskit.primitives import StatevectorEstimator, StatevectorSampler
from qiskit.primitives.containers.observables_array import ObservablesArray
from qiskit.quantum_info import SparseObservable, SparsePauliOp, Statevector
from zentrova_qiskit import UnsupportedInstruction, ZentrovaEstimator, ZentrovaSampler


@pytest.mark.parametrize("seed", range(4))
def test_estimator_matches_reference(seed):
    """Parameter sets of shape (3, 1) against observables of shape (4,): every
    one of the 3 x 4 values equal to the reference's to rounding."""
    rng = np.random.default_rng(seed)
    n = 5
    params = parameters(3)
    circuit = random_circuit(n, 40, rng, params)
    observables = [random_observable(n, 6, rng) for _ in range(4)]
    values = rng.uniform(-3, 3, (3, 1, len(circuit.parameters)))
    pub = (circuit, observables, values)
    ours = ZentrovaEstimator().run([pub, (circuit, observables[0], values[0, 0])]).result()
    ref = StatevectorEstimator().run([pub]).result()
    assert ours[0].data.evs.shape == (3, 4)
    np.testing.assert_allclose(ours[0].data.evs, ref[0].data.evs, rtol=0, atol=1e-11)
    assert ours[1].data.evs.shape == ()
    np.testing.assert_allclose(ours[1].data.evs, ref[0].data.evs[0, 0], rtol=0, atol=1e-11)


@pytest.mark.skipif(not hasattr(ObservablesArray, "sparse_observables_array"),
                    reason="this Qiskit takes Pauli observables only")
def test_estimator_projectors():
    """Projector letters of SparseObservable next to Paulis."""
    rng = np.random.default_rng(5)
    circuit = random_circuit(4, 30, rng)
    labels = ["+I0Z", "rl1-", "XY+r", "0011", "IIII"]
    obs = SparseObservable.from_list([(label, rng.normal()) for label in labels])
    ev = ZentrovaEstimator().run([(circuit, obs)]).result()[0].data.evs
    exact = Statevector(circuit).expectation_value(SparsePauliOp.from_sparse_observable(obs))
    assert ev == pytest.approx(exact.real, abs=1e-12)


def test_estimator_precision():
    rng = np.random.default_rng(6)
    circuit = random_circuit(3, 20, rng)
    obs = [random_observable(3, 4, rng) for _ in range(500)]
    exact = ZentrovaEstimator().run([(circuit, obs)]).result()[0].data.evs
    noisy = [ZentrovaEstimator(seed=s).run([(circuit, obs)], precision=0.01).result()[0]
             for s in (1, 1, 2)]
    assert np.array_equal(noisy[0].data.evs, noisy[1].data.evs)
    assert not np.array_equal(noisy[0].data.evs, noisy[2].data.evs)
    assert 0.009 < np.std(noisy[0].data.evs - exact) < 0.011
    assert noisy[0].metadata["target_precision"] == 0.01
    assert np.all(noisy[0].data.stds == 0.01)


def _distribution(bitarray):
    counts = bitarray.get_counts()
    total = sum(counts.values())
    return {k: v / total for k, v in counts.items()}


@pytest.mark.parametrize("seed", range(3))
def test_sampler_matches_reference(seed):
    """Two classical registers over scattered qubits, three parameter points:
    each register's distribution within sampling error of the reference's,
    in the same bit order."""
    rng = np.random.default_rng(seed)
    n = 4
    params = parameters(2)
    circuit = random_circuit(n, 30, rng, params)
    circuit.add_register(ClassicalRegister(3, "alpha"))
    circuit.add_register(ClassicalRegister(2, "beta"))
    for q, c in zip(rng.permutation(n), rng.permutation(5)):
        circuit.measure(int(q), int(c))
    values = rng.uniform(-3, 3, (3, len(circuit.parameters)))
    shots = 8000
    ours = ZentrovaSampler(seed=seed).run([(circuit, values)], shots=shots).result()[0]
    ref = StatevectorSampler(seed=seed).run([(circuit, values)], shots=shots).result()[0]
    for name in ("alpha", "beta"):
        a, b = getattr(ours.data, name), getattr(ref.data, name)
        assert a.shape == b.shape == (3,) and a.num_shots == shots and a.num_bits == b.num_bits
        for i in range(3):
            p, q = _distribution(a[i]), _distribution(b[i])
            # total variation distance of two samples of 8000: about 0.01 here
            assert sum(abs(p.get(k, 0) - q.get(k, 0)) for k in p | q) / 2 < 0.05


def test_sampler_shot_by_shot():
    """The reference refuses measurements in the middle; here each shot's
    second register repeats its first, by way of a reset and a condition."""
    qc = QuantumCircuit(2)
    first, second = ClassicalRegister(2, "first"), ClassicalRegister(2, "second")
    qc.add_register(first)
    qc.add_register(second)
    qc.h([0, 1])
    qc.measure([0, 1], first)
    qc.reset([0, 1])
    for bit in range(2):
        with qc.if_test((first[bit], 1)):
            qc.x(bit)
    qc.measure([0, 1], second)
    data = ZentrovaSampler().run([qc], shots=400).result()[0].data
    assert data.first.get_bitstrings() == data.second.get_bitstrings()
    assert len(data.first.get_counts()) == 4


def test_estimator_refuses_measurements():
    qc = QuantumCircuit(1, 1)
    qc.measure(0, 0)
    with pytest.raises(UnsupportedInstruction, match="without measurements"):
        ZentrovaEstimator().run([(qc, "Z")])


def test_estimator_resets_as_the_reference(process_pool):
    """Resets whose outcome shows in no value: of a qubit sure to read 1, of one in a
    product state, of qubits an entangler and its inverse leave in |0>; gates on the
    reset qubits after. Every value of a sweep equal to the reference's, on an executor
    the same bits."""
    rng = np.random.default_rng(7)
    params = parameters(2)
    qc = QuantumCircuit(5)
    qc.compose(random_circuit(3, 25, rng, params), [0, 1, 2], inplace=True)
    qc.ry(params[0], 3)
    qc.rx(0.4, 3)
    qc.reset(3)
    qc.x(4)
    qc.reset(4)
    block = random_circuit(3, 12, rng)
    qc.compose(block, [3, 4, 0], inplace=True)
    qc.compose(block.inverse(), [3, 4, 0], inplace=True)
    qc.reset([3, 4])
    qc.cx(0, 3)
    qc.cry(params[1], 1, 4)
    pub = (qc, [random_observable(5, 6, rng) for _ in range(4)],
           rng.uniform(-3, 3, (3, 1, len(qc.parameters))))
    ours = ZentrovaEstimator(seed=1).run([pub]).result()[0].data.evs
    ref = StatevectorEstimator(seed=1).run([pub]).result()[0].data.evs
    np.testing.assert_allclose(ours, ref, rtol=0, atol=1e-11)
    there = ZentrovaEstimator(seed=1, executor=process_pool).run([pub]).result()[0].data.evs
    assert np.array_equal(ours, there)


def test_estimator_reset_of_an_entangled_qubit_draws_its_outcome():
    """As the reference does: a qubit that could read 0 or 1 is measured by its reset,
    so each value is that of one outcome (here +1 or -1), drawn with the outcome's
    probability; seeded, and apart from the precision's noise, which keeps its width."""
    a = parameters(1)[0]
    qc = QuantumCircuit(2)
    qc.ry(a, 0)
    qc.cx(0, 1)
    qc.reset(0)
    points, p = 400, np.cos(0.6) ** 2
    pub = (qc, [["ZI", "IZ"]], np.full((points, 1, 1), 1.2))
    runs = [E(seed=s).run([pub]).result()[0].data.evs
            for E, s in ((ZentrovaEstimator, 3), (ZentrovaEstimator, 3), (ZentrovaEstimator, 4),
                         (StatevectorEstimator, 3))]
    assert np.array_equal(runs[0], runs[1]) and not np.array_equal(runs[0], runs[2])
    for evs in runs:
        evs = evs.round(12)
        assert set(evs[:, 0]) == {1.0, -1.0} and (evs[:, 1] == 1).all()
        assert abs((evs[:, 0] == 1).sum() - points * p) < 5 * np.sqrt(points * p * (1 - p))
    noisy = ZentrovaEstimator(seed=3).run([pub], precision=0.01).result()[0].data.evs
    assert 0.008 < np.std(noisy - runs[0]) < 0.012 and np.abs(noisy - runs[0]).max() < 0.06


def test_empty_and_scalar_pubs(process_pool):
    """A PUB whose broadcast shape is empty, after ordinary ones, locally and
    on an executor."""
    qc = QuantumCircuit(2)
    qc.ry(parameters(1)[0], 0)
    qc.cx(0, 1)
    pubs = [(qc, ["ZZ", "XX"], [[0.3]]), (qc, "ZI", [0.4]), (qc, "ZZ", np.zeros((0, 1)))]
    for executor in (None, process_pool):
        result = ZentrovaEstimator(executor=executor).run(pubs).result()
        assert [r.data.evs.shape for r in result] == [(2,), (), (0,)]
        assert result[1].data.evs == pytest.approx(np.cos(0.4))
