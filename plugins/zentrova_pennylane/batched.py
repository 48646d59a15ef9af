"""A broadcast circuit on few wires run as one register for many parameter sets: the set's
index is held in extra qubits above the circuit's, in equal superposition (set j's state is
row j of the amplitudes reshaped to (sets, 2**n), times the square root of the sets). A gate
without batched parameters acts on every set at once. A batched rotation about a Pauli word
(RX, RY, RZ, IsingXX, IsingYY, IsingZZ, MultiRZ, PauliRot; Rot as three of them) becomes fixed
basis changes around a diagonal over the index qubits and its wires (RX = H RZ H, RY = S H RZ H
S^dagger), whose 2**(b+k) entries give each set its own angle; a batched diagonal gate
(PhaseShift, DiagonalQubitUnitary, ...) is such a diagonal itself; either under its controls.
Batched diagonals that commute with what lies between them are applied as one. Thousands of
small circuits become a few dozen passes over registers that fit in cache, with no Python work
per set.

The results are those of running each set on its own to within rounding (the basis changes
and the products of diagonals round, and the diagonals' sines are numpy's): analytic only, and
only where every batched gate is one of those above; run_broadcast returns None otherwise, and
the caller runs one program a set."""

import os
from concurrent.futures import ThreadPoolExecutor

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
# A Pauli letter's basis change to Z and back (H for X; H S^dagger and S H for Y, whose entries
# K and iK are exact): a rotation about a Pauli word is a diagonal between them.
_H = ops.FIXED["Hadamard"]
_K = _H[0]
_TO_Z = {"X": (_H, _H), "Y": ((_K, -1j * _K, _K, 1j * _K), (_K, _K, 1j * _K, -1j * _K))}
# Batched gates that are rotations about a Pauli word: name -> the word (None: PauliRot's own).
_WORDS = {"RX": "X", "RY": "Y", "RZ": "Z", "IsingXX": "XX", "IsingYY": "YY", "IsingZZ": "ZZ",
          "MultiRZ": None, "PauliRot": None}
_CONTROLLED = {"CRX": "RX", "CRY": "RY", "CRZ": "RZ", "ControlledPhaseShift": "PhaseShift",
               "CRot": "Rot"}


def _angles(value, size):
    return np.broadcast_to(np.asarray(value, dtype=float).reshape(-1), (size,))


def _rotation(word, q, theta):
    """exp(-i theta P / 2) for the Pauli word P on qubits q: (before, targets, entries, after),
    or None for a word of identities alone (a phase on every set: not taken)."""
    on = [(qb, letter) for qb, letter in zip(q, word) if letter != "I"]
    if not on:
        return None
    k = len(on)
    parity = np.ones(1)
    for _ in range(k):
        parity = np.concatenate([parity, -parity])
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    entries = c[:, None] - 1j * s[:, None] * parity[None, :]
    before = [(qb, _TO_Z[letter][0]) for qb, letter in on if letter != "Z"]
    after = [(qb, _TO_Z[letter][1]) for qb, letter in on if letter != "Z"]
    return before, [qb for qb, _ in on], entries, after


def _plan(op, q, size):
    """The steps of a batched gate, each (before, controls, values, targets, entries (sets,
    2**k), after) with before and after lists of (qubit, one-qubit matrix); or None where it
    is not one this path takes."""
    name = op.name
    controls, values = [], None
    if name in _CONTROLLED:
        nc = len(q) - 1
        controls, name, q = q[:nc], _CONTROLLED[name], q[nc:]
    elif isinstance(op, Controlled):
        if op.base.batch_size is None:
            return None
        nc = len(q) - len(op.base.wires)
        controls, values, op, q = q[:nc], op.control_values, op.base, q[nc:]
        name = op.name
    values = [1] * len(controls) if values is None else [int(v) for v in values]
    controls = list(controls)
    rotations = []  # (word, qubits, angles), applied in this order
    if name in _WORDS:
        word = _WORDS[name]
        if name == "MultiRZ":
            word = "Z" * len(q)
        elif name == "PauliRot":
            word = op.hyperparameters["pauli_word"]
        rotations.append((word, q, _angles(op.data[0], size)))
    elif name == "Rot":  # RZ(omega) RY(theta) RZ(phi)
        phi, theta, omega = (_angles(d, size) for d in op.data)
        rotations += [("Z", q, phi), ("Y", q, theta), ("Z", q, omega)]
    elif name in ("PhaseShift", "U1"):  # op may be the controlled gate: its angle alone
        t = _angles(op.data[0], size)
        entries = np.stack([np.ones(size, dtype=complex), np.cos(t) + 1j * np.sin(t)], axis=1)
        return [([], controls, values, list(q), entries, [])]
    elif name in diagonal_in_z_basis:
        entries = np.asarray(op.eigvals(), dtype=np.complex128).reshape(-1, 1 << len(q))
        return [([], controls, values, list(q), np.broadcast_to(entries, (size, entries.shape[1])),
                 [])]
    else:
        return None
    steps = []
    for word, qubits, theta in rotations:
        step = _rotation(word, qubits, theta)
        if step is None:
            return None
        before, targets, entries, after = step
        steps.append((before, controls, values, targets, entries, after))
    return steps


def _table(controls, values, targets, entries):
    """A batched diagonal under controls as one over controls and targets: (sets, 2**k)."""
    if not controls:
        return list(targets), entries
    c = len(controls)
    full = np.ones((len(entries), 1 << (c + len(targets))), dtype=np.complex128)
    at = sum(v << (c - 1 - j) for j, v in enumerate(values)) << len(targets)
    full[:, at : at + entries.shape[1]] = entries
    return list(controls) + list(targets), full


class _TooWide(Exception):
    """A batched gate's diagonal needs more targets (args[0]) than the index leaves."""


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


def _plan_program(circuit, qubit, width, size):
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
        steps = _plan(op, q, size)
        if steps is None:
            return None
        for before, controls, values, targets, entries, after in steps:
            for t, m in before:
                fixed(_under(m, controls, values, t), {t, *controls})
            on, table = _table(controls, values, targets, entries)
            if len(on) > width:
                raise _TooWide(len(on))
            joined = sorted(set(on) | set(group.targets), reverse=True) if group else on
            if group is None or tail_qubits & set(on) or len(joined) > width:
                flush()
                group = _Group()
                joined = sorted(on, reverse=True)
            group.targets = list(joined)
            group.members.append((on, table))
            for t, m in after:
                fixed(_under(m, controls, values, t), {t, *controls})
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
    while True:
        try:
            items = _plan_program(circuit, qubit, ops.MAX_WIRES - b, size)
            break
        except _TooWide as wide:  # fewer sets a register leave its diagonals room
            b = min(b - 1, ops.MAX_WIRES - wide.args[0])
            if b < 1:
                return None
    if items is None:
        return None
    tables = {id(g): g.table() for g in items if isinstance(g, _Group)}
    chunk = 1 << b
    index = [n + b - 1 - i for i in range(b)]  # the set's index, its most significant bit first
    # Every set starts from |0...0> at once: the index qubits in equal superposition, each row
    # scaled back by sqrt(chunk) when read.
    start_ops = [("h", (q,)) for q in index]
    programs = []
    for start in range(0, size, chunk):
        count = min(chunk, size - start)
        program = list(start_ops)
        for item in items:
            if isinstance(item, _Group):
                table = tables[id(item)]
                block = np.ones((chunk, table.shape[1]), dtype=np.complex128)
                block[:count] = table[start : start + count]
                program.append(("diagonal", (index + item.targets, block.reshape(-1))))
            else:
                program.append(item)
        programs.append((program, count))

    def rows_of(program, count):
        reg = zentrova_program.run(zentrova.QuantumRegister(n + b), program)
        amps = np.asarray(zentrova_readout.amplitudes(reg))
        return amps.reshape(chunk, 1 << n)[:count] * np.sqrt(chunk)

    # The registers are small and independent: with threads, several run at once (the engine
    # releases the interpreter lock), each on one thread, and each gives the same bits.
    workers = min(threads, len(programs))
    if workers > 1:
        rows = list(_executor(workers).map(lambda pc: rows_of(*pc), programs))
    else:
        rows = [rows_of(*pc) for pc in programs]
    return np.concatenate(rows) if len(rows) > 1 else rows[0]


_POOL = []  # [executor, its workers] once made: threads kept for the next call


def _executor(workers):
    if _POOL and _POOL[1] != workers:
        _POOL.pop(0).shutdown(wait=False)
        _POOL.clear()
    if not _POOL:
        _POOL.extend([ThreadPoolExecutor(workers, thread_name_prefix="zentrova-sets"), workers])
    return _POOL[0]


# A forked child has the executor but none of its threads: it makes its own.
os.register_at_fork(after_in_child=_POOL.clear)


def _under(m, controls, values, target):
    # The basis change under the gate's controls: where they do not fire, nothing happens,
    # exactly.
    if not controls:
        return ("u", (target, *m))
    return ("matrix", ([target], m, controls, values))
