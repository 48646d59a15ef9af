"""A broadcast circuit on few wires run as one register for many parameter sets: the set's
index is held in extra qubits above the circuit's (set j's state is row j of the amplitudes
reshaped to (sets, 2**n)). A gate without batched parameters acts on every set at once; a
batched rotation becomes fixed gates around a diagonal over the index qubits and its target
(RX = H RZ H, RY = S H RZ H S^dagger), whose 2**(b+k) entries give each set its own angle;
any batched diagonal gate (RZ, PhaseShift, IsingZZ, MultiRZ, ...) is such a diagonal itself,
under its controls. Thousands of small circuits become a few dozen passes over one register
that fits in cache, with no Python work per set.

The results are those of running each set on its own to within rounding (the basis changes
round, and the diagonals' sines are numpy's): analytic only, and only where every batched gate
is one of those above; run_broadcast returns None otherwise, and the caller runs one program a
set."""

import numpy as np
import zentrova
import zentrova_program
import zentrova_readout
from pennylane.ops import Controlled
from pennylane.ops.qubit.attributes import diagonal_in_z_basis

from . import ops

# The register this path builds stays in cache: at most this many qubits, index qubits included.
MAX_QUBITS = 16
# Rotations about X and Y: the fixed one-qubit matrices before and after their diagonal (RZ's),
# H and, for RY, H S^dagger and S H, whose entries K and iK are exact.
_H = ops.FIXED["Hadamard"]
_K = _H[0]
_AROUND = {"RX": ((_H,), (_H,)),
           "RY": (((_K, -1j * _K, _K, 1j * _K),), ((_K, _K, 1j * _K, -1j * _K),))}
_ROTATIONS = {"RX": "RZ", "RY": "RZ", "RZ": "RZ", "PhaseShift": "PhaseShift", "U1": "PhaseShift"}
_CONTROLLED = {"CRX": "RX", "CRY": "RY", "CRZ": "RZ", "ControlledPhaseShift": "PhaseShift"}


def _diagonal_of(name, data):
    """The diagonal entries of RZ or PhaseShift for each angle, shape (sets, 2)."""
    t = np.asarray(data, dtype=float).reshape(-1)
    if name == "RZ":
        c, s = np.cos(t / 2), np.sin(t / 2)
        return np.stack([c - 1j * s, c + 1j * s], axis=1)
    return np.stack([np.ones_like(t, dtype=complex), np.cos(t) + 1j * np.sin(t)], axis=1)


def _plan(op, q):
    """(before, controls, targets, entries (sets, 2**k), after) of a batched gate, or None
    where it is not one this path takes; before and after are one-qubit matrices on the
    target."""
    name = op.name
    controls, values = [], None
    if name in _CONTROLLED:
        controls, name, q = q[:-1], _CONTROLLED[name], q[-1:]
    elif isinstance(op, Controlled):
        if op.base.batch_size is None:
            return None
        nc = len(q) - len(op.base.wires)
        controls, values, op, q = q[:nc], op.control_values, op.base, q[nc:]
        name = op.name
    if name in _ROTATIONS:
        before, after = _AROUND.get(name, ((), ()))
        entries = _diagonal_of(_ROTATIONS[name], op.data[0])
    elif name in diagonal_in_z_basis:
        before, after = (), ()
        entries = np.asarray(op.eigvals(), dtype=np.complex128).reshape(-1, 1 << len(q))
    else:
        return None
    values = [1] * len(controls) if values is None else [int(v) for v in values]
    return before, list(controls), values, list(q), entries, after


def run_broadcast(circuit, active, threads):
    """Each parameter set's amplitudes, rows of an array (sets, 2**len(active)), or None where
    the circuit is not one this path takes."""
    n, size = len(active), circuit.batch_size
    qubit = {w: n - 1 - k for k, w in enumerate(active)}
    gates, batched = [], []
    widest = 0
    for op in circuit.operations:
        wires = (*op.control_wires, *op.base.wires) if isinstance(op, Controlled) else op.wires
        q = [qubit[w] for w in wires]
        if op.batch_size is None:
            if op.name == "Projector":
                return None
            ops.apply(gates, op, q)
            continue
        plan = _plan(op, q)
        if plan is None:
            return None
        widest = max(widest, len(plan[3]))
        batched.append(len(gates))
        gates.append(plan)
    # Index qubits per register: the diagonals' targets stay within the engine's limit, the
    # register within MAX_QUBITS.
    b = min(max(1, (size - 1).bit_length()), ops.MAX_WIRES - widest, MAX_QUBITS - n)
    if b < 1:
        return None
    chunk = 1 << b
    index = [n + b - 1 - i for i in range(b)]  # the set's index, its most significant bit first
    rows = []
    for start in range(0, size, chunk):
        count = min(chunk, size - start)
        # Every set starts from |0...0> at once: the index qubits in equal superposition,
        # each row scaled back by sqrt(chunk) when read.
        program = [("h", (q,)) for q in index]
        at = 0
        for i, g in enumerate(gates):
            if at < len(batched) and batched[at] == i:
                at += 1
                before, controls, values, targets, entries, after = g
                block = np.ones((chunk, entries.shape[1]), dtype=np.complex128)
                block[:count] = entries[start : start + count]
                t = targets[-1]
                program.extend(_under(m, controls, values, t) for m in before)
                program.append(("diagonal", (index + targets, block.reshape(-1), controls, values)))
                program.extend(_under(m, controls, values, t) for m in after)
            else:
                program.append(g)
        reg = zentrova_program.run(zentrova.QuantumRegister(n + b), program, threads=threads)
        amps = np.asarray(zentrova_readout.amplitudes(reg))
        rows.append(amps.reshape(chunk, 1 << n)[:count] * np.sqrt(chunk))
    return np.concatenate(rows) if len(rows) > 1 else rows[0]


def _under(m, controls, values, target):
    # The basis change under the gate's controls: where they do not fire, nothing happens,
    # exactly.
    if not controls:
        return ("u", (target, *m))
    return ("matrix", ([target], m, controls, values))
