"""Adjoint differentiation on zentrova.qubit: the device's derivatives, vector-Jacobian products
and, for circuits run for them, its expectation values, all from zentrova_gradients (one forward
and one backward pass over the circuit, whatever the number of parameters).

A circuit becomes the gradients module's gate tuples: the rotations and phases whose generators
the engine knows stay themselves, trainable or not; a trainable operation of one parameter whose
generator PennyLane knows (qml.generator) is its matrix at the parameter's value with that
generator as Pauli terms, on up to ten wires; every other operation is written out by the
device's own operation table (ops.py), fixed. Trainable operations of any other kind (several
parameters: Rot, U3) are decomposed by preprocessing until they are one of those. Observables
are Pauli sums where PennyLane has a Pauli representation of them, else their matrix over their
wires.

The device hands in what it decides: which wires a circuit runs on (wires_of) and a mapper that
runs the circuits in this process or on its pool, with the thread count each may use."""

from itertools import chain

import numpy as np
import zentrova_gradients
from pennylane import generator as qml_generator
from pennylane import math
from pennylane import matrix as qml_matrix
from pennylane import pauli_decompose as qml_pauli_decompose
from pennylane.devices.preprocess import (
    decompose,
    no_sampling,
    validate_adjoint_trainable_params,
    validate_device_wires,
)
from _zentrova_common import check_memory, panics_as
from pennylane.exceptions import DeviceError
from pennylane.measurements import ExpectationMP
from pennylane.ops import Controlled, MidMeasure
from pennylane.ops.op_math import Conditional
from pennylane.transforms import broadcast_expand, defer_measurements
from pennylane.transforms.core import CompilePipeline, transform

from . import ops

NAME = "adjoint + zentrova.qubit"

# Operations the engine differentiates itself: PennyLane name -> the module's gate name (the
# controlled ones carry their control first).
GENERATED = {
    "RX": "rx",
    "RY": "ry",
    "RZ": "rz",
    "PhaseShift": "phase",
    "U1": "phase",
    "CRX": "rx",
    "CRY": "ry",
    "CRZ": "rz",
    "ControlledPhaseShift": "phase",
}
# Fixed gates the register runs as one call on their qubits alone, written out without a
# recorded register.
PLAIN = {"PauliX": "x", "Hadamard": "h", "CNOT": "cnot", "SWAP": "swap", "Toffoli": "ccnot"}
# A global phase changes no expectation value: its derivative is zero.
CONSTANT = {"GlobalPhase", "Identity"}
# The largest observable without a Pauli representation taken as a dense matrix (the engine's
# limit): "best" leaves larger ones to parameter shift.
MAX_MATRIX_WIRES = 10


def wanted(config):
    return config is not None and config.gradient_method == "adjoint"


def supports(config, circuit):
    """Adjoint for "adjoint" (a circuit it cannot take is refused when it runs, with the
    reason), and for "best" on analytic circuits of expectation values it can take; PennyLane
    falls back to parameter shift otherwise."""
    if config is None or config.gradient_method == "adjoint":
        return True
    if config.gradient_method == "best":
        return circuit is None or (not circuit.shots and _takes(circuit))
    return False


def _measurement_refused(mp):
    """Why adjoint differentiation cannot take the measurement, or None."""
    if not isinstance(mp, ExpectationMP) or mp.obs is None:
        return (
            f"{NAME} takes expectation values of observables only, not {mp}: measure "
            "probabilities, samples, the state or variances with another diff_method"
        )
    if mp.obs.pauli_rep is None and len(mp.obs.wires) > MAX_MATRIX_WIRES:
        return (
            f"{NAME} takes observables with a Pauli representation or on at most "
            f"{MAX_MATRIX_WIRES} wires, not {mp.obs}"
        )
    return None


_KINDS = {}  # (operation type, classes) -> isinstance's answer


def _kind_of(op, classes):
    """isinstance(op, classes), asked once per operation type: PennyLane's operations are
    abstract classes, slow to ask, and a gradient asks for each of its gates several times."""
    key = (type(op), classes)
    kind = _KINDS.get(key)
    if kind is None:
        kind = _KINDS[key] = isinstance(op, classes)
    return kind


def _takes(circuit):
    # Postselection leaves a projection, which no backward pass undoes.
    for op in circuit.operations:
        if _kind_of(op, (MidMeasure, Conditional)) or op.name == "Projector":
            return False
    return all(_measurement_refused(mp) is None for mp in circuit.measurements)


def setup(config, circuit, updated):
    """The options adjoint differentiation wants, where the user left them open: "best" means
    adjoint here where it can take the circuit, and derivatives come with the results in one
    call."""
    if config.gradient_method == "best":
        if not supports(config, circuit):
            return
        updated["gradient_method"] = "adjoint"
    elif config.gradient_method != "adjoint":
        return
    if config.use_device_gradient is None:
        updated["use_device_gradient"] = True
    if config.grad_on_execution is None:
        updated["grad_on_execution"] = True
    if config.use_device_jacobian_product is None:
        updated["use_device_jacobian_product"] = False


def adjoint_ops(op):
    """Whether preprocessing may stop at `op`: the device runs it and its trainable parameter,
    if any, is one whose generator the engine knows or PennyLane gives."""
    if not ops.supported(op) or op.name == "Projector":
        return False
    if op.num_params == 0 or op.name in GENERATED or op.name in CONSTANT:
        return True
    return not any(math.requires_grad(d) for d in op.data) or _by_generator(op)


def _by_generator(op):
    """A trainable operation differentiated as its matrix with PennyLane's generator."""
    return (op.num_params == 1 and op.has_generator and op.has_matrix
            and 0 < len(op.wires) <= ops.MAX_WIRES)


def generator_terms(op, qubit):
    """G as Pauli terms on the register's qubits, dU/dp = i G U (PennyLane's U = exp(i p G)):
    from PennyLane's Pauli representation of the generator, else from its matrix."""
    g = qml_generator(op, format="observable")
    rep = g.pauli_rep
    if rep is None:
        wires = g.wires
        rep = qml_pauli_decompose(np.asarray(qml_matrix(g, wire_order=wires), dtype=complex),
                                  wire_order=wires, pauli=True)
    terms = []
    for word, coefficient in rep.items():
        c = complex(coefficient)  # real for a Hermitian generator, to rounding
        if c.real == 0:
            continue
        wires = list(word)
        terms.append((c.real, "".join(word[w] for w in wires), [qubit[w] for w in wires]))
    return terms


@transform
def expectations_only(tape):
    """Adjoint differentiation gives expectation values; anything else is named and refused."""
    for mp in tape.measurements:
        if (reason := _measurement_refused(mp)) is not None:
            raise DeviceError(reason)
    return (tape,), lambda results: results[0]


def _scalar(d):
    return (d.ndim if hasattr(d, "ndim") else np.ndim(d)) == 0


@transform
def device_wires(tape, wires, name):
    """PennyLane's check that the tape's wires are the device's, answered from the operations'
    own wires where they are plain labels: the tape's list of its wires is rebuilt on every
    call, each controlled gate's wires with it."""
    if wires and not any(op.name == "Snapshot" for op in tape.operations):
        used = _tape_wires(tape)
        if all(type(w) in (int, str) for w in used) and set(wires).issuperset(used):
            return (tape,), _first
    return validate_device_wires(tape, wires, name=name)


@transform
def expand_broadcast(tape):
    """broadcast_expand where a parameter has more dimensions than a scalar and the tape has a
    trainable one (a broadcast tape with none is only run, every set from one program);
    finding the tape's batch size costs more than an unbatched gradient's own work."""
    if all(_scalar(d) for op in tape.operations for d in op.data) or not tape.trainable_params:
        return (tape,), _first
    return broadcast_expand(tape)


@transform
def decomposed(tape, wires, decomposer):
    """PennyLane's decomposition down to what adjoint_ops takes. PennyLane returns a tape
    already there unchanged as well, but only after counting the device's wires the tape leaves
    free, a look at every gate's wires."""
    if all(adjoint_ops(op) for op in tape.operations):
        return (tape,), _first
    return decompose(
        tape,
        stopping_condition=adjoint_ops,
        device_wires=wires,
        skip_initial_state_prep=False,
        decomposer=decomposer,
        name=NAME,
    )


def _first(results):
    return results[0]


def preprocess_transforms(wires, name, decomposer, first):
    program = CompilePipeline()
    program.add_transform(first)
    program.add_transform(no_sampling, name=NAME)
    program.add_transform(expectations_only)
    program.add_transform(defer_measurements, allow_postselect=False)
    program.add_transform(device_wires, wires, name)
    program.add_transform(decomposed, wires, decomposer)
    program.add_transform(expand_broadcast)
    program.add_transform(validate_adjoint_trainable_params)
    return program


# -- from a tape to the gradients module's arguments ------------------------------------------


def _fixed_gate(name, args):
    """One program operation (ops.py) as a gate tuple with no parameter to differentiate."""
    if name in ("rx", "ry", "rz"):
        return (name, args[0], args[1], None)
    if name == "u":
        return ("u", args[0], ((args[1], args[2]), (args[3], args[4])))
    if name == "mcu":
        return ("mcu", [*args[0], args[1]], ((args[2], args[3]), (args[4], args[5])))
    if name in ("matrix", "diagonal"):
        targets, m, controls, values = args
        k = len(targets)
        m = np.diag(m) if name == "diagonal" else np.asarray(m).reshape(1 << k, 1 << k)
        if controls:
            # The matrix over controls and targets, the controls the most significant bits:
            # the identity but for the block where every control reads its value.
            full = np.eye(1 << (len(controls) + k), dtype=complex)
            at = sum(v << (len(controls) - 1 - j) for j, v in enumerate(values)) << k
            full[at : at + (1 << k), at : at + (1 << k)] = m
            m = full
        return ("matrix", [*controls, *targets], m)
    return (name, args)


def _op_wires(op):
    # An operation's wire labels, a controlled gate's controls first, without the Wires object
    # PennyLane builds for a controlled gate on every look.
    if _kind_of(op, Controlled):
        return op.control_wires.labels + op.base.wires.labels
    return op.wires.labels


def _tape_wires(tape, op_wires=None):
    """The tape's wires in the order of tape.wires; op_wires, if given, each operation's."""
    if op_wires is None:
        op_wires = map(_op_wires, tape.operations)
    measured = (mp.wires.labels for mp in tape.measurements)
    return dict.fromkeys(chain(chain.from_iterable(op_wires), chain.from_iterable(measured)))


def engine_circuit(tape, wire_order, op_wires=None):
    """(qubit count, gate tuples, observables, parameter count) for the gradients module. Column
    c of its Jacobian is the tape's trainable parameter c; op_wires, if given, lists each
    operation's wires."""
    n = len(wire_order)
    qubit = {w: n - 1 - k for k, w in enumerate(wire_order)}
    column = {p: c for c, p in enumerate(tape.trainable_params)}
    program = []
    gates = []
    first = 0  # index of the operation's first parameter among the tape's
    if op_wires is None:
        op_wires = map(_op_wires, tape.operations)
    for op, wires in zip(tape.operations, op_wires):
        q = [qubit[w] for w in wires]
        op_name = op.name
        if (plain := PLAIN.get(op_name)) is not None:
            gates.append((plain, tuple(q)))
            continue
        name = GENERATED.get(op_name)
        col = column.get(first)
        first += op.num_params
        if col is not None:
            if name is not None:
                gates.append((name, q, float(op.data[0]), col))
                continue
            if op_name not in CONSTANT and _by_generator(op):
                m = np.asarray(op.matrix(wire_order=wires), dtype=complex)
                gates.append(("matrix", q, m, col, generator_terms(op, qubit)))
                continue
        program.clear()
        ops.apply(program, op, q)
        gates.extend(_fixed_gate(*o) for o in program)
    observables = [engine_observable(mp.obs, qubit) for mp in tape.measurements]
    return n, gates, observables, len(tape.trainable_params)


def engine_observable(obs, qubit, scale=1.0):
    """The observable's terms, each coefficient (or matrix) times scale."""
    rep = obs.pauli_rep
    if rep is None:
        matrix = np.asarray(obs.matrix(wire_order=obs.wires)) * scale
        return [(matrix, [qubit[w] for w in obs.wires])]
    terms = []
    for word, coefficient in rep.items():
        c = complex(coefficient)
        if c.imag != 0:
            raise DeviceError(f"{NAME} takes Hermitian observables, not {obs}")
        wires = list(word)
        terms.append((c.real * scale, "".join(word[w] for w in wires), [qubit[w] for w in wires]))
    return terms


def _wire_order(wires_of, tape, op_wires=None):
    # Only the wires the tape touches, in the device's order: idle wires change no value and
    # no derivative, and would cost two states' memory each.
    return wires_of(_tape_wires(tape, op_wires))


def _results(values):
    values = [np.float64(v) for v in values]
    return values[0] if len(values) == 1 else tuple(values)


def _jacobian_layout(jac):
    """PennyLane's layout: a bare value for one measurement and one parameter, a tuple per
    measurement and per parameter otherwise, the single ones left out."""
    jac = np.squeeze(jac)
    if jac.ndim == 0:
        return np.array(jac)
    if jac.ndim == 1:
        return tuple(np.array(j) for j in jac)
    return tuple(tuple(np.array(j) for j in row) for row in jac)


def run_circuit(n, gates, observables, params, threads=1):
    """Values and the (observables x params) Jacobian; module-level and of plain arguments, so
    that a process pool can run it.

    The engine's states are checked for here first, as the register is on the device's other
    path: the engine's own refusal is a PanicException, and its report of a fatal error would
    reach standard error even where the caller catches the exception."""
    if observables:
        # One state for the circuit and one per observable, or two for values alone.
        trainable = any(len(g) >= 4 and g[3] is not None for g in gates)
        states = len(observables) + 1 if trainable else 2
        check_memory(n, f"the adjoint gradient's {states} states", 16 * states, DeviceError)
    with panics_as(DeviceError):
        values, jac = zentrova_gradients.jacobian(n, gates, observables, threads=threads)
    values = np.asarray(values)
    full = np.zeros((len(observables), params))
    jac = np.asarray(jac)
    full[:, : jac.shape[1]] = jac
    return values, full


def _run_all(mapper, prepared):
    return mapper(run_circuit, [(*p, mapper.threads) for p in prepared])


def _prepared(wires_of, circuits):
    out = []
    for c in circuits:
        op_wires = [_op_wires(op) for op in c.operations]
        out.append(engine_circuit(c, _wire_order(wires_of, c, op_wires), op_wires))
    return out


def execute_and_compute_derivatives(wires_of, circuits, mapper):
    runs = _run_all(mapper, _prepared(wires_of, circuits))
    return (
        tuple(_results(values) for values, _ in runs),
        tuple(_jacobian_layout(jac) for _, jac in runs),
    )


def _combined(tape, cotangents, wire_order):
    """One observable, the sum of the tape's observables weighted by the cotangents: its
    gradient is the vector-Jacobian product, for one backward pass. None where the cotangents
    are batched (a Jacobian asked for row by row)."""
    cots = np.asarray(cotangents, dtype=float)
    if len(tape.measurements) == 1:
        cots = cots.reshape(1, *cots.shape)
    if cots.ndim != 1:
        return None
    n = len(wire_order)
    qubit = {w: n - 1 - k for k, w in enumerate(wire_order)}
    terms = []
    for c, mp in zip(cots, tape.measurements):
        if c != 0:
            terms.extend(engine_observable(mp.obs, qubit, float(c)))
    return terms


def compute_vjp(wires_of, circuits, cotangents, mapper):
    prepared, contract = [], []
    for c, cots in zip(circuits, cotangents):
        wires = _wire_order(wires_of, c)
        n, gates, observables, params = engine_circuit(c, wires)
        combined = _combined(c, cots, wires)
        if combined is None:
            prepared.append((n, gates, observables, params))
            contract.append(np.asarray(cots, dtype=float))
        else:
            prepared.append((n, gates, [combined], params))
            contract.append(None)
    runs = _run_all(mapper, prepared)
    out = []
    for (_, jac), cots in zip(runs, contract):
        if cots is None:
            out.append(tuple(np.float64(v) for v in jac[0]))
        else:
            # Batched cotangents, (observables, batch), against (observables, params).
            out.append(tuple(np.einsum("kb,kp->pb", cots.reshape(jac.shape[0], -1), jac)))
    return tuple(out)
