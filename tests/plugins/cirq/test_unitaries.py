"""Gates Cirq gives only as a unitary, or whose decomposition Cirq gets wrong, run as one matrix
or diagonal: final states against cirq.Simulator's (which applies the unitary) on qubits in any
order, and the operations the plugin hands the engine."""

import cirq
import numpy as np
from zentrova_cirq import ZentrovaSimulator, _translate

REF = cirq.Simulator(dtype=np.complex128)


class OnlyUnitary(cirq.Gate):
    """A gate that knows its unitary and nothing else: no decomposition."""

    def __init__(self, n: int, seed: int):
        self.n, self.u = n, cirq.testing.random_unitary(1 << n, random_state=seed)

    def _num_qubits_(self):
        return self.n

    def _unitary_(self):
        return self.u


def test_unitaries_run_as_matrices_on_qubits_in_any_order():
    q = cirq.LineQubit.range(7)
    rng = np.random.default_rng(5)
    gates = [
        cirq.ThreeQubitDiagonalGate(list(rng.uniform(-3, 3, 8))),
        cirq.TwoQubitDiagonalGate(list(rng.uniform(-3, 3, 4))),
        cirq.DiagonalGate(list(rng.uniform(-3, 3, 16))),
        OnlyUnitary(2, 1), OnlyUnitary(3, 2), OnlyUnitary(6, 3),
        cirq.MatrixGate(cirq.testing.random_unitary(16, random_state=4)),
        cirq.MatrixGate(cirq.testing.random_unitary(32, random_state=6)).controlled(2, control_values=[0, 1]),
        OnlyUnitary(2, 7).controlled(1),
        cirq.CZ ** 0.3, cirq.CCZ ** 0.7, cirq.Z ** 0.4,
    ]
    for i, gate in enumerate(gates):
        order = [q[j] for j in rng.permutation(7)[:cirq.num_qubits(gate)]]
        circuit = cirq.Circuit([cirq.H.on_each(*q), cirq.ry(0.3).on(q[2]), gate.on(*order)])
        got = ZentrovaSimulator().simulate(circuit, qubit_order=q).final_state_vector
        want = REF.simulate(circuit, qubit_order=q).final_state_vector
        np.testing.assert_allclose(got, want, atol=1e-12, err_msg=repr(gate))
        # One operation each, never Cirq's decomposition into many.
        ops = _translate.read(cirq.Circuit(gate.on(*order)), q).ops
        assert len(ops) == 1 and ops[0][0] in ("diagonal", "matrix"), (gate, ops)
        assert ops[0][0] == ("diagonal" if cirq.is_diagonal(cirq.unitary(gate)) else "matrix")


def test_threads_give_the_same_bits_and_bad_counts_are_refused():
    # 17 qubits: the register records its gates and the passes share tiles out among threads.
    q = cirq.LineQubit.range(17)
    circuit = cirq.Circuit([cirq.H.on_each(*q), [cirq.CZ(a, b) ** 0.3 for a, b in zip(q, q[1:])],
                            cirq.ry(0.4).on_each(*q[::3]), cirq.CNOT(q[16], q[0])])
    states = [ZentrovaSimulator(threads=t).simulate(circuit).final_state_vector.tobytes()
              for t in (1, 2)]
    assert states[0] == states[1]
    obs = cirq.Z(q[0]) * cirq.Y(q[16]) + 0.5 * cirq.X(q[3])
    values = [ZentrovaSimulator(threads=t).simulate_expectation_values(circuit, obs) for t in (1, 2)]
    assert values[0] == values[1]
    np.testing.assert_allclose(values[0], REF.simulate_expectation_values(circuit, obs), atol=1e-10)
    for bad in (0, -1, 1.5, True):
        try:
            ZentrovaSimulator(threads=bad)
        except ValueError as e:
            assert "threads must be an int of 1 or more, or None" in str(e)
        else:
            raise AssertionError(f"threads={bad!r} was taken")
