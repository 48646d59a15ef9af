"""The operation table of the zentrova.qubit device: how each PennyLane operation becomes
calls of a QuantumRegister's methods. Gates the register runs itself go straight to it; the
other common gates go through `u` or `mcu` with matrices written out here, so that fixed gates
are exact (S is diag(1, i), not a product that rounds); any other one-qubit gate, controlled or
not, takes the matrix PennyLane computes. Everything else is left to PennyLane's decompositions.

Every function takes the register, the operation and the register's qubit for each of the
operation's wires (already mapped from PennyLane's order)."""

from _zentrova_common import FIXED as _COMMON, ONE, ZERO, controlled_calls, expi, phase, rot, rx, ry, rz
from pennylane.ops import Controlled

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


def _u(reg, op, q):
    reg.u(q[0], *matrix_of(op))


def _controlled(reg, op, q, base):
    """A one-qubit `base` under the operation's controls, the last wire being the target.
    A control on 0 is a control on 1 between two X gates."""
    for method, args in controlled_calls(q[:-1], op.control_values, q[-1], base):
        getattr(reg, method)(*args)


def _named_controlled(base_name):
    def apply(reg, op, q):
        base = FIXED.get(base_name) or PARAMETRIC[base_name](*(float(p) for p in op.data))
        reg.mcu(q[:-1], q[-1], *base)

    return apply


def _multi_controlled_x(reg, op, q):
    if all(op.control_values):
        if len(q) == 2:
            reg.cnot(q[0], q[1])
        elif len(q) == 3:
            reg.ccnot(q[0], q[1], q[2])
        else:
            reg.mcu(q[:-1], q[-1], *FIXED["PauliX"])
    else:
        _controlled(reg, op, q, FIXED["PauliX"])


def _projector(reg, op, q):
    # Postselection deferred to the end leaves a projector on a basis state; `u` applies it
    # as the (non-unitary) matrix it is, and the read-out renormalises.
    for qubit, bit in zip(q, op.data[0]):
        reg.u(qubit, *((ONE, ZERO, ZERO, ZERO) if int(bit) == 0 else (ZERO, ZERO, ZERO, ONE)))


def _global_phase(reg, op, q):
    # e^(-i phi) on every amplitude; any qubit carries it.
    z = expi(-float(op.data[0]))
    reg.u(0, z, ZERO, ZERO, z)


APPLY = {
    "Identity": lambda reg, op, q: None,
    "PauliX": lambda reg, op, q: reg.x(q[0]),
    "Hadamard": lambda reg, op, q: reg.h(q[0]),
    "RX": lambda reg, op, q: reg.rx(q[0], float(op.data[0])),
    "RY": lambda reg, op, q: reg.ry(q[0], float(op.data[0])),
    "RZ": lambda reg, op, q: reg.rz(q[0], float(op.data[0])),
    "CNOT": lambda reg, op, q: reg.cnot(q[0], q[1]),
    "SWAP": lambda reg, op, q: reg.swap(q[0], q[1]),
    "Toffoli": lambda reg, op, q: reg.ccnot(q[0], q[1], q[2]),
    "CSWAP": lambda reg, op, q: reg.csswap(q[0], q[1], q[2]),
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


def supported(op):
    """Whether the device runs `op` without decomposing it."""
    name = op.name
    if name in APPLY:
        return name != "Projector" or _is_basis_projector(op)
    if getattr(op, "batch_size", None) is not None:
        return False
    if isinstance(op, Controlled):
        return len(op.base.wires) == 1 and op.base.has_matrix
    return len(op.wires) == 1 and op.has_matrix


def apply(reg, op, qubits):
    """Runs one supported operation on the register; `qubits` lists its wires' qubits."""
    fn = APPLY.get(op.name)
    if fn is not None:
        fn(reg, op, qubits)
    elif isinstance(op, Controlled):
        _controlled(reg, op, qubits, matrix_of(op.base))
    else:
        _u(reg, op, qubits)
