"""zentrova.mixed against default.mixed: random noisy circuits over every channel and a
mixed state set in the middle (final density matrix, expectation values, variances,
probabilities, purity, entropies; 1e-10), a noise model, parameter-shift gradients, seeded
samples by a chi-square test, and refusal of a density matrix too large for memory."""

import numpy as np
import pennylane as qml
import pytest
from pennylane import numpy as pnp
from pennylane.exceptions import DeviceError
from scipy import stats

WIRES = ["b", 0, "c", 3]  # labels, and a device order unlike the circuits' order of use


def noisy_circuit(seed, layers=3):
    """Layers of gates, each followed by every channel on wires the seed picks; everything
    drawn up front, so that each device gets the same circuit."""
    rng = np.random.default_rng(seed)
    p = rng.uniform(0.05, 0.4, (layers, 12))
    angles = rng.uniform(-3, 3, (layers, 4))
    picks = [[[WIRES[i] for i in rng.permutation(4)] for _ in range(10)] for _ in range(layers)]
    order = [WIRES[i] for i in rng.permutation(4)]
    psi = rng.normal(size=4) + 1j * rng.normal(size=4)
    kick = np.linalg.qr(rng.normal(size=(4, 4)) + 1j * rng.normal(size=(4, 4)))[0]

    def noise(p, w):
        qml.DepolarizingChannel(p[0], wires=w[0][0])
        qml.AmplitudeDamping(p[1], wires=w[1][0])
        qml.GeneralizedAmplitudeDamping(p[2], p[3], wires=w[2][0])
        qml.PhaseDamping(p[4], wires=w[3][0])
        qml.BitFlip(p[5], wires=w[4][0])
        qml.PhaseFlip(p[6], wires=w[5][0])
        qml.PauliError("XZ", p[7], wires=w[6][:2])
        qml.ThermalRelaxationError(p[8], 1.0, 0.8, 0.3, wires=w[7][0])
        qml.ResetError(p[9] / 2, p[10] / 2, wires=w[8][0])
        # A two-wire channel known only by its Kraus matrices.
        qml.QubitChannel([np.sqrt(1 - p[11]) * kick, np.sqrt(p[11]) * np.eye(4)], wires=w[9][:2])

    def circuit():
        qml.StatePrep(psi / np.linalg.norm(psi), wires=order[:2])
        for layer in range(layers):
            for w, a in zip(order, angles[layer]):
                qml.RY(a, wires=w)
            qml.CNOT(wires=order[:2])
            qml.IsingXY(angles[layer, 0], wires=order[1:3])
            qml.Toffoli(wires=order[1:])
            qml.CRot(*angles[layer, :3], wires=order[2:])
            noise(p[layer], picks[layer])
        qml.QubitDensityMatrix(np.array([[0.3, 0.2j], [-0.2j, 0.7]]), wires=order[1])
        qml.QFT(wires=order[:3])
        return (qml.state(), qml.expval(qml.X(order[0]) @ qml.Y(order[2])),
                qml.expval(qml.Hamiltonian([0.3, -0.7], [qml.Z(order[1]) @ qml.X(order[3]), qml.Y(order[0])])),
                qml.var(qml.X(order[1])), qml.probs(wires=order[2::-1]), qml.probs(op=qml.Y(order[3])),
                qml.purity(wires=order[:2]), qml.density_matrix(wires=order[3:0:-1]),
                qml.vn_entropy(wires=order[1]), qml.mutual_info(order[:1], order[2:]))

    return circuit


@pytest.mark.parametrize("seed", range(6))
def test_random_noisy_circuits_equal_default_mixed(seed):
    circuit = noisy_circuit(seed)
    ours = qml.QNode(circuit, qml.device("zentrova.mixed", wires=WIRES))()
    theirs = qml.QNode(circuit, qml.device("default.mixed", wires=WIRES))()
    assert len(ours) == len(theirs)
    for a, b in zip(ours, theirs):
        assert np.shape(a) == np.shape(b)
        np.testing.assert_allclose(a, b, rtol=0, atol=1e-10)


def test_noise_model_and_basis_state_on_wires_of_their_own():
    noise = qml.NoiseModel({
        qml.noise.op_eq(qml.RX): qml.noise.partial_wires(qml.AmplitudeDamping, 0.3),
        qml.noise.wires_in([1]): qml.noise.partial_wires(qml.DepolarizingChannel, 0.2),
    })

    def circuit(x):
        qml.BasisState(np.array([1, 1, 0]), wires=[0, 1, 2])
        qml.RX(x, wires=0)
        qml.CNOT(wires=[0, 1])
        qml.RX(x / 2, wires=1)
        return qml.density_matrix(wires=[2, 0, 1])

    ours = qml.add_noise(qml.QNode(circuit, qml.device("zentrova.mixed")), noise)(0.8)
    theirs = qml.add_noise(qml.QNode(circuit, qml.device("default.mixed", wires=3)), noise)(0.8)
    np.testing.assert_allclose(ours, theirs, rtol=0, atol=1e-12)
    clean = qml.QNode(circuit, qml.device("default.mixed", wires=3))(0.8)
    assert np.abs(ours - clean).max() > 0.05  # the model's channels did act


def test_gradients_of_a_noisy_circuit_by_parameter_shift():
    def circuit(x, y):
        qml.RX(x, wires=0)
        qml.CRY(y, wires=[0, 1])
        qml.DepolarizingChannel(0.1, wires=1)
        qml.IsingZZ(x * y, wires=[1, 2])
        qml.AmplitudeDamping(0.3, wires=0)
        qml.Rot(y, x, 0.4, wires=2)
        qml.PhaseDamping(0.2, wires=2)
        return qml.expval(qml.X(2) @ qml.Z(0)), qml.probs(wires=[1])

    x, y = pnp.array(0.7, requires_grad=True), pnp.array(-1.1, requires_grad=True)
    ours = qml.QNode(circuit, qml.device("zentrova.mixed", wires=3))
    theirs = qml.QNode(circuit, qml.device("default.mixed", wires=3))  # backprop
    assert qml.workflow.get_best_diff_method(ours)(x, y) == "parameter-shift"
    jac = [qml.jacobian(lambda a, b, q=q: qml.math.hstack(q(a, b)))(x, y) for q in (ours, theirs)]
    for a, b in zip(*jac):
        assert np.abs(a).max() > 0.01  # derivatives that are there to compare
        np.testing.assert_allclose(a, b, rtol=0, atol=1e-8)
    with pytest.raises(qml.exceptions.QuantumFunctionError):
        qml.QNode(circuit, qml.device("zentrova.mixed", wires=3), diff_method="backprop")(x, y)


def test_samples_follow_the_exact_distribution_and_repeat_with_the_seed():
    def gates():
        qml.Hadamard(wires=0)
        qml.CNOT(wires=[0, 1])
        qml.RY(0.9, wires=2)
        qml.GeneralizedAmplitudeDamping(0.3, 0.6, wires=1)
        qml.DepolarizingChannel(0.2, wires=2)
        qml.ThermalRelaxationError(0.1, 1.0, 0.5, 0.4, wires=0)

    def circuit():
        gates()
        return qml.counts(), qml.expval(qml.X(2)), qml.sample(qml.Z(1))  # counts of every wire

    def exact_circuit():
        gates()
        return qml.probs(wires=[0, 1, 2]), qml.expval(qml.X(2))

    exact, x_exact = qml.QNode(exact_circuit, qml.device("default.mixed", wires=3))()
    shots = 20000
    # A device without wires: the circuit's own.
    run = lambda seed: qml.set_shots(qml.QNode(circuit, qml.device("zentrova.mixed", seed=seed)), shots=shots)()  # noqa: E731
    counts, x, z1 = run(7)
    observed = [counts.get(format(i, "03b"), 0) for i in range(8)]
    keep = exact > 0
    assert stats.chisquare(np.array(observed)[keep], shots * exact[keep]).pvalue > 1e-3
    assert sum(observed) == shots and abs(x - x_exact) < 5 / np.sqrt(shots)
    # sample(Z1) is read off the same samples as the counts: each shot's bit 1.
    bits = np.repeat([int(k[1]) for k in sorted(counts)], [counts[k] for k in sorted(counts)])
    assert sorted(z1.tolist()) == sorted((1 - 2 * bits).tolist())
    again = run(7)
    assert again[0] == counts and again[1] == x and np.array_equal(again[2], z1)
    vector = qml.set_shots(qml.QNode(circuit, qml.device("zentrova.mixed", wires=3, seed=1)), shots=[5, 10])()
    assert len(vector) == 2 and [len(v[2]) for v in vector] == [5, 10]


def test_a_density_matrix_too_large_for_memory_is_refused_before_it_runs():
    @qml.qnode(qml.device("zentrova.mixed", wires=30))
    def circuit():
        for w in range(30):
            qml.Hadamard(wires=w)
            qml.BitFlip(0.1, wires=w)
        return qml.expval(qml.Z(0))

    with pytest.raises(DeviceError, match="density matrix of 30 wires, a vector of 60 qubits"):
        circuit()


def test_the_pure_state_device_points_to_the_mixed_one():
    dev = qml.device("zentrova.qubit", wires=2)

    @qml.qnode(dev)
    def noisy():
        qml.Hadamard(0)
        qml.DepolarizingChannel(0.1, wires=0)
        return qml.expval(qml.PauliZ(0))

    with pytest.raises(DeviceError, match=r'DepolarizingChannel on wires \[0\] .*"zentrova\.mixed"'):
        noisy()
