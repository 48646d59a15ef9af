"""Qiskit circuits into the plain operations that _worker.py runs.

A circuit is read once, before any work: every instruction becomes one of
zentrova's gates, a one-qubit matrix under controls, a measurement, a reset or
a condition on measured bits; an instruction that is none of these is replaced
by its definition, and one without a definition is refused, by name. Angles
that are still parameters stay as Qiskit expressions in the result (a template)
until bind() puts numbers in their place for one point of a parameter sweep.
One-qubit matrices are worked out here, as Qiskit defines its gates, as soon as
their angles are numbers: the worker gets plain `u` and `mcu` calls.
"""

from dataclasses import dataclass, field

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
from qiskit.exceptions import QiskitError

from _zentrova_common import (
    FIXED,
    Layout,
    check_finite,
    controlled_calls,
    cos_sin,
    expi,
    phase,
    rx,
    ry,
    rz,
    u3,
)

# Gates that are a method of QuantumRegister, by Qiskit name.
_DIRECT = {"x": "x", "h": "h", "rx": "rx", "ry": "ry", "rz": "rz", "cx": "cnot",
           "swap": "swap", "ccx": "ccnot", "cswap": "csswap"}
_SKIP = {"barrier", "delay", "id"}


def _r(theta: float, phi: float) -> tuple:
    """Rotation by theta about cos(phi) X + sin(phi) Y."""
    c, s = cos_sin(theta / 2)
    cp, sp = cos_sin(phi)
    return (complex(c), complex(-sp * s, -cp * s), complex(sp * s, -cp * s), complex(c))


def _cu(theta: float, phi: float, lam: float, gamma: float) -> tuple:
    g = expi(gamma)
    return tuple(g * v for v in u3(theta, phi, lam))


# One-qubit gates by Qiskit name: their matrix from their parameters.
_MATRIX = {name: (lambda m: lambda: m)(m) for name, m in FIXED.items()}
_MATRIX.update({"p": phase, "u1": phase, "rx": rx, "ry": ry, "rz": rz, "r": _r, "u": u3,
                "u3": u3, "U": u3, "cu": _cu})


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

    @property
    def final(self) -> bool:
        return self.gates is not None


def _angle(value, name: str):
    """A gate's angle as a float, or the expression while it has free parameters."""
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


def _matrix_op(op, qubits: list[int]):
    """The ("mat", controls, control values, target, kind, params) operation
    for a one-qubit gate under 0 or more controls, None if op is not one."""
    controls: list[int] = []
    values: list[int] = []
    base = op
    if isinstance(op, ControlledGate):
        base = op.base_gate
        if op.num_qubits != op.num_ctrl_qubits + 1 or base.num_qubits != 1:
            return None
        controls = qubits[:-1]
        values = [(op.ctrl_state >> i) & 1 for i in range(len(controls))]
    elif op.num_qubits != 1:
        return None
    name = base.name
    if op.name == "cu":
        kind, params = "cu", tuple(_angle(v, op.name) for v in op.params)
    elif name in _MATRIX:
        kind, params = name, tuple(_angle(v, name) for v in base.params)
    elif not any(isinstance(v, ParameterExpression) and v.parameters for v in base.params):
        try:
            m = base.to_matrix()
        except Exception:
            return None
        if m.shape != (2, 2):
            return None
        kind, params = "const", tuple(complex(v) for v in m.ravel())
        check_finite(params, f"gate '{name}'")
    else:
        return None
    return ("mat", tuple(controls), tuple(values), qubits[-1], kind, params)


def _resolved(op: tuple) -> list[tuple]:
    """A ("mat", ...) operation whose angles are numbers as plain `u`/`mcu`
    calls, x gates around controls that fire on 0."""
    _, controls, values, target, kind, params = op
    m = params if kind == "const" else _MATRIX[kind](*params)
    return [(method, *args) for method, args in controlled_calls(controls, values, target, m)]


def _read(circuit: QuantumCircuit, qmap: dict, cmap: dict, prog: Program, out: list) -> None:
    for inst in circuit.data:
        op = inst.operation
        qubits = [qmap[q] for q in inst.qubits]
        name = op.name
        if name in _SKIP:
            continue
        if name == "global_phase" and not inst.qubits:
            prog.global_phase = prog.global_phase + op.params[0]
            continue
        if name == "measure":
            out.append(("measure", qubits[0], cmap[inst.clbits[0]]))
            continue
        if name == "reset":
            out.append(("reset", qubits[0]))
            continue
        if isinstance(op, IfElseOp):
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
            out.append(("if", bits, value, bodies[0], bodies[1]))
            continue
        if getattr(op, "blocks", None):
            raise UnsupportedInstruction(
                f"zentrova cannot run the instruction '{name}': of the control flow "
                "operations only if_else is supported")
        if name in _DIRECT and isinstance(op, Gate) and not (
                isinstance(op, ControlledGate) and op.ctrl_state != 2**op.num_ctrl_qubits - 1):
            out.append((_DIRECT[name], *qubits, *(_angle(v, name) for v in op.params)))
            continue
        if isinstance(op, Gate):
            mat = _matrix_op(op, qubits)
            if mat is not None:
                out.append(mat)
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
            raise UnsupportedInstruction(
                f"zentrova cannot run the instruction '{name}': it is none of the gates "
                "zentrova runs and has no definition")
        prog.global_phase = prog.global_phase + definition.global_phase
        _read(definition, dict(zip(definition.qubits, qubits)),
              dict(zip(definition.clbits, (cmap[c] for c in inst.clbits))), prog, out)


def read(circuit: QuantumCircuit) -> Program:
    """The circuit's operations, or UnsupportedInstruction naming the first
    instruction zentrova cannot run."""
    prog = Program(circuit.num_qubits, circuit.num_clbits, global_phase=circuit.global_phase)
    qmap = {q: i for i, q in enumerate(circuit.qubits)}
    cmap = {c: i for i, c in enumerate(circuit.clbits)}
    _read(circuit, qmap, cmap, prog, prog.ops)
    prog.global_phase = _global_phase(prog.global_phase)
    prog.parameters = tuple(circuit.parameters)
    prog.ops = _bind(prog.ops, {})
    _finish(prog)
    _pack(prog)
    return prog


def _touched(op: tuple) -> tuple:
    kind = op[0]
    if kind == "mat":
        return (*op[1], op[3])
    if kind == "mcu":
        return (*op[1], op[2])
    if kind in ("rx", "ry", "rz", "u", "measure"):
        return op[1:2]
    return op[1:]


def _finish(prog: Program) -> None:
    """Drops resets of qubits nothing has touched yet (as state preparation
    begins with), then splits off the measurements at the end, if all are: a
    circuit is run once and sampled when no gate, reset or condition follows
    a measurement of a qubit it touches."""
    ops, touched = [], set()
    for i, op in enumerate(prog.ops):
        if op[0] == "if":
            ops.extend(prog.ops[i:])
            break
        if op[0] != "reset" or op[1] in touched:
            ops.append(op)
        touched.update(_touched(op))
    prog.ops = ops
    gates, measures, measured = [], [], set()
    for op in ops:
        kind = op[0]
        if kind == "measure":
            measures.append((op[1], op[2]))
            measured.add(op[1])
        elif kind in ("reset", "if"):
            return
        else:
            if measured.intersection(_touched(op)):
                return
            gates.append(op)
    prog.gates, prog.measures = gates, measures


def _all_touched(ops: list) -> set:
    used: set = set()
    for op in ops:
        if op[0] == "if":
            used |= _all_touched(op[3]) | _all_touched(op[4])
        else:
            used.update(_touched(op))
    return used


def _renumber(ops: list, q: dict) -> list:
    out = []
    for op in ops:
        kind = op[0]
        if kind == "mat":
            out.append((kind, tuple(q[c] for c in op[1]), op[2], q[op[3]], *op[4:]))
        elif kind == "mcu":
            out.append((kind, tuple(q[c] for c in op[1]), q[op[2]], *op[3:]))
        elif kind in ("rx", "ry", "rz", "u", "measure"):
            out.append((kind, q[op[1]], *op[2:]))
        elif kind == "if":
            out.append((*op[:3], _renumber(op[3], q), _renumber(op[4], q)))
        else:
            out.append((kind, *(q[v] for v in op[1:])))
    return out


def _pack(prog: Program) -> None:
    """Sets prog.layout to the qubits the circuit acts on (an end measurement
    alone does not count: an idle qubit reads 0) and renumbers prog's
    operations to it."""
    used = _all_touched(prog.gates if prog.final else prog.ops)
    prog.layout = layout = Layout(prog.num_qubits, used)
    if layout.is_identity:
        return
    q = layout.dense
    if prog.final:
        prog.gates = _renumber(prog.gates, q)
        prog.measures = [(q.get(qubit), clbit) for qubit, clbit in prog.measures]
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
    one-qubit matrix worked out; a non-finite value is refused, naming its
    gate."""
    return _bind(ops, values) if values else ops


def _bind(ops: list, values: dict) -> list:
    out = []
    for op in ops:
        kind = op[0]
        if kind == "mat":
            params = tuple(_value(v, values, op[4]) for v in op[5])
            if any(isinstance(v, ParameterExpression) for v in params):
                out.append((*op[:5], params))
            else:
                out.extend(_resolved((*op[:5], params)))
        elif kind in ("rx", "ry", "rz"):
            out.append((kind, op[1], _value(op[2], values, kind)))
        elif kind == "if":
            out.append((*op[:3], _bind(op[3], values), _bind(op[4], values)))
        else:
            out.append(op)
    return out
