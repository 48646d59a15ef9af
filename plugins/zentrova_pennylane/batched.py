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
# At most this many index qubits (sets in a register: 2**8): a diagonal's set-up grows with its
# entries, and on 6 qubits 256 sets a register ran 1,000 sets fastest (5.7 ms, against 6.5 with
# 512 and 6.0 with 128).
INDEX_QUBITS = 8
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


def _table(controls, values, targets, entries):
    """A batched diagonal under controls as one over controls and targets: (sets, 2**k)."""
    if not controls:
        return list(targets), entries
    c = len(controls)
    full = np.ones((len(entries), 1 << (c + len(targets))), dtype=np.complex128)
    at = sum(v << (c - 1 - j) for j, v in enumerate(values)) << len(targets)
    full[:, at : at + entries.shape[1]] = entries
    return list(controls) + list(targets), full


class _Group:
    """Batched diagonals that commute with everything between them, to be applied as one."""

    def __init__(self):
        self.targets = []
        self.members = []  # (targets, table (sets, 2**k))

    def table(self):
        """The product of the members' tables over the group's targets (sets, 2**k)."""
        k = len(self.targets)
        g = np.arange(1 << k)
        bit = {t: (g >> (k - 1 - i)) & 1 for i, t in enumerate(self.targets)}
        out = None
        for targets, table in self.members:
            sub = np.zeros(1 << k, dtype=np.intp)
            for t in targets:
                sub = (sub << 1) | bit[t]
            out = table[:, sub] if out is None else out * table[:, sub]
        return out


def _plan_program(circuit, qubit, width):
    """The circuit as fixed program operations and _Groups, in an order that gives the same
    state: a fixed operation on qubits no pending group or its followers touch moves ahead of
    them (it commutes with both), and a batched diagonal joins the pending group while it
    commutes with the operations waiting after it and the group stays within `width` qubits.
    None where a batched gate is not one this path takes."""
    items, group, tail, tail_qubits = [], None, [], set()

    def flush():
        nonlocal group, tail, tail_qubits
        if group is not None:
            items.append(group)
        items.extend(tail)
        group, tail, tail_qubits = None, [], set()

    def fixed(op_tuple, qubits):
        if group is None or not (qubits & set(group.targets) or qubits & tail_qubits):
            items.append(op_tuple)
        else:
            tail.append(op_tuple)
            tail_qubits.update(qubits)

    for op in circuit.operations:
        wires = (*op.control_wires, *op.base.wires) if isinstance(op, Controlled) else op.wires
        q = [qubit[w] for w in wires]
        if op.batch_size is None:
            if op.name == "Projector":
                return None
            out = []
            ops.apply(out, op, q)
            for o in out:
                fixed(o, set(q) if op.name != "GlobalPhase" else {0})
            continue
        plan = _plan(op, q)
        if plan is None:
            return None
        before, controls, values, targets, entries, after = plan
        for m in before:
            fixed(_under(m, controls, values, targets[-1]), {targets[-1], *controls})
        on, table = _table(controls, values, targets, entries)
        if len(on) > width:
            return None
        joined = sorted(set(on) | set(group.targets), reverse=True) if group else on
        if group is None or tail_qubits & set(on) or len(joined) > width:
            flush()
            group = _Group()
            joined = sorted(on, reverse=True)
        group.targets = list(joined)
        group.members.append((on, table))
        for m in after:
            fixed(_under(m, controls, values, targets[-1]), {targets[-1], *controls})
    flush()
    return items


def run_broadcast(circuit, active, threads):
    """Each parameter set's amplitudes, rows of an array (sets, 2**len(active)), or None where
    the circuit is not one this path takes."""
    n, size = len(active), circuit.batch_size
    if n == 0:
        return None
    qubit = {w: n - 1 - k for k, w in enumerate(active)}
    # Index qubits per register: enough for the sets, at most INDEX_QUBITS, and the register
    # within MAX_QUBITS; a group of diagonals takes the targets the index leaves.
    b = min(max(1, (size - 1).bit_length()), INDEX_QUBITS, MAX_QUBITS - n)
    if b < 1:
        return None
    items = _plan_program(circuit, qubit, ops.MAX_WIRES - b)
    if items is None:
        return None
    tables = {id(g): g.table() for g in items if isinstance(g, _Group)}
    chunk = 1 << b
    index = [n + b - 1 - i for i in range(b)]  # the set's index, its most significant bit first
    start_ops = [("h", (q,)) for q in index]
    rows = []
    for start in range(0, size, chunk):
        count = min(chunk, size - start)
        # Every set starts from |0...0> at once: the index qubits in equal superposition,
        # each row scaled back by sqrt(chunk) when read.
        program = list(start_ops)
        for item in items:
            if isinstance(item, _Group):
                table = tables[id(item)]
                block = np.ones((chunk, table.shape[1]), dtype=np.complex128)
                block[:count] = table[start : start + count]
                program.append(("diagonal", (index + item.targets, block.reshape(-1))))
            else:
                program.append(item)
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
