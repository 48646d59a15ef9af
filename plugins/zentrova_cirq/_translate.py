"""Cirq circuits into the plain operations that _worker.py runs.

A circuit is read once its parameters are resolved, before any work: each
operation becomes one of zentrova's gates, a noise channel (its Kraus
operators, or a mixture of unitaries with their probabilities), a one-qubit matrix under controls, a
diagonal (a controlled phase touches only what its controls select) or a dense
matrix on up to MAX_QUBITS qubits under controls of either value, a
measurement, a reset or a condition on measured values. Any unitary Cirq can
give on that many qubits runs as its own matrix, never as Cirq's decomposition
of it; only a larger one is decomposed, and one that is not unitary (a noise
channel) is refused, by name.

Cirq lists the first qubit of its qubit order as the most significant bit of a
basis-state index; zentrova's qubit 0 is the least significant. Qubit k of n
in Cirq's order is zentrova's qubit n-1-k, so an index means the same basis
state in both and a state vector needs no reordering.
"""

import math

import cirq
import numpy as np
from _zentrova_common import FIXED, K, check_finite, controlled_calls, cos_sin, expi, rx, ry, rz

# Conditions whose truth table would have more rows than this are refused.
MAX_TABLE_BITS = 12
# The most qubits zentrova_program runs one matrix or diagonal on (its
# MAX_OPERATION_QUBITS; this module does not import it, so a worker needs no Cirq).
MAX_QUBITS = 10


class UnsupportedOperation(ValueError):
    """An operation zentrova cannot run, named in the message."""


class Program:
    """One resolved circuit: its operations for _worker, the factor its
    global phase multiplies the state by, and the measurement keys (a slot
    each) with the width of each."""

    def __init__(self, n: int):
        self.n = n
        self.ops: list = []
        self.phase = 1 + 0j
        self.keys: list[str] = []
        self.widths: list[int] = []
        # Whether a noise channel is among the operations: each repetition
        # is then a trajectory of its own.
        self.noisy = False

    def slot(self, key: str, width: int) -> int:
        if key in self.keys:
            i = self.keys.index(key)
            if self.widths[i] != width:
                raise UnsupportedOperation(
                    f"the measurement key '{key}' is used for {self.widths[i]} and for {width} qubits")
            return i
        self.keys.append(key)
        self.widths.append(width)
        return len(self.keys) - 1


def _finite(values, gate) -> None:
    """The common check, asked only when a cheap look finds a bad value."""
    if not all(math.isfinite(abs(v)) for v in values):
        check_finite(values, f"the gate {gate!r}")


def _pow_parts(gate) -> tuple[float, float]:
    t, s = float(gate.exponent), float(gate.global_shift)
    if not (math.isfinite(t) and math.isfinite(s)):
        check_finite((t, s), f"the gate {gate!r}")
    return t, s


def _phase_of(t: float, s: float) -> complex:
    """e^(i pi t s), the global phase a shift puts on a whole eigen gate."""
    return expi(math.pi * t * s) if t * s else 1 + 0j


def _half_turn(gate) -> float:
    """The rotation angle of an X, Y or Z power: the radians an Rx, Ry or Rz
    was made with, as the user gave them, else pi times the exponent."""
    rads = getattr(gate, "_rads", None)
    return float(rads) if rads is not None else math.pi * gate.exponent


def _unitary_values(gate) -> tuple | None:
    """The entries of a gate's unitary, row by row; None if it has none. A
    MatrixGate hands over its own matrix without Cirq's protocol search."""
    m = gate._unitary_() if type(gate) is cirq.MatrixGate else cirq.unitary(gate, None)
    if m is None:
        return None
    values = tuple(np.asarray(m, dtype=np.complex128).ravel().tolist())
    _finite(values, gate)
    return values


def _times(z: complex, m: tuple) -> tuple:
    return m if z == 1 else tuple(z * v for v in m)


# A power t of X, Y, Z, H with shift s is e^(i pi t (s + 1/2)) times the
# rotation by pi t about its axis; Cirq's Rx, Ry, Rz are the shift -1/2.
_AXIS = {cirq.XPowGate: "x", cirq.YPowGate: "y", cirq.ZPowGate: "z", cirq.Rx: "x", cirq.Ry: "y",
         cirq.Rz: "z", type(cirq.X): "x"}  # cirq.X is a subclass of its own
_ROTATION = {"x": rx, "y": ry, "z": rz}


def _one_qubit(gate) -> tuple[str | None, tuple | None]:
    """A one-qubit gate as (method name or None, matrix): the module's own
    method where it runs the gate, phase included (its matrix then only
    worked out for a rotation on request: None), else the matrix for u; the
    matrix is () when the gate has none."""
    kind = type(gate)
    if kind in _AXIS or kind is cirq.HPowGate:
        return _axis_power(kind, gate, *_pow_parts(gate))
    if cirq.num_qubits(gate) == 1:
        values = _unitary_values(gate)
        return None, (() if values is None else values)
    return None, ()


def _axis_power(kind, gate, t: float, s: float) -> tuple[str | None, tuple | None]:
    """_one_qubit() of the power t with shift s of H or an axis (`gate` of
    type `kind`, or None for the power the base of a controlled gate is)."""
    if kind is cirq.HPowGate:
        if t == 1 and s == 0:
            return "h", FIXED["h"]
        # H^t = e^(i pi t/2) R_n(pi t) about n = (X + Z)/sqrt(2).
        c, sn = cos_sin(math.pi * t / 2)
        k = sn * K
        m = (complex(c, -k), complex(0.0, -k), complex(0.0, -k), complex(c, k))
        return None, _times(_phase_of(t, s + 0.5), m)
    axis = _AXIS[kind]
    if t == 1 and s == 0:
        return ("x" if axis == "x" else None), FIXED[axis]
    if s == -0.5:
        return "r" + axis, None
    if axis == "z":  # diagonal: each entry one rounding, a 1 exactly 1
        return None, (_phase_of(t, s), 0j, 0j, _phase_of(t, 1 + s))
    angle = math.pi * t if gate is None else _half_turn(gate)
    return None, _times(_phase_of(t, s + 0.5), _ROTATION[axis](angle))


# Controlled powers: (number of controls, the one-qubit gate controlled, the
# module's method for the exponent 1 without shift).
_CONTROLLED = {cirq.CXPowGate: (1, cirq.XPowGate, "cnot"), cirq.CZPowGate: (1, cirq.ZPowGate, None),
               cirq.CCXPowGate: (2, cirq.XPowGate, "ccnot"), cirq.CCZPowGate: (2, cirq.ZPowGate, None)}


def _append_controlled(prog: Program, controls: list[int], values: list[int], target: int,
                       gate, out: list, method_matrix: tuple | None = None) -> bool:
    """A one-qubit gate under controls (values 0 or 1), as cnot, ccnot or mcu;
    False if the gate is not one we can write as a matrix. method_matrix:
    _one_qubit(gate) when the caller has it already."""
    method, m = method_matrix or _one_qubit(gate)
    if m is None:
        m = _ROTATION[method[1]](_half_turn(gate))
    if not m:
        return False
    if method == "x" and all(values) and len(controls) in (1, 2):
        out.append(("cnot" if len(controls) == 1 else "ccnot", (*controls, target)))
        return True
    out.extend(controlled_calls(controls, values, target, m))
    return True


def _gate(prog: Program, gate, qubits: list[int], out: list) -> bool:
    """Appends the zentrova calls of a unitary gate on `qubits`; False if none
    fit."""
    if gate is None:
        return False
    kind = type(gate)
    if isinstance(gate, cirq.IdentityGate):
        return True
    if kind is cirq.GlobalPhaseGate:
        coefficient = complex(gate.coefficient)
        _finite((coefficient,), gate)
        prog.phase *= coefficient
        return True
    if kind in _CONTROLLED:
        k, base, method = _CONTROLLED[kind]
        t, s = _pow_parts(gate)
        prog.phase *= _phase_of(t, s)
        if method and t == 1:
            out.append((method, tuple(qubits)))
            return True
        if base is cirq.ZPowGate:  # a phase on the part where every qubit reads 1
            out.append(("diagonal", ((qubits[k],), (1 + 0j, _phase_of(t, 1.0)), tuple(qubits[:k]),
                                     (1,) * k)))
            return True
        return _append_controlled(prog, qubits[:k], [1] * k, qubits[k], None, out,
                                  _axis_power(base, None, t, 0.0))
    if kind is cirq.SwapPowGate:
        t, s = _pow_parts(gate)
        if t == 1 and s == 0:
            out.append(("swap", tuple(qubits)))
            return True
        return False
    if kind is cirq.CSwapGate:
        out.append(("csswap", tuple(qubits)))
        return True
    if kind is cirq.ControlledGate:
        sub = gate.sub_gate
        if cirq.num_qubits(sub) != 1 or any(d != 2 for d in gate.control_qid_shape):
            return False
        combos = list(gate.control_values.expand())
        if len(combos) != 1:
            return False
        k = gate.num_controls()
        return _append_controlled(prog, qubits[:k], list(combos[0]), qubits[k], sub, out)
    if len(qubits) == 1:
        method, m = _one_qubit(gate)
        if m == ():
            return False
        if method in ("x", "h"):
            out.append((method, (qubits[0],)))
        elif method is None and issubclass(kind, cirq.ZPowGate):  # half the state untouched
            out.append(("diagonal", ((qubits[0],), (m[0], m[3]))))
        elif method:
            out.append((method, (qubits[0], _half_turn(gate))))
        else:
            out.append(("u", (qubits[0], *m)))
        return True
    return False


# Gate types _gate() knows, which act on qubits only and are unitary: they
# skip the slower protocol checks.
_KNOWN = {*_AXIS, cirq.HPowGate, *_CONTROLLED, cirq.SwapPowGate, cirq.CSwapGate, cirq.IdentityGate,
          cirq.GlobalPhaseGate}


class _Values:
    """Measured values as cirq's conditions read them, for a truth table."""

    def __init__(self, values: dict, widths: dict):
        self._values, self._widths = values, widths

    def keys(self):
        return self._values.keys()

    def get_int(self, key, index=-1):
        return self._values[key]

    def get_digits(self, key, index=-1):
        v, w = self._values[key], self._widths[key]
        return tuple((v >> (w - 1 - i)) & 1 for i in range(w))


def _condition(prog: Program, cond, op) -> tuple:
    """A classical condition as plain data for _worker."""
    def slot(key) -> int:
        name = str(key)
        if name not in prog.keys:
            raise UnsupportedOperation(f"{op!r}: the measurement key '{name}' is not measured before it")
        return prog.keys.index(name)

    if isinstance(cond, cirq.KeyCondition):
        return ("nonzero", slot(cond.key), cond.index)
    if isinstance(cond, cirq.BitMaskKeyCondition):
        mask = -1 if cond.bitmask is None else int(cond.bitmask)
        return ("mask", slot(cond.key), cond.index, mask, int(cond.target_value), bool(cond.equal_target))
    # Any other condition (a sympy expression) reads the last value of each
    # of its keys: tabulate it over every value they can take.
    keys = list(cond.keys)
    slots = [slot(k) for k in keys]
    widths = [prog.widths[s] for s in slots]
    if sum(widths) > MAX_TABLE_BITS:
        raise UnsupportedOperation(f"{op!r}: a condition on more than {MAX_TABLE_BITS} measured bits")
    true = []
    for combo in np.ndindex(*(1 << w for w in widths)):
        reader = _Values(dict(zip(keys, combo)), dict(zip(keys, widths)))
        if cond.resolve(reader):
            true.append(tuple(int(v) for v in combo))
    return ("table", tuple(slots), frozenset(true))


# Gates that are unitary whatever their matrix: under a ControlledGate, too,
# they skip the protocol checks (qudits are refused before, by read()).
_UNITARY = {*_KNOWN, cirq.MatrixGate}


def _controlled_op(prog: Program, op, qubits: list[int], out: list) -> bool:
    """A ControlledOperation of a one-qubit gate _gate() knows, read without
    making its ControlledGate; False for any other, left to the general way."""
    sub = op.sub_operation
    if type(sub.gate) not in _UNITARY or len(sub.qubits) != 1:
        return False
    combos = list(op.control_values.expand())
    if len(combos) != 1:
        return False
    return _append_controlled(prog, qubits[:-1], list(combos[0]), qubits[-1], sub.gate, out)


def _matrix_op(op, qubits: list[int], out: list) -> bool:
    """Any unitary operation on up to MAX_QUBITS qubits as one diagonal or
    dense matrix, its controls (of a ControlledOperation or ControlledGate,
    one combination of values) kept as controls; False if it has no unitary
    or is too large."""
    controls, values = (), ()
    gate = op.gate
    sub = op
    if type(op) is cirq.ControlledOperation or type(gate) is cirq.ControlledGate:
        combos = list(op.control_values.expand() if gate is None else gate.control_values.expand())
        if len(combos) == 1:
            k = len(combos[0])
            controls, values = tuple(qubits[:k]), tuple(int(v) for v in combos[0])
            qubits = qubits[k:]
            sub = op.sub_operation if gate is None else gate.sub_gate
    if len(qubits) > MAX_QUBITS:
        return False
    m = cirq.unitary(sub, None)
    if m is None:
        return False
    m = np.asarray(m, dtype=np.complex128)
    if not np.isfinite(m).all():
        _finite(m.ravel().tolist(), op)
    d = np.diagonal(m)
    if np.count_nonzero(m) == np.count_nonzero(d):  # nothing off the diagonal
        out.append(("diagonal", (tuple(qubits), d.copy(), controls, values)))
    else:
        out.append(("matrix", (tuple(qubits), m.ravel(), controls, values)))
    return True


# Channel gates already read (a noise model repeats one on every qubit and
# moment), by value: Cirq's gates compare and hash by their parameters.
_CHANNELS: dict = {}


def _channel(op, qubits: list[int], out: list) -> bool:
    """A noise channel on up to MAX_QUBITS qubits as ("channel", qubits,
    probabilities, matrices): a mixture of unitaries with its probabilities,
    or Kraus operators (probabilities None), each matrix 2^k x 2^k with the
    first qubit the most significant bit; False if it is neither."""
    if len(qubits) > MAX_QUBITS:
        return False
    gate = op.gate
    known = _CHANNELS.get(gate) if gate is not None else None
    if known is not None:
        out.append(("channel", tuple(qubits), *known))
        return True
    if cirq.has_mixture(op):
        pairs = cirq.mixture(op)
        probs = tuple(float(p) for p, _ in pairs)
        mats = tuple(np.asarray(u, dtype=np.complex128) for _, u in pairs)
        check_finite(probs, lambda: f"the channel {op!r}")
    elif cirq.has_kraus(op):
        probs, mats = None, tuple(np.asarray(k, dtype=np.complex128) for k in cirq.kraus(op))
    else:
        return False
    for m in mats:
        if not np.isfinite(m).all():
            _finite(m.ravel().tolist(), op)
    if gate is not None and len(_CHANNELS) < 256:
        try:
            _CHANNELS[gate] = (probs, mats)
        except TypeError:  # an unhashable gate
            pass
    out.append(("channel", tuple(qubits), probs, mats))
    return True


def _read(prog: Program, operations, index: dict, out: list) -> None:
    for op in operations:
        op = op.untagged
        qubits = [index[q] for q in op.qubits]
        if type(op) is cirq.ControlledOperation and _controlled_op(prog, op, qubits, out):
            continue
        gate = op.gate  # a ControlledOperation makes its gate anew on every look
        if gate is None and isinstance(op, cirq.ClassicallyControlledOperation):
            conditions = tuple(_condition(prog, c, op) for c in op.classical_controls)
            body: list = []
            phase = prog.phase
            _read(prog, [op.without_classical_controls()], index, body)
            if prog.phase != phase:
                # A phase only on the branch taken: a diagonal on a qubit
                # of the operation keeps it exactly.
                z, prog.phase = prog.phase / phase, phase
                body.append(("u", (qubits[0], z, 0j, 0j, z)))
            out.append(("if", conditions, body))
            continue
        kind = type(gate)
        if (kind in _UNITARY or kind is cirq.ControlledGate
                and type(gate.sub_gate) in _UNITARY) and _gate(prog, gate, qubits, out):
            continue
        if isinstance(gate, cirq.MeasurementGate):
            if gate.confusion_map:
                raise UnsupportedOperation(f"{op!r}: a measurement with a confusion map is noise, "
                                           "which zentrova does not simulate")
            key = cirq.measurement_key_name(op)
            invert = tuple(bool(b) for b in gate.full_invert_mask())
            out.append(("measure", tuple(qubits), prog.slot(key, len(qubits)), invert))
            continue
        if isinstance(gate, cirq.ResetChannel):
            out.append(("reset", qubits[0]))
            continue
        if any(d != 2 for d in cirq.qid_shape(op)):
            raise UnsupportedOperation(f"{op!r}: zentrova simulates qubits only, not qudits")
        if not cirq.has_unitary(op):
            if isinstance(op, cirq.CircuitOperation) or cirq.is_measurement(op):
                decomposed = cirq.decompose_once(op, None)
                if decomposed is not None:
                    _read(prog, decomposed, index, out)
                    continue
            if _channel(op, qubits, out):
                prog.noisy = True
                continue
            raise UnsupportedOperation(
                f"zentrova cannot run {op!r}: it is neither unitary nor a measurement "
                "(noise channels are not simulated)")
        if _gate(prog, gate, qubits, out) or _matrix_op(op, qubits, out):
            continue
        decomposed = cirq.decompose_once(op, None)
        if decomposed is None:
            raise UnsupportedOperation(f"zentrova cannot run {op!r}: it acts on more than "
                                       f"{MAX_QUBITS} qubits and has no decomposition")
        _read(prog, decomposed, index, out)


def read(circuit: cirq.AbstractCircuit, qubits: list) -> Program:
    """The resolved circuit's operations on `qubits` (Cirq's order), or
    UnsupportedOperation naming the first operation zentrova cannot run."""
    n = len(qubits)
    if any(q.dimension != 2 for q in qubits):
        for op in circuit.all_operations():
            if any(d != 2 for d in cirq.qid_shape(op)):
                raise UnsupportedOperation(f"{op!r}: zentrova simulates qubits only, not qudits")
        raise UnsupportedOperation("zentrova simulates qubits only, not qudits")
    index = {q: n - 1 - k for k, q in enumerate(qubits)}
    prog = Program(n)
    _read(prog, circuit.all_operations(), index, prog.ops)
    return prog
