"""Qiskit circuits into the plain operations that _worker.py runs.

A circuit is read once, before any work: every instruction becomes one of
zentrova_program's operations, (name, args) as zentrova_program.run takes them,
a measurement, a reset or a condition on measured bits. zentrova's own gates
stay its gates (x, h, rx, ry, rz, cnot, swap, ccnot, csswap, u and mcu for
one-qubit matrices under controls); a gate that is diagonal (p, s, t, cz, cp,
crz, rzz, ccz, mcphase...) is a diagonal under its controls, which touches only
the amplitudes it changes; any other unitary Qiskit can give a matrix of (its
matrix, or Operator's) on up to MAX_QUBITS qubits, controls of a controlled
gate apart and of either value, is one dense matrix. Only a larger one is
replaced by its definition; one with neither is refused, by name. Angles that
are still parameters stay as Qiskit expressions in a ("bind", ...) template
until bind() puts numbers in their place for one point of a parameter sweep.
Matrices with angles are worked out here, as Qiskit defines its gates, from
the engine's correctly rounded sines where zentrova builds them itself.

Qiskit reads a matrix little-endian (its first qubit the least significant bit
of a row index), zentrova_program big-endian in its targets: a matrix's
targets are its qubits reversed.
"""

import math
from dataclasses import dataclass, field

import numpy as np
import zentrova_program
from qiskit.circuit import (
    AnnotatedOperation,
    Clbit,
    ClassicalRegister,
    ControlledGate,
    Gate,
    IfElseOp,
    Parameter,
    ParameterExpression,
    QuantumCircuit,
)
from qiskit.circuit.annotated_operation import ControlModifier
from qiskit.circuit.library import CUGate
from qiskit.circuit.library.standard_gates import get_standard_gate_name_mapping
from qiskit.exceptions import QiskitError
from qiskit.quantum_info import Operator

from _zentrova_common import (
    FIXED,
    ZERO,
    Layout,
    check_finite,
    cos_sin,
    expi,
    phase,
    rx,
    ry,
    rz,
    u3,
)

# The most qubits one matrix or diagonal may act on, controls apart.
MAX_QUBITS = zentrova_program.MAX_OPERATION_QUBITS
_SKIP = {"barrier", "delay", "id"}


def _r(theta: float, phi: float) -> tuple:
    """Rotation by theta about cos(phi) X + sin(phi) Y."""
    c, s = cos_sin(theta / 2)
    cp, sp = cos_sin(phi)
    return (complex(c), complex(-sp * s, -cp * s), complex(sp * s, -cp * s), complex(c))


def _cu(theta: float, phi: float, lam: float, gamma: float) -> tuple:
    g = expi(gamma)
    return tuple(g * v for v in u3(theta, phi, lam))


def _u2(phi: float, lam: float) -> tuple:
    return u3(math.pi / 2, phi, lam)


# One-qubit gates by Qiskit name: their matrix from their parameters.
_MATRIX = {name: (lambda m: lambda: m)(m) for name, m in FIXED.items()}
_MATRIX.update({"p": phase, "u1": phase, "rx": rx, "ry": ry, "rz": rz, "r": _r, "u": u3,
                "u3": u3, "U": u3, "u2": _u2, "cu": _cu})


def _one(out: list, m: tuple, target: int, controls=(), values=()) -> None:
    """A one-qubit matrix under controls (values 0 or 1): a diagonal when it
    is one (half the state untouched, or the part its controls select), else
    u, mcu under controls on 1, a one-target matrix under any others."""
    if m[1] == 0 and m[2] == 0:
        if controls:
            out.append(("diagonal", ((target,), (m[0], m[3]), tuple(controls), tuple(values))))
        else:
            out.append(("diagonal", ((target,), (m[0], m[3]))))
    elif not controls:
        out.append(("u", (target, *m)))
    elif all(values):
        out.append(("mcu", (list(controls), target, *m)))
    else:
        out.append(("matrix", ((target,), m, tuple(controls), tuple(values))))


def _classify(m: np.ndarray, name: str) -> tuple:
    """("diagonal", entries) when nothing is off a matrix's diagonal, else
    ("matrix", entries row by row); a NaN or infinite entry is refused."""
    m = np.asarray(m, dtype=np.complex128)
    if not np.isfinite(m).all():
        check_finite([m], f"gate '{name}'")
    d = np.diagonal(m)
    if np.count_nonzero(m) == np.count_nonzero(d):
        return "diagonal", d.copy()
    return "matrix", m.ravel()


def _append(out: list, kind: str, entries, qubits, controls=(), values=()) -> None:
    """An operation of a matrix or diagonal in Qiskit's order on qubits."""
    targets = tuple(reversed(qubits))
    if controls:
        out.append((kind, (targets, entries, tuple(controls), tuple(values))))
    else:
        out.append((kind, (targets, entries)))


def _dense(out: list, m: np.ndarray, qubits, controls=(), values=(), name: str = "") -> None:
    """A matrix in Qiskit's order on qubits (at most MAX_QUBITS), under
    controls: a diagonal when nothing is off its diagonal."""
    _append(out, *_classify(m, name), qubits, controls, values)


def _rzz(p: list, q: list, out: list) -> None:
    c, s = cos_sin(p[0] / 2)
    a, b = complex(c, -s), complex(c, s)
    out.append(("diagonal", ((q[1], q[0]), (a, b, b, a))))


def _rxx_ryy(sign: float):
    """exp(-i theta/2 P P) for P = X (sign 1) or Y (sign -1): cos on the
    diagonal, -i sin on the anti-diagonal, its corners times sign (a matrix
    the same whichever qubit comes first)."""
    def append(p: list, q: list, out: list) -> None:
        c, s = cos_sin(p[0] / 2)
        c, ms, corner = complex(c), complex(0.0, -s), complex(0.0, -s * sign)
        z = ZERO
        out.append(("matrix", ((q[1], q[0]), (c, z, z, corner, z, c, ms, z,
                                              z, ms, c, z, corner, z, z, c))))
    return append


_GATES = get_standard_gate_name_mapping()
_CONSTANT: dict = {}  # (kind, entries) of the standard gates without parameters


def _standard_matrix(name: str):
    """fn(angles, qubits, out) for a standard gate Qiskit gives the matrix of."""
    def append(p: list, q: list, out: list) -> None:
        if p:
            _dense(out, type(_GATES[name])(*p).to_matrix(), q, name=name)
            return
        kind_entries = _CONSTANT.get(name)
        if kind_entries is None:
            kind_entries = _CONSTANT[name] = _classify(_GATES[name].to_matrix(), name)
        _append(out, *kind_entries, q)
    return append


def _fixed(m):
    return lambda p, q, out: _one(out, m, q[0])


def _angles(fn):
    return lambda p, q, out: _one(out, fn(*p), q[0])


def _controlled(base: str, k: int = 1):
    fn = _MATRIX[base]
    ones = (1,) * k
    return lambda p, q, out: _one(out, fn(*p), q[k], q[:k], ones)


# Qiskit's standard gates by name: fn(angles, qubits, out) appends their
# operations. Standard gates have their controls on 1 (others are not).
_STANDARD = {
    "x": lambda p, q, out: out.append(("x", (q[0],))),
    "h": lambda p, q, out: out.append(("h", (q[0],))),
    "rx": lambda p, q, out: out.append(("rx", (q[0], p[0]))),
    "ry": lambda p, q, out: out.append(("ry", (q[0], p[0]))),
    "rz": lambda p, q, out: out.append(("rz", (q[0], p[0]))),
    "cx": lambda p, q, out: out.append(("cnot", (q[0], q[1]))),
    "swap": lambda p, q, out: out.append(("swap", (q[0], q[1]))),
    "ccx": lambda p, q, out: out.append(("ccnot", (q[0], q[1], q[2]))),
    "cswap": lambda p, q, out: out.append(("csswap", (q[0], q[1], q[2]))),
    "cu": lambda p, q, out: _one(out, _cu(*p), q[1], q[:1], (1,)),
    "ccz": _controlled("z", 2),
    "c3sx": _controlled("sx", 3),
    "rzz": _rzz,
    "rxx": _rxx_ryy(1.0),
    "ryy": _rxx_ryy(-1.0),
}
for _name in ("y", "z", "s", "sdg", "t", "tdg", "sx", "sxdg"):
    _STANDARD[_name] = _fixed(FIXED[_name])
for _name in ("p", "u1", "u", "u2", "u3", "r"):
    _STANDARD[_name] = _angles(_MATRIX[_name])
for _name, _base in (("cy", "y"), ("ch", "h"), ("cz", "z"), ("cs", "s"), ("csdg", "sdg"),
                     ("csx", "sx"), ("cp", "p"), ("cu1", "u1"), ("crx", "rx"), ("cry", "ry"),
                     ("crz", "rz"), ("cu3", "u3")):
    _STANDARD[_name] = _controlled(_base)
for _name in ("ecr", "iswap", "dcx", "rccx", "rcccx", "rzx", "xx_plus_yy", "xx_minus_yy"):
    _STANDARD[_name] = _standard_matrix(_name)
# The gate a standard controlled gate's angles belong to, for naming a bad one.
_BASE_NAME = {"crx": "rx", "cry": "ry", "crz": "rz", "cp": "p", "cu1": "u1", "cu3": "u3"}


class ZentrovaError(QiskitError):
    """A circuit zentrova refused (too large for the memory available, a result too large
    to give, or a fatal refusal of the module), with the reason in the message."""

    def __str__(self) -> str:
        return self.message  # QiskitError's own quotes it


class UnsupportedInstruction(ZentrovaError, ValueError):
    """An instruction zentrova cannot run, named in the message."""


@dataclass
class Program:
    """One circuit, read: qubit and clbit counts, and what to run."""
    num_qubits: int
    num_clbits: int
    ops: list = field(default_factory=list)
    global_phase: object = 0.0
    # Set by finish(): end measurements as (qubit, clbit) and the gates before
    # them, or None for a circuit that needs running shot by shot.
    gates: list | None = None
    measures: list | None = None
    parameters: tuple = ()
    # The qubits the circuit acts on, packed into a register of their own (of
    # layout.width qubits): ops, gates and measures are in its numbering, an
    # end measurement of an idle qubit has None for its qubit.
    layout: Layout | None = None
    # Whether some operation is a ("bind", ...) template, for bind() to fill.
    templates: bool = False
    # While reading: the qubits gates act on, those measured or reset, and
    # whether a condition has come yet.
    used: set = field(default_factory=set)
    seen: set = field(default_factory=set)
    branched: bool = False
    # A noise model's readout error of a qubit (P(0 | 0), P(1 | 1)), or None;
    # and whether the circuit, read, has channels or readout errors.
    readout: object = None
    noisy: bool = False

    @property
    def final(self) -> bool:
        return self.gates is not None


def _angle(value, name: str):
    """A gate's angle as a float, or the expression while it has free parameters."""
    if type(value) is float and value - value == 0.0:  # finite: the common case first
        return value
    if isinstance(value, ParameterExpression):
        if value.parameters:
            return value
        value = value.numeric()
    if isinstance(value, complex):
        if value.imag:
            raise UnsupportedInstruction(f"complex angle {value}")
        value = value.real
    value = float(value)
    check_finite([value], f"gate '{name}'")
    return value


def _global_phase(value):
    """The circuit's global phase as a float, or the expression while it has free
    parameters; a NaN or infinite one would make every amplitude NaN."""
    if isinstance(value, ParameterExpression):
        if value.parameters:
            return value
        value = value.numeric()
    check_finite([value], "the circuit's global phase")
    value = complex(value)
    if value.imag:
        raise UnsupportedInstruction(f"complex global phase {value}")
    return value.real


def _condition(op, clbits: dict) -> tuple[tuple[int, ...], int]:
    cond = op.condition
    if isinstance(cond, tuple):
        target, value = cond
        if isinstance(target, Clbit):
            return (clbits[target],), int(value)
        if isinstance(target, ClassicalRegister):
            return tuple(clbits[b] for b in target), int(value)
    raise UnsupportedInstruction(
        f"'{op.name}' with the condition {cond!r}: only a clbit or a classical register "
        "compared with a value is supported")


def _values(state: int, k: int) -> tuple:
    return tuple((state >> i) & 1 for i in range(k))


def _matrix_of(gate):
    """A gate's matrix in Qiskit's order, or None if Qiskit knows none."""
    try:
        return gate.to_matrix()
    except Exception:
        pass
    try:
        return Operator(gate).data
    except Exception:
        return None


def _free(params) -> bool:
    return any(isinstance(v, ParameterExpression) and v.parameters for v in params)


def _controls(op, qubits: list[int]):
    """(controls, values, base operation, its qubits) of a controlled gate, or
    of an annotated operation whose one modifier is a control; None else."""
    if isinstance(op, ControlledGate):
        k = op.num_ctrl_qubits
        return qubits[:k], _values(op.ctrl_state, k), op.base_gate, qubits[k:]
    if isinstance(op, AnnotatedOperation) and len(op.modifiers) == 1 and isinstance(
            op.modifiers[0], ControlModifier):
        k, state = op.modifiers[0].num_ctrl_qubits, op.modifiers[0].ctrl_state
        return qubits[:k], _values(state, k), op.base_op, qubits[k:]
    return None


def _unitary(op, qubits: list[int], out: list) -> bool:
    """Appends a unitary operation without free parameters: zentrova's
    gate, a one-qubit matrix under controls, one matrix or diagonal on up to
    MAX_QUBITS qubits under controls; False when it is larger than that or
    has no matrix (for its definition to be read instead)."""
    controls, values, base, targets = (), (), op, qubits
    split = _controls(op, qubits)
    if split is not None:
        controls, values, base, targets = split
        if isinstance(op, CUGate):  # its base, U, leaves out the phase gamma
            _one(out, _cu(*(_angle(v, "cu") for v in op.params)), targets[0], controls, values)
            return True
        if base.name == "x" and all(values) and len(controls) in (1, 2) and isinstance(
                op, ControlledGate):
            out.append(("cnot" if len(controls) == 1 else "ccnot", (*controls, targets[0])))
            return True
    if len(targets) > MAX_QUBITS:
        return False
    name = base.name
    if len(targets) == 1 and name in _MATRIX and isinstance(base, Gate):
        m = _MATRIX[name](*(_angle(v, name) for v in base.params))
        check_finite(m, f"gate '{name}'")
        _one(out, m, targets[0], controls, values)
        return True
    m = _matrix_of(base)
    if m is None:
        return False
    if m.shape == (2, 2):
        m = tuple(complex(v) for v in m.ravel())
        check_finite(m, f"gate '{name}'")
        _one(out, m, targets[0], controls, values)
    else:
        _dense(out, m, targets, controls, values, name)
    return True


def _template_controlled(op, qubits: list[int]):
    """The template of a controlled one-qubit gate of _MATRIX's whose angles
    are parameters: ("bind", (fn, params, qubits)); None for any other."""
    split = _controls(op, qubits)
    if split is None or not isinstance(op, ControlledGate) or isinstance(op, CUGate):
        return None
    controls, values, base, targets = split
    if len(targets) != 1 or base.name not in _MATRIX:
        return None
    fn, k = _MATRIX[base.name], len(controls)

    def resolve(p, q, out):
        _one(out, fn(*p), q[k], q[:k], values)
    return ("bind", (resolve, tuple(_angle(v, base.name) for v in base.params), list(qubits),
                     base.name))


def _read(circuit: QuantumCircuit, qmap: dict, cmap: dict, prog: Program, out: list) -> None:
    used, seen = prog.used, prog.seen
    for inst in circuit.data:
        name = inst.name
        qubits = [qmap[q] for q in inst.qubits]
        fn = _STANDARD.get(name)
        if fn is not None and inst.is_standard_gate():
            used.update(qubits)
            params = inst.params
            if params:
                label = _BASE_NAME.get(name, name)
                params = [_angle(v, label) for v in params]
                if any(type(v) is not float for v in params):
                    out.append(("bind", (fn, tuple(params), qubits, label)))
                    prog.templates = True
                    continue
            fn(params, qubits, out)
            continue
        if name in _SKIP:
            continue
        if name == "global_phase" and not qubits:
            prog.global_phase = prog.global_phase + inst.params[0]
            continue
        if name == "zentrova_channel":  # a noise model's error, placed by noise.noisy_circuit
            probs, branches, kraus, _ = inst.operation.channel
            out.append(("channel", (tuple(reversed(qubits)), probs, branches, kraus)))
            used.update(qubits)
            prog.noisy = True
            continue
        if name == "measure":
            ro = prog.readout(qubits[0]) if prog.readout is not None else None
            if ro is None:
                out.append(("measure", (qubits[0], cmap[inst.clbits[0]])))
            else:
                out.append(("measure", (qubits[0], cmap[inst.clbits[0]], ro)))
                prog.noisy = True
            seen.add(qubits[0])
            continue
        if name == "reset":
            # A reset of a qubit nothing has touched yet (state preparation
            # begins with them) is dropped, up to the first condition.
            if prog.branched or qubits[0] in used or qubits[0] in seen or out is not prog.ops:
                out.append(("reset", (qubits[0],)))
            seen.add(qubits[0])
            continue
        op = inst.operation
        if isinstance(op, IfElseOp):
            prog.branched = True
            bits, value = _condition(op, cmap)
            bodies = []
            for block in op.blocks:
                body: list = []
                if block is not None:
                    inner_q = dict(zip(block.qubits, qubits))
                    inner_c = dict(zip(block.clbits, (cmap[c] for c in inst.clbits)))
                    inner_c.update((c, i) for c, i in cmap.items() if c not in inner_c)
                    _read(block, inner_q, inner_c, prog, body)
                bodies.append(body)
            if len(bodies) == 1:
                bodies.append([])
            out.append(("if", (bits, value, bodies[0], bodies[1])))
            continue
        if getattr(op, "blocks", None):
            raise UnsupportedInstruction(
                f"zentrova cannot run the instruction '{name}': of the control flow "
                "operations only if_else is supported")
        if isinstance(op, (Gate, AnnotatedOperation)):
            if not _free(getattr(op, "params", ())):
                if _unitary(op, qubits, out):
                    used.update(qubits)
                    continue
            else:
                template = _template_controlled(op, qubits)
                if template is not None:
                    out.append(template)
                    used.update(qubits)
                    prog.templates = True
                    continue
        try:
            definition = op.definition
        except Exception:
            definition = None
        if definition is None and isinstance(op, AnnotatedOperation):
            # Controls, inverses and powers kept as annotations: Qiskit's own
            # synthesis spells them out in ordinary gates.
            wrapper = QuantumCircuit(op.num_qubits, op.num_clbits)
            wrapper.append(op, wrapper.qubits, wrapper.clbits)
            definition = wrapper.decompose()
            if any(isinstance(i.operation, AnnotatedOperation) for i in definition.data):
                definition = None
        if definition is None:
            if op.num_qubits > MAX_QUBITS and isinstance(op, Gate):
                raise UnsupportedInstruction(
                    f"zentrova cannot run the instruction '{name}': it acts on "
                    f"{op.num_qubits} qubits, more than the {MAX_QUBITS} zentrova runs as one "
                    "matrix, and has no definition")
            raise UnsupportedInstruction(
                f"zentrova cannot run the instruction '{name}': it is none of the gates "
                "zentrova runs and has no definition")
        prog.global_phase = prog.global_phase + definition.global_phase
        _read(definition, dict(zip(definition.qubits, qubits)),
              dict(zip(definition.clbits, (cmap[c] for c in inst.clbits))), prog, out)


def read(circuit: QuantumCircuit, noise=None) -> Program:
    """The circuit's operations, or UnsupportedInstruction naming the first
    instruction zentrova cannot run. noise: a noise.NoiseTable, its channels
    placed in the circuit and its readout errors on the measurements."""
    if noise is not None:
        from .noise import noisy_circuit
        circuit = noisy_circuit(circuit, noise)
    prog = Program(circuit.num_qubits, circuit.num_clbits, global_phase=circuit.global_phase)
    if noise is not None and (noise.readout or noise.readout_default):
        prog.readout = noise.readout_of
    qmap = {q: i for i, q in enumerate(circuit.qubits)}
    cmap = {c: i for i, c in enumerate(circuit.clbits)}
    _read(circuit, qmap, cmap, prog, prog.ops)
    prog.global_phase = _global_phase(prog.global_phase)
    prog.parameters = tuple(circuit.parameters)
    if prog.templates and not prog.parameters:
        prog.ops = _bind(prog.ops, {})
        prog.templates = False
    _finish(prog)
    _pack(prog)
    return prog


_ONE_QUBIT = {"x", "h", "rx", "ry", "rz", "u", "measure", "reset"}


def _touched(op: tuple) -> tuple:
    """The qubits an operation (not a condition) acts on."""
    name, a = op
    if name in _ONE_QUBIT:
        return a[:1]
    if name == "mcu":
        return (*a[0], a[1])
    if name in ("diagonal", "matrix"):
        return (*a[0], *a[2]) if len(a) == 4 else tuple(a[0])
    if name == "bind":
        return tuple(a[2])
    if name == "channel":
        return tuple(a[0])
    return a


def _finish(prog: Program) -> None:
    """Splits off the measurements at the end, if all are: a circuit is run
    once and sampled when no gate, reset or condition follows a measurement of
    a qubit it touches."""
    gates, measures, measured = [], [], set()
    for op in prog.ops:
        name = op[0]
        if name == "measure":
            measures.append(op[1])
            measured.add(op[1][0])
        elif name in ("reset", "if"):
            return
        else:
            if measured and measured.intersection(_touched(op)):
                return
            gates.append(op)
    prog.gates, prog.measures = gates, measures


def _all_touched(ops: list) -> set:
    used: set = set()
    for op in ops:
        if op[0] == "if":
            used |= _all_touched(op[1][2]) | _all_touched(op[1][3])
        else:
            used.update(_touched(op))
    return used


def _renumber(ops: list, q: dict) -> list:
    out = []
    for op in ops:
        name, a = op
        if name in _ONE_QUBIT:
            out.append((name, (q[a[0]], *a[1:])))
        elif name == "mcu":
            out.append((name, ([q[c] for c in a[0]], q[a[1]], *a[2:])))
        elif name in ("diagonal", "matrix"):
            targets = tuple(q[t] for t in a[0])
            rest = (tuple(q[c] for c in a[2]), a[3]) if len(a) == 4 else ()
            out.append((name, (targets, a[1], *rest)))
        elif name == "bind":
            out.append((name, (a[0], a[1], [q[v] for v in a[2]], a[3])))
        elif name == "channel":
            out.append((name, (tuple(q[t] for t in a[0]), *a[1:])))
        elif name == "if":
            out.append((name, (*a[:2], _renumber(a[2], q), _renumber(a[3], q))))
        else:
            out.append((name, tuple(q[v] for v in a)))
    return out


def _pack(prog: Program) -> None:
    """Sets prog.layout to the qubits the circuit acts on (an end measurement
    alone does not count: an idle qubit reads 0) and renumbers prog's
    operations to it."""
    # Every gate of a final circuit is in prog.gates: the qubits read are theirs.
    used = prog.used if prog.final else _all_touched(prog.ops)
    prog.layout = layout = Layout(prog.num_qubits, used)
    if layout.is_identity:
        return
    q = layout.dense
    if prog.final:
        prog.gates = _renumber(prog.gates, q)
        prog.measures = [(q.get(m[0]), *m[1:]) for m in prog.measures]
    else:
        prog.ops = _renumber(prog.ops, q)


def _value(v, values: dict, name: str):
    if isinstance(v, ParameterExpression) and v.parameters and values:
        if isinstance(v, Parameter):
            return _angle(values[v], name)
        return _angle(v.bind({p: values[p] for p in v.parameters}), name)
    return v


def bind(ops: list, values: dict) -> list:
    """ops with every parameter replaced by its value from values, each
    template worked out into its operations; a non-finite value is refused,
    naming its gate."""
    return _bind(ops, values) if values else ops


def _bind(ops: list, values: dict) -> list:
    out: list = []
    for op in ops:
        name = op[0]
        if name == "bind":
            fn, params, qubits, label = op[1]
            params = [_value(v, values, label) for v in params]
            if any(isinstance(v, ParameterExpression) for v in params):
                out.append(op)
            else:
                fn(params, qubits, out)
        elif name == "if":
            a = op[1]
            out.append((name, (a[0], a[1], _bind(a[2], values), _bind(a[3], values))))
        else:
            out.append(op)
    return out
