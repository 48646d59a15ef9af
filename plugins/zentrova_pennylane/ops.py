"""The operation table of the zentrova.qubit device: how each PennyLane operation becomes
calls of a QuantumRegister's methods. Gates the register runs itself go straight to it; the
other common gates go through `u` or `mcu` with matrices written out here, so that fixed gates
are exact (S is diag(1, i), not a product that rounds); any other one-qubit gate, controlled or
not, takes the matrix PennyLane computes. Everything else is left to PennyLane's decompositions.

Every function takes the register, the operation and the register's qubit for each of the
operation's wires (already mapped from PennyLane's order)."""

import math

from _zentrova_angles import cos_sin, expi
from pennylane.ops import Controlled

ONE = 1 + 0j
ZERO = 0j
K = math.sqrt(0.5)  # 0.7071067811865476, the module's own Hadamard entry

# Fixed one-qubit matrices, row by row.
FIXED = {
    "PauliX": (ZERO, ONE, ONE, ZERO),
    "PauliY": (ZERO, -1j, 1j, ZERO),
    "PauliZ": (ONE, ZERO, ZERO, -ONE),
    "Hadamard": (complex(K, 0), complex(K, 0), complex(K, 0), complex(-K, 0)),
    "S": (ONE, ZERO, ZERO, 1j),
    "Adjoint(S)": (ONE, ZERO, ZERO, -1j),
    # e^(±iπ/4) rounded part by part; cmath.exp would be one unit off in the imaginary part.
    "T": (ONE, ZERO, ZERO, complex(K, K)),
    "Adjoint(T)": (ONE, ZERO, ZERO, complex(K, -K)),
    "SX": (0.5 + 0.5j, 0.5 - 0.5j, 0.5 - 0.5j, 0.5 + 0.5j),
    "Adjoint(SX)": (0.5 - 0.5j, 0.5 + 0.5j, 0.5 + 0.5j, 0.5 - 0.5j),
}


# Sines and cosines from the engine, so that these matrices have the same bits on every
# machine, as the register's own rotations do.
_phase = expi


def _rx(theta):
    c, s = cos_sin(theta / 2)
    return (complex(c, 0), complex(0, -s), complex(0, -s), complex(c, 0))


def _ry(theta):
    c, s = cos_sin(theta / 2)
    return (complex(c, 0), complex(-s, 0), complex(s, 0), complex(c, 0))


def _rz(theta):
    c, s = cos_sin(theta / 2)
    return (complex(c, -s), ZERO, ZERO, complex(c, s))


def _rot(phi, theta, omega):
    # RZ(omega) RY(theta) RZ(phi) in one matrix: one pass over the state instead of three.
    c, s = cos_sin(theta / 2)
    return (
        _phase(-(phi + omega) / 2) * c,
        -_phase((phi - omega) / 2) * s,
        _phase(-(phi - omega) / 2) * s,
        _phase((phi + omega) / 2) * c,
    )


# One-qubit gates with parameters: name -> matrix from the operation's parameters.
PARAMETRIC = {
    "RX": _rx,
    "RY": _ry,
    "RZ": _rz,
    "PhaseShift": lambda phi: (ONE, ZERO, ZERO, _phase(phi)),
    "U1": lambda phi: (ONE, ZERO, ZERO, _phase(phi)),
    "Rot": _rot,
}


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
    controls = q[:-1]
    low = [c for c, v in zip(controls, op.control_values) if not v]
    for c in low:
        reg.x(c)
    reg.mcu(controls, q[-1], *base)
    for c in low:
        reg.x(c)


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
    z = _phase(-float(op.data[0]))
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
