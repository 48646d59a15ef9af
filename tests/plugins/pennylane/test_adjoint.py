"""Adjoint differentiation on zentrova.qubit against default.qubit's backprop: random circuits
over the device's gate table with Hamiltonians and Hermitian observables, several expectation
values, broadcasting, vector-Jacobian products; what "best" chooses; the refusals; the same bits
again, and on the device's process pool."""

import re

import numpy as np
import pennylane as qml
import pytest
from pennylane import numpy as pnp

N = 4
# Every parametrised gate of the device's table, and those PennyLane decomposes for it.
ONE_WIRE = [qml.RX, qml.RY, qml.RZ, qml.PhaseShift, qml.U1, qml.Rot, qml.U3, qml.U2]
TWO_WIRE = [qml.CRX, qml.CRY, qml.CRZ, qml.CRot, qml.ControlledPhaseShift, qml.IsingXX,
            qml.IsingYY, qml.IsingZZ]
FIXED = [qml.Hadamard, qml.S, qml.T, qml.SX, qml.PauliY, qml.CNOT, qml.CZ, qml.SWAP, qml.Toffoli]
# Differentiated as their matrix with PennyLane's generator.
WIDE = [qml.DoubleExcitation, qml.DoubleExcitationPlus, qml.DoubleExcitationMinus,
        qml.OrbitalRotation, qml.SingleExcitationPlus, qml.FermionicSWAP]


def random_circuit(seed):
    """(function of the parameters, parameter count)."""
    rng = np.random.default_rng(seed)
    plan, count = [], 0
    for _ in range(16):
        kind = rng.choice(["one", "two", "fixed", "multi", "wide"])
        if kind == "fixed":
            op = FIXED[rng.integers(len(FIXED))]
            plan.append((op, [int(w) for w in rng.permutation(N)[: op.num_wires]], None))
            continue
        op = {"one": ONE_WIRE, "two": TWO_WIRE, "multi": [qml.MultiRZ], "wide": WIDE}[kind]
        op = op[rng.integers(len(op))]
        wires = [int(w) for w in rng.permutation(N)[: 3 if op is qml.MultiRZ else op.num_wires]]
        plan.append((op, wires, slice(count, count + op.num_params)))
        count += op.num_params

    def gates(params):
        for op, wires, at in plan:
            op(*(params[at] if at is not None else ()), wires=wires)

    return gates, count


OBSERVABLES = [
    qml.Hamiltonian([0.4, -1.3, 0.7], [qml.Z(0) @ qml.Z(1), qml.X(2) @ qml.Y(3), qml.Y(1)]),
    qml.Hermitian(np.array([[1, 2 - 1j, 0, 0.5], [2 + 1j, -1, 0, 0], [0, 0, 0.3, 1j],
                            [0.5, 0, -1j, 2]]), wires=[3, 1]),
    qml.X(0) @ qml.Z(2),
]


def jacobian_on(dev, gates, params, diff_method, **kwargs):
    @qml.qnode(dev, diff_method=diff_method, **kwargs)
    def circuit(p):
        gates(p)
        return [qml.expval(o) for o in OBSERVABLES]

    return qml.jacobian(lambda p: pnp.stack(circuit(p)))(params), circuit(params)


@pytest.mark.parametrize("seed", range(6))
def test_jacobian_equals_backprop_on_random_circuits(seed):
    gates, count = random_circuit(seed)
    params = pnp.array(np.random.default_rng(seed).uniform(-3, 3, count), requires_grad=True)
    ref, ref_values = jacobian_on(qml.device("default.qubit", wires=N), gates, params, "backprop")
    dev = qml.device("zentrova.qubit", wires=N)
    for method, vjp in [("best", False), ("adjoint", True)]:
        jac, values = jacobian_on(dev, gates, params, method, device_vjp=vjp)
        np.testing.assert_allclose(jac, ref, atol=1e-10)
        np.testing.assert_allclose(values, ref_values, atol=1e-12)
    # One vector-Jacobian product with weights other than 0 and 1 on every observable.
    cotangents = np.array([0.3, -1.7, 0.8])

    @qml.qnode(dev, diff_method="adjoint", device_vjp=True)
    def circuit(p):
        gates(p)
        return [qml.expval(o) for o in OBSERVABLES]

    vjp = qml.grad(lambda p: pnp.dot(cotangents, pnp.stack(circuit(p))))(params)
    np.testing.assert_allclose(vjp, cotangents @ ref, atol=1e-10)


def test_same_bits_again_and_on_the_process_pool():
    gates, count = random_circuit(11)
    params = pnp.array(np.random.default_rng(1).uniform(-3, 3, count), requires_grad=True)

    def batch_jacobian(workers):
        dev = qml.device("zentrova.qubit", wires=N, max_workers=workers)
        tapes = [qml.tape.QuantumScript(qml.tape.make_qscript(gates)(params * s).operations,
                                        [qml.expval(o) for o in OBSERVABLES],
                                        trainable_params=list(range(count)))
                 for s in (1.0, 0.5, -2.0)]
        config = dev.setup_execution_config(qml.devices.ExecutionConfig(gradient_method="adjoint"))
        program = dev.preprocess_transforms(config)
        batch, _ = program(tapes)
        out = dev.execute_and_compute_derivatives(batch, config)
        dev.close()
        return np.array(out[1])

    serial = batch_jacobian(None)
    assert np.array_equal(serial, batch_jacobian(None))
    assert np.array_equal(serial, batch_jacobian(2))


def test_best_is_adjoint_when_analytic_and_parameter_shift_with_shots():
    dev = qml.device("zentrova.qubit", wires=2)

    def circuit(x):
        qml.RX(x, 0)
        return qml.expval(qml.Z(0))

    best = qml.workflow.get_best_diff_method
    assert best(qml.QNode(circuit, dev))(0.1) == "adjoint"
    assert best(qml.set_shots(qml.QNode(circuit, dev), 100))(0.1) == "parameter-shift"
    shot_grad = qml.grad(qml.set_shots(qml.QNode(circuit, dev), 20000))(pnp.array(0.4))
    assert abs(shot_grad + np.sin(0.4)) < 0.05
    with pytest.raises(qml.exceptions.DeviceError, match="Finite shots are not supported with adjoint"):
        qml.grad(qml.set_shots(qml.QNode(circuit, dev, diff_method="adjoint"), 100))(pnp.array(0.4))


@pytest.mark.parametrize(
    "measurement", [qml.probs(wires=0), qml.sample(wires=0), qml.state(), qml.var(qml.Z(0))]
)
def test_measurements_adjoint_cannot_take_are_named(measurement):
    dev = qml.device("zentrova.qubit", wires=2)

    @qml.qnode(dev, diff_method="adjoint")
    def circuit(x):
        qml.RX(x, 0)
        return qml.apply(measurement)

    with pytest.raises(qml.exceptions.DeviceError, match=re.escape(f"not {measurement}:")):
        qml.jacobian(circuit)(pnp.array(0.3))
    # "best" takes parameter shift for them instead.
    assert qml.workflow.get_best_diff_method(qml.QNode(circuit.func, dev))(0.3) != "adjoint"


def test_excitations_by_adjoint_and_parameter_shift_undecomposed():
    # A trainable DoubleExcitationPlus/Minus used to become a QubitUnitary whose decomposition
    # fails on autograd's values; now they reach the engine whole, with their generators.
    def circuit(p):
        qml.BasisState(np.array([1, 1, 0, 0]), wires=range(4))
        qml.DoubleExcitationPlus(p[0], wires=[0, 1, 2, 3])
        qml.RY(p[1], 1)
        qml.DoubleExcitationMinus(p[2], wires=[3, 1, 0, 2])
        qml.ctrl(qml.IsingXY(p[3], [2, 0]), 1, control_values=0)

    params = pnp.array([0.4, -1.1, 2.3, 0.8], requires_grad=True)
    ref = jacobian_on(qml.device("default.qubit", wires=N), circuit, params, "backprop")
    for method in ["adjoint", "parameter-shift"]:
        node = qml.QNode(lambda p: (circuit(p), [qml.expval(o) for o in OBSERVABLES])[1],
                         qml.device("zentrova.qubit", wires=N), diff_method=method)
        ours = jacobian_on(qml.device("zentrova.qubit", wires=N), circuit, params, method)
        np.testing.assert_allclose(ours[0], ref[0], atol=1e-10)
        np.testing.assert_allclose(ours[1], ref[1], atol=1e-12)
        tape = qml.workflow.construct_batch(node, level="device")(params)[0][0]
        assert {"DoubleExcitationPlus", "DoubleExcitationMinus"} <= {op.name for op in tape.operations}


def test_broadcast_parameters():
    def circuit(x, y):
        qml.RX(x, 0), qml.CRY(y, [0, 1]), qml.IsingZZ(x, [1, 0])
        return qml.expval(qml.Y(1)), qml.expval(qml.X(0) @ qml.X(1))

    x = pnp.array([0.1, 0.7, -1.2], requires_grad=True)
    y = pnp.array(0.4, requires_grad=True)
    ours = qml.jacobian(lambda a, b: pnp.stack(qml.QNode(circuit, qml.device("zentrova.qubit", wires=2))(a, b)))(x, y)
    ref = qml.jacobian(lambda a, b: pnp.stack(qml.QNode(circuit, qml.device("default.qubit", wires=2))(a, b)))(x, y)
    for a, b in zip(ours, ref):
        np.testing.assert_allclose(a, b, atol=1e-10)


def test_idle_wires_and_non_finite_parameters_on_the_adjoint_path():
    # Two of 40 wires in use: only they are simulated, as on the device's other runs.
    dev = qml.device("zentrova.qubit", wires=40)
    ref = qml.device("default.qubit", wires=[7, 31])

    def circuit(p):
        qml.RX(p[0], 31)
        qml.CRY(p[1], [31, 7])
        return qml.expval(qml.Z(7) @ qml.X(31))

    params = pnp.array([0.3, -1.1], requires_grad=True)
    want = qml.jacobian(qml.QNode(circuit, ref, diff_method="backprop"))(params)
    got = qml.jacobian(qml.QNode(circuit, dev, diff_method="adjoint"))(params)
    np.testing.assert_allclose(got, want, atol=1e-12)
    for value in [np.nan, np.inf]:
        bad = pnp.array([value, 0.2], requires_grad=True)
        with pytest.raises(ValueError, match="RX on wires \\[31\\]: the non-finite value"):
            qml.jacobian(qml.QNode(circuit, dev, diff_method="adjoint"))(bad)


def test_preprocessing_shortcuts_give_what_pennylane_gives():
    # The adjoint path skips wire validation, decomposition and broadcast expansion where they
    # would change nothing; where they would, it must end where PennyLane's own steps end.
    from pennylane.devices.preprocess import decompose, validate_device_wires
    from pennylane.exceptions import WireError
    from pennylane.transforms import broadcast_expand
    from zentrova_pennylane import adjoint
    from zentrova_pennylane.device import _decomposer

    def pennylane_steps(tape, wires):
        (tape,), _ = validate_device_wires(tape, wires, name="d")
        (tape,), _ = decompose(tape, adjoint.adjoint_ops, device_wires=wires,
                               skip_initial_state_prep=False, decomposer=_decomposer)
        return broadcast_expand(tape)[0]

    def device_steps(tape, wires):
        (tape,), _ = adjoint.device_wires(tape, wires, "d")
        (tape,), _ = adjoint.decomposed(tape, wires, _decomposer)
        return adjoint.expand_broadcast(tape)[0]

    base = [qml.CRY(0.3, ["a", 2]), qml.ctrl(qml.RY(0.4, 5), "a"), qml.Toffoli([2, 5, "a"])]
    extras = [[], [qml.Rot(pnp.array(0.1, requires_grad=True), 0.2, 0.3, 5)], [qml.RX(np.array([0.1, 0.2]), 2)], [qml.X(7)]]
    for extra in extras:
        tape = qml.tape.QuantumScript(base + extra, [qml.expval(qml.Z(2) @ qml.X(5))])
        assert list(adjoint._tape_wires(tape)) == tape.wires.tolist()
        for wires in [qml.wires.Wires(["a", 2, 5]), None]:
            try:
                want = pennylane_steps(tape, wires)
            except WireError:
                with pytest.raises(WireError):
                    device_steps(tape, wires)
                continue
            got = device_steps(tape, wires)
            assert len(got) == len(want) and all(qml.equal(g, w) for g, w in zip(got, want))


def test_shared_parameters_and_calls_without_a_configuration():
    # The same parameter in several gates: each use its own column, summed by PennyLane's
    # interface (QNode) or left to the caller (a tape, asked without an ExecutionConfig as
    # default.qubit and lightning.qubit allow).
    def gates(x):
        qml.RX(x, 0), qml.RY(x, 1), qml.CRX(x, [0, 2]), qml.CNOT([2, 1]), qml.RX(x, 0)

    x = pnp.array(0.7, requires_grad=True)
    want = qml.grad(qml.QNode(lambda x: (gates(x), qml.expval(OBSERVABLES[0]))[1],
                              qml.device("default.qubit"), diff_method="backprop"))(x)
    got = qml.grad(qml.QNode(lambda x: (gates(x), qml.expval(OBSERVABLES[0]))[1],
                             qml.device("zentrova.qubit", wires=N), diff_method="adjoint"))(x)
    assert abs(got - want) < 1e-10 and abs(want) > 0.1
    tape = qml.tape.make_qscript(gates)(0.7)
    tape = tape.copy(measurements=[qml.expval(OBSERVABLES[0]), qml.expval(OBSERVABLES[1])])
    tape.trainable_params = [0, 1, 2, 3]  # the gates' (the observables' are not the device's)
    cotangents = (0.3, -1.7)
    ref, ours = qml.device("default.qubit"), qml.device("zentrova.qubit", wires=N)
    for method in ["compute_derivatives", "execute_and_compute_derivatives", "compute_vjp",
                   "execute_and_compute_vjp"]:
        args = (cotangents,) if "vjp" in method else ()
        np.testing.assert_allclose(flat(getattr(ours, method)(tape, *args)),
                                   flat(getattr(ref, method)(tape, *args)), atol=1e-10)


def flat(results):
    if isinstance(results, (tuple, list)):
        return np.concatenate([flat(r) for r in results])
    return np.ravel(results).astype(float)


def test_too_large_for_the_adjoint_is_refused_before_the_engine_is_asked(capfd):
    @qml.qnode(qml.device("zentrova.qubit", wires=40))
    def circuit(x):
        for w in range(40):
            qml.RX(x, w)
        return qml.expval(qml.Z(0))

    for f in [circuit, qml.grad(circuit)]:
        with pytest.raises(qml.exceptions.DeviceError, match=r"the adjoint gradient's 2 states of "
                           r"40 qubits: it needs 35184372088832 bytes and \d+ bytes are"):
            f(pnp.array(0.1, requires_grad=True))
    assert capfd.readouterr().err == ""
