"""Noise through Cirq: ZentrovaDensityMatrixSimulator against cirq.DensityMatrixSimulator on random
noisy circuits over every kind of channel (exact, 1e-10), and ZentrovaSimulator's seeded trajectories
against those exact distributions by a chi-square test, each trajectory's state normalised."""

import cirq
import numpy as np
from scipy import stats
from zentrova_cirq import ZentrovaDensityMatrixSimulator, ZentrovaSimulator

Q = cirq.LineQubit.range(4)
REF = cirq.DensityMatrixSimulator(dtype=np.complex128)


class Kraus(cirq.Gate):
    """A channel known only by its Kraus operators: amplitude damping and a phase kick."""

    def _num_qubits_(self):
        return 1

    def _kraus_(self):
        g = 0.3
        return (np.array([[1, 0], [0, np.sqrt(1 - g)]]) @ np.diag([1, 1j]),
                np.array([[0, np.sqrt(g)], [0, 0]]))


CHANNELS = [cirq.depolarize(0.1), cirq.amplitude_damp(0.2), cirq.phase_damp(0.3),
            cirq.generalized_amplitude_damp(0.4, 0.2), cirq.bit_flip(0.15), cirq.phase_flip(0.25),
            cirq.asymmetric_depolarize(0.05, 0.1, 0.02), cirq.ResetChannel(), Kraus(),
            cirq.depolarize(0.2, n_qubits=2)]


def noisy_circuit(rng: np.random.Generator, layers: int = 3) -> cirq.Circuit:
    ops = []
    for _ in range(layers):
        ops += [cirq.ry(rng.uniform(-3, 3)).on(q) for q in Q]
        ops += [cirq.CNOT(Q[0], Q[1]), cirq.CZ(Q[2], Q[3]) ** 0.4, cirq.ISWAP(Q[1], Q[2]) ** 0.5]
        for channel in rng.choice(len(CHANNELS), 3, replace=False):
            ch = CHANNELS[channel]
            ops.append(ch.on(*[Q[i] for i in rng.permutation(4)[:cirq.num_qubits(ch)]]))
    return cirq.Circuit(ops)


def test_density_matrices_are_the_exact_ones():
    rng = np.random.default_rng(3)
    sim = ZentrovaDensityMatrixSimulator(dtype=np.complex128)
    obs = cirq.Z(Q[0]) * cirq.X(Q[2]) + 0.5 * cirq.Y(Q[1]) - 0.2 * cirq.Z(Q[3])
    for _ in range(6):
        circuit = noisy_circuit(rng)
        got = sim.simulate(circuit, qubit_order=Q).final_density_matrix
        want = REF.simulate(circuit, qubit_order=Q).final_density_matrix
        np.testing.assert_allclose(got, want, atol=1e-10)
        np.testing.assert_allclose(sim.simulate_expectation_values(circuit, obs),
                                   REF.simulate_expectation_values(circuit, obs), atol=1e-10)
    # A noise model, as Cirq's simulators take it.
    circuit = noisy_circuit(rng, 1)
    noise = cirq.ConstantQubitNoiseModel(cirq.depolarize(0.05))
    np.testing.assert_allclose(
        ZentrovaDensityMatrixSimulator(noise=noise, dtype=np.complex128).simulate(circuit, qubit_order=Q).final_density_matrix,
        cirq.DensityMatrixSimulator(noise=noise, dtype=np.complex128).simulate(circuit, qubit_order=Q).final_density_matrix,
        atol=1e-10)


def test_trajectories_follow_the_exact_distribution():
    rng = np.random.default_rng(5)
    # Every channel at least once, between rotations.
    circuit = noisy_circuit(rng) + cirq.Circuit(
        [(cirq.ry(0.7).on_each(*Q), ch.on(*Q[:cirq.num_qubits(ch)])) for ch in CHANNELS])
    exact = np.real(np.diagonal(ZentrovaDensityMatrixSimulator(dtype=np.complex128)
                                .simulate(circuit, qubit_order=Q).final_density_matrix))
    shots = 3000
    measured = circuit + cirq.measure(*Q, key="m")
    result = ZentrovaSimulator(seed=11).run(measured, repetitions=shots)
    counts = np.bincount(result.data["m"].to_numpy(), minlength=16)
    keep = exact * shots >= 5
    chi2 = (((counts - shots * exact)[keep] ** 2) / (shots * exact[keep])).sum()
    assert stats.chi2.sf(chi2, keep.sum() - 1) > 1e-4, (counts, shots * exact)
    again = ZentrovaSimulator(seed=11).run(measured, repetitions=shots)
    assert np.array_equal(again.data["m"].to_numpy(), result.data["m"].to_numpy())
    # Every trajectory's state is normalised, whichever branches it took; on average they
    # give the density matrix.
    sim = ZentrovaSimulator(seed=2)
    states = [sim.simulate(circuit, qubit_order=Q).final_state_vector for _ in range(300)]
    assert all(abs(np.vdot(s, s) - 1) < 1e-12 for s in states)
    mean = np.mean([np.abs(s) ** 2 for s in states], axis=0)
    assert np.abs(mean - exact).max() < 0.08
