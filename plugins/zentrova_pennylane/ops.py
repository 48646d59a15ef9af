"""The operation table of the zentrova.qubit device: how each PennyLane operation becomes
zentrova_program operations, (name, args) tuples that one zentrova_program.run call applies.
Gates the register runs itself stay themselves; the other common gates go through `u` or `mcu`
with matrices written out here, so that fixed gates are exact (S is diag(1, i), not a product
that rounds); any other operation with a matrix on up to MAX_WIRES wires (its target wires, for
a controlled one) runs as that one matrix, or as a diagonal where it is diagonal, under its
controls of either value. Only larger operations, and those with no matrix, are left to
PennyLane's decompositions.

Every function takes the list to append to, the operation and the register's qubit for each of
the operation's wires (already mapped from PennyLane's order). A qubit list's first entry is
the operation's first wire, the most significant bit of its matrix's row index, as
zentrova_program's targets[0]."""

from itertools import repeat

import numpy as np
import zentrova_program
from _zentrova_common import FIXED as _COMMON, ONE, ZERO, expi, phase, rot, rx, ry, rz
from pennylane.ops import Controlled
from pennylane.ops.qubit.attributes import diagonal_in_z_basis

# The most wires one operation's matrix may act on (the engine's limit).
MAX_WIRES = zentrova_program.MAX_OPERATION_QUBITS
# Beyond this many wires an operation PennyLane can decompose is decomposed: a dense matrix on
# k wires costs 2**k products an amplitude, its decomposition a few a gate.
DENSE_WIRES = 4
# Named operations that are one matrix whatever their size: PennyLane's decompositions of them
# are long, and fail on some values.
ALWAYS_MATRIX = {"QubitUnitary", "BlockEncode", "SpecialUnitary"}

# Fixed one-qubit matrices by PennyLane name.
FIXED = {
    name: _COMMON[key]
    for name, key in [("PauliX", "x"), ("PauliY", "y"), ("PauliZ", "z"), ("Hadamard", "h"),
                      ("S", "s"), ("Adjoint(S)", "sdg"), ("T", "t"), ("Adjoint(T)", "tdg"),
                      ("SX", "sx"), ("Adjoint(SX)", "sxdg")]
}

# One-qubit gates with parameters: name -> matrix from the operation's parameters.
PARAMETRIC = {"RX": rx, "RY": ry, "RZ": rz, "PhaseShift": phase, "U1": phase, "Rot": rot}


def matrix_of(op):
    """The four entries of a one-qubit operation's matrix, exact for the gates named above."""
    name = op.name
    if name in FIXED:
        return FIXED[name]
    if name in PARAMETRIC:
        return PARAMETRIC[name](*(float(p) for p in op.data))
    m = op.matrix()
    return (complex(m[0, 0]), complex(m[0, 1]), complex(m[1, 0]), complex(m[1, 1]))


def _u(out, op, q):
    out.append(("u", (q[0], *matrix_of(op))))


def _under(out, controls, values, target, m):
    """A one-qubit matrix (four entries) under controls; values None means all read 1."""
    if values is None or all(values):
        out.append(("mcu", (list(controls), target, *m)))
    else:
        out.append(("matrix", ([target], m, list(controls), [int(v) for v in values])))


def _named_controlled(base_name):
    def apply(out, op, q):
        base = FIXED.get(base_name) or PARAMETRIC[base_name](*(float(p) for p in op.data))
        out.append(("mcu", (q[:-1], q[-1], *base)))

    return apply


def _multi_controlled_x(out, op, q):
    values = op.control_values
    if all(values):
        if len(q) == 2:
            out.append(("cnot", (q[0], q[1])))
            return
        if len(q) == 3:
            out.append(("ccnot", (q[0], q[1], q[2])))
            return
    _under(out, q[:-1], values, q[-1], FIXED["PauliX"])


def _projector(out, op, q):
    # Postselection deferred to the end leaves a projector on a basis state; `u` applies it
    # as the (non-unitary) matrix it is, and the read-out renormalises.
    for qubit, bit in zip(q, op.data[0]):
        out.append(("u", (qubit, *((ONE, ZERO, ZERO, ZERO) if int(bit) == 0
                                   else (ZERO, ZERO, ZERO, ONE)))))


def _global_phase(out, op, q):
    # e^(-i phi) on every amplitude; any qubit carries it.
    z = expi(-float(op.data[0]))
    out.append(("u", (0, z, ZERO, ZERO, z)))


def _one(name):
    return lambda out, op, q: out.append((name, (q[0],)))


def _rotation(name):
    return lambda out, op, q: out.append((name, (q[0], float(op.data[0]))))


APPLY = {
    "Identity": lambda out, op, q: None,
    "PauliX": _one("x"),
    "Hadamard": _one("h"),
    "RX": _rotation("rx"),
    "RY": _rotation("ry"),
    "RZ": _rotation("rz"),
    "CNOT": lambda out, op, q: out.append(("cnot", (q[0], q[1]))),
    "SWAP": lambda out, op, q: out.append(("swap", (q[0], q[1]))),
    "Toffoli": lambda out, op, q: out.append(("ccnot", (q[0], q[1], q[2]))),
    "CSWAP": lambda out, op, q: out.append(("csswap", (q[0], q[1], q[2]))),
    "MultiControlledX": _multi_controlled_x,
    "CZ": _named_controlled("PauliZ"),
    "CY": _named_controlled("PauliY"),
    "CH": _named_controlled("Hadamard"),
    "CRX": _named_controlled("RX"),
    "CRY": _named_controlled("RY"),
    "CRZ": _named_controlled("RZ"),
    "CRot": _named_controlled("Rot"),
    "ControlledPhaseShift": _named_controlled("PhaseShift"),
    "Projector": _projector,
    "GlobalPhase": _global_phase,
}
for _name in list(FIXED) + list(PARAMETRIC):
    APPLY.setdefault(_name, _u)


def _is_basis_projector(op):
    return len(op.data[0]) == len(op.wires)


def _as_matrix(op):
    """Whether an operation the table does not name runs as its matrix (or diagonal)."""
    if isinstance(op, Controlled):
        base = op.base
        return base.has_matrix and len(base.wires) <= MAX_WIRES
    k = len(op.wires)
    if not op.has_matrix or k > MAX_WIRES or k == 0:
        return False
    return (k <= DENSE_WIRES or op.name in ALWAYS_MATRIX or op.name in diagonal_in_z_basis
            or not op.has_decomposition)


_SUPPORTED = {}  # operation type -> whether it runs as a matrix, asked once per type and size


def supported(op):
    """Whether the device runs `op` without decomposing it."""
    name = op.name
    if name in APPLY:
        return name != "Projector" or _is_basis_projector(op)
    base = getattr(op, "base", None)
    key = (type(op), len(op.wires), type(base), base is not None and len(base.wires))
    known = _SUPPORTED.get(key)
    if known is None:
        known = _SUPPORTED[key] = _as_matrix(op)
    return known


def _is_diagonal(m):
    return np.count_nonzero(m) == np.count_nonzero(np.diagonal(m, axis1=-2, axis2=-1))


def _matrix_ops(out, targets, m, controls=(), values=None, diagonal=None):
    """m (2**k x 2**k, or the diagonal's 2**k entries when `diagonal`) on `targets` under
    controls, as a diagonal when nothing is off the diagonal."""
    controls = list(controls)
    values = [1] * len(controls) if values is None else [int(v) for v in values]
    if diagonal is None:
        m = np.asarray(m, dtype=np.complex128)
        if _is_diagonal(m):
            out.append(("diagonal", (list(targets), np.ascontiguousarray(np.diagonal(m)),
                                     controls, values)))
        else:
            out.append(("matrix", (list(targets), np.ascontiguousarray(m), controls, values)))
    else:
        out.append(("diagonal", (list(targets), np.ascontiguousarray(diagonal, dtype=np.complex128),
                                 controls, values)))


def _generic(out, op, q):
    if isinstance(op, Controlled):
        base = op.base
        nc = len(q) - len(base.wires)
        if len(base.wires) == 1:
            _under(out, q[:nc], op.control_values, q[nc], matrix_of(base))
        else:
            _matrix_ops(out, q[nc:], base.matrix(), q[:nc], op.control_values)
    elif len(q) == 1:
        _u(out, op, q)
    elif op.name in diagonal_in_z_basis:
        _matrix_ops(out, q, None, diagonal=op.eigvals())
    else:
        _matrix_ops(out, q, op.matrix())


def apply(out, op, qubits):
    """Appends one supported operation's program operations to `out`; `qubits` lists its
    wires' qubits."""
    fn = APPLY.get(op.name)
    if fn is not None:
        fn(out, op, qubits)
    else:
        _generic(out, op, qubits)


def broadcast_columns(op, q, size):
    """A broadcast operation (parameters of `size` sets) as columns of program operations, each
    a sequence of `size` of them, one per set; an operation without batched parameters as
    columns that repeat its own. Matrices are built for all the sets in one of PennyLane's
    vectorised calls; the module's rotations stay themselves."""
    if op.batch_size is None:
        ops = []
        apply(ops, op, q)
        return [repeat(o, size) for o in ops]
    name = op.name
    if name in ("RX", "RY", "RZ"):
        method = name.lower()
        return [[(method, (q[0], t)) for t in np.asarray(op.data[0], dtype=float).tolist()]]
    if name == "GlobalPhase":
        z = [expi(-t) for t in np.asarray(op.data[0], dtype=float).tolist()]
        return [[("u", (0, c, ZERO, ZERO, c)) for c in z]]
    controls, values = [], None
    base = op
    if isinstance(op, Controlled):
        base = op.base
        controls, values = q[: len(q) - len(base.wires)], op.control_values
    targets = q[len(controls):]
    column = []
    if base.name in diagonal_in_z_basis and base.batch_size is not None:
        entries = np.asarray(base.eigvals(), dtype=np.complex128).reshape(size, -1)
        for e in entries:
            _matrix_ops(column, targets, None, controls, values, diagonal=e)
        return [column]
    m = np.asarray(base.matrix(), dtype=np.complex128)
    m = m.reshape(size, *m.shape[-2:])
    diagonal = _is_diagonal(m)
    for mi in m:
        _matrix_ops(column, targets, None if diagonal else mi, controls, values,
                    diagonal=np.diagonal(mi) if diagonal else None)
    return [column]
