"""What runs where the work is done: circuits as plain tuples of numbers,
executed on zentrova registers, sampled or turned into expectation values.

This module imports nothing but zentrova, its fast read-out, the plugins'
common module (_zentrova_common, which uses only those) and numpy, so a worker
process (a process pool's, a Dask cluster's) never needs Qiskit to run a task,
and everything a task receives or returns pickles as plain data. The Qiskit
side (_translate.py) turns circuits into the operations read here, every
one-qubit matrix already worked out.

Operations, each a tuple (name, args):
  a zentrova_program operation  x, h, rx, ry, rz, cnot, swap, ccnot, csswap, u,
                                mcu, diagonal, matrix, with args as
                                zentrova_program.run takes them
  ("measure", (qubit, clbit))   mid-circuit only; final ones are listed apart
  ("reset", (qubit,))
  ("if", (clbits, value, then_ops, else_ops))
                                then_ops when the clbits, read as an integer
                                (clbits[0] least significant), equal value

Every stretch of gates between measurements, resets and conditions runs in one
zentrova_program.run call, with the interpreter lock released.

Every failure leaves as an Exception that pickles: a register too large for
memory is refused before zentrova is asked, and zentrova's own PanicException
becomes a RefusedError.
"""

import numpy as np
import zentrova
import zentrova_program
import zentrova_readout
from _zentrova_common import noise as _noise
from _zentrova_common import (
    K,
    RefusedError,
    check_memory,
    fold,
    measure,
    measurer,
    panics_as,
    qubitwise_groups,
    sample_indices,
    task_rng,
    uniform_draws,
)

_RUN = zentrova_program.run
# The threads this process's runs may use: run_batch sets it for its tasks.
_threads = 1
# From this many qubits a circuit's runs of one-qubit gates are merged into one matrix each
# before they run (zentrova_program's fuse): fewer passes over a state that no longer fits
# in cache, amplitudes within 1e-12 of the gates' own, the same bits on every machine. On
# fewer, a pass costs less than planning it. Shots run one at a time are never fused: their
# measurements give the bits of the gates run one by one.
FUSE_QUBITS = 10


def new_register(n: int) -> "zentrova.QuantumRegister":
    check_memory(n, "a register", error_type=RefusedError)
    return zentrova.QuantumRegister(n)


# Shot-by-shot programs: 0 gate, 1 measure, 2 reset, 3 condition.
def _compile_shots(ops) -> list[tuple]:
    out = []
    for op in ops:
        name, a = op
        if name == "measure":
            out.append((1, a[0], a[1]))
        elif name == "reset":
            out.append((2, a[0], None))
        elif name == "if":
            out.append((3, (a[0], a[1]), (_compile_shots(a[2]), _compile_shots(a[3]))))
        else:
            out.append((0, op, None))
    return out


def _run_shot(program, clbits: list[int], queue, measure) -> None:
    """One shot through measurer()'s queue and measure."""
    for kind, a, b in program:
        if kind == 0:
            queue(a)
        elif kind == 1:
            clbits[b] = measure(a)
        elif kind == 2:
            measure(a, True)
        else:
            bits, value = a
            read = 0
            for i, c in enumerate(bits):
                read |= clbits[c] << i
            _run_shot(b[0] if read == value else b[1], clbits, queue, measure)


_rng = task_rng


def sample(task) -> tuple[np.ndarray, np.ndarray | None]:
    """One circuit's shots: a (shots, clbits) array of 0/1, and the final state
    if asked for (final-measurement circuits only).

    task = (n, num_clbits, program, shots, seed, want_state), program either
    ("final", gates, measures) or ("shots", ops); seed = (entropy, spawn key).
    """
    n, num_clbits, program, shots, seed, want_state = task
    bits = np.zeros((shots, num_clbits), dtype=np.uint8)
    state = None
    if program[0] == "final":
        _, gates, measures = program
        reg = new_register(n)
        if gates:
            _RUN(reg, gates, n >= FUSE_QUBITS, _threads)
        if want_state:
            state = np.asarray(zentrova_readout.amplitudes(reg))
        if measures and shots:
            p = np.asarray(zentrova_readout.probabilities(reg))
            idx = sample_indices(p, shots, _rng(seed), in_place=True)
            for q, c in measures:
                bits[:, c] = 0 if q is None else (idx >> q) & 1
    elif shots:
        compiled = _compile_shots(program[1])
        check_memory(n, "a register", error_type=RefusedError)
        queue, measure, new_shot = measurer(n, uniform_draws(_rng(seed)))
        rows = []
        for _ in range(shots):
            clbits = [0] * num_clbits
            new_shot()
            _run_shot(compiled, clbits, queue, measure)
            rows.append(clbits)
        bits[:] = rows
    return bits, state


# Expectation values. A term is (coefficient, letters, qubits): letters from
# "IXYZ" and the projectors "01+-rl" on the qubits listed. Each qubit of a
# group is turned to the basis its letters need; the probabilities then give
# every term of the group by folding the qubits away one at a time.
_BASIS = {"X": "X", "+": "X", "-": "X", "Y": "Y", "r": "Y", "l": "Y",
          "Z": "Z", "0": "Z", "1": "Z"}
# How a qubit is folded away: 0 add both halves, 1 subtract (+1/-1
# eigenvalues), 2 keep the half reading 0, 3 keep the half reading 1.
_FOLD = {"I": 0, "X": 1, "Y": 1, "Z": 1, "0": 2, "+": 2, "r": 2, "1": 3, "-": 3, "l": 3}

_k = complex(K)
_ik = complex(0.0, K)
# From the basis on the left to the one on the right, in one gate: the
# matrices M_b M_a^dagger with M_Z = 1, M_X = H, M_Y = H S^dagger.
_TURN = {
    ("Z", "X"): None, ("X", "Z"): None,  # both the Hadamard gate itself
    ("Z", "Y"): (_k, -_ik, _k, _ik),
    ("Y", "Z"): (_k, _k, _ik, -_ik),
    ("X", "Y"): (0.5 - 0.5j, 0.5 + 0.5j, 0.5 + 0.5j, 0.5 - 0.5j),
    ("Y", "X"): (0.5 + 0.5j, 0.5 - 0.5j, 0.5 - 0.5j, 0.5 + 0.5j),
}


def estimate(task) -> np.ndarray:
    """Expectation values of observables on one circuit's final state.

    task = (n, gates, observables, precision, seed): each observable a tuple
    of terms; with precision > 0 each value gets normal noise of that width.
    gates may hold resets: a qubit that could read 0 or 1 is measured, the
    outcome drawn from seed, then put back in |0>.
    """
    n, gates, observables, precision, seed = task
    reg = new_register(n)
    draw = None
    stretch: list = []
    fuse = n >= FUSE_QUBITS
    for op in gates:
        if op[0] == "reset":
            if stretch:
                _RUN(reg, stretch, fuse, _threads)
                stretch = []
            if draw is None:
                # The outcomes' own stream: the noise keeps the bits it has
                # without resets.
                draw = _rng((seed[0], (*seed[1], 1))).random
            measure(reg, op[1][0], draw, reset=True)
        else:
            stretch.append(op)
    if stretch:
        _RUN(reg, stretch, fuse, _threads)
    # Each distinct term once, in the order the observables list them.
    index: dict[tuple, int] = {}
    for obs in observables:
        for _, letters, qubits in obs:
            index.setdefault((letters, qubits), len(index))
    keys = list(index)
    bases, codes = [], []
    for letters, qubits in keys:
        basis, code = {}, [0] * n
        for letter, q in zip(letters, qubits):
            if letter != "I":
                basis[q] = _BASIS[letter]
                code[q] = _FOLD[letter]
        bases.append(basis)
        codes.append(tuple(code))
    values = [0.0] * len(keys)
    current = ["Z"] * n
    p = np.empty(1 << n)  # one buffer for every group's probabilities
    for basis, members in qubitwise_groups(bases):
        turns = []
        for q in sorted(basis):
            if basis[q] != current[q]:
                turn = _TURN[(current[q], basis[q])]
                turns.append(("h", (q,)) if turn is None else ("u", (q, *turn)))
                current[q] = basis[q]
        if turns:
            _RUN(reg, turns, False, _threads)
        zentrova_readout.probabilities(reg, out=p)
        fold(p, n - 1, [(t, codes[t]) for t in members], values)
    evs = np.empty(len(observables))
    for i, obs in enumerate(observables):
        total = 0.0
        for coeff, letters, qubits in obs:  # a fixed order of plain float additions
            total += coeff * values[index[(letters, qubits)]]
        evs[i] = total
    if precision:
        evs = _rng(seed).normal(evs, precision)
    return evs


# Noisy circuits. A channel is ("channel", (targets, probs, branches, kraus)):
# a trajectory draws a branch from probs without reading the state; a branch
# of one matrix is a unitary, one of several Kraus operators is drawn from the
# state (_zentrova_common.noise.trajectory_branch). A measurement may carry a
# readout error (P(0 | 0), P(1 | 1)) as a third argument.
def _read_out(bit: int, ro, draw) -> int:
    return bit if draw() < ro[bit] else 1 - bit


def _run_noisy(reg, ops, draw, clbits: list) -> None:
    """One trajectory of ops on reg, measured bits into clbits."""
    gates: list = []

    def flush():
        if gates:
            _RUN(reg, gates, False, _threads)
            gates.clear()

    for op in ops:
        name, a = op
        if name == "channel":
            targets, probs, branches, _ = a
            branch = branches[_noise.branch_index(probs, draw)]
            if len(branch) == 1:
                if not np.array_equal(branch[0], np.eye(branch[0].shape[0])):
                    gates.append(("matrix", (targets, branch[0])))
            else:
                flush()
                _noise.trajectory_branch(reg, ("channel", targets, None, branch), draw)
        elif name == "measure":
            flush()
            bit = measure(reg, a[0], draw)
            clbits[a[1]] = _read_out(bit, a[2], draw) if len(a) > 2 else bit
        elif name == "reset":
            flush()
            measure(reg, a[0], draw, reset=True)
        elif name == "if":
            flush()
            bits, value, then_ops, else_ops = a
            read = 0
            for i, c in enumerate(bits):
                read |= clbits[c] << i
            _run_noisy(reg, then_ops if read == value else else_ops, draw, clbits)
        else:
            gates.append(op)
    flush()


def _final_bits(p: np.ndarray, measures, draws, rows: np.ndarray, readout_draw) -> None:
    """rows (shots, clbits) from basis-state indices drawn out of p, each
    measurement's readout error applied."""
    idx = sample_indices(p, rows.shape[0], draws, in_place=True)
    for m in measures:
        q, c = m[0], m[1]
        bit = (np.zeros(rows.shape[0], dtype=np.uint8) if q is None
               else ((idx >> q) & 1).astype(np.uint8))
        if len(m) > 2:
            keep = np.where(bit == 0, m[2][0], m[2][1])
            bit = np.where(readout_draw(rows.shape[0]) < keep, bit, 1 - bit).astype(np.uint8)
        rows[:, c] = bit


def _two_qubit(op, targets: tuple):
    """The 4x4 matrix of a two-qubit gate on targets (targets[0] the higher
    bit), or None for a gate that is not one on exactly those qubits."""
    name, a = op
    if name == "cnot" and set(a) == set(targets):
        c = 1 - targets.index(a[0])  # the control's bit in a row index
        u = np.zeros((4, 4), dtype=np.complex128)
        for i in range(4):
            u[i ^ (1 << (1 - c)) if i >> c & 1 else i, i] = 1.0
        return u
    if name in ("matrix", "diagonal") and len(a) == 2 and len(a[0]) == 2 and set(a[0]) == set(targets):
        e = np.asarray(a[1], dtype=np.complex128).ravel()
        u = np.diag(e) if name == "diagonal" else e.reshape(4, 4)
        if tuple(a[0]) != tuple(targets):
            swap = np.eye(4)[[0, 2, 1, 3]]
            u = swap @ u @ swap
        return u
    return None


def density_ops(ops, n: int) -> list:
    """A noisy program's gates, channels and resets on the 2n-qubit vector of
    its density matrix. A two-qubit gate and the channel that follows it on its
    qubits are one superoperator: one pass over the vector instead of three."""
    plain: list = []
    sups: dict = {}
    for name, a in ops:
        if name == "channel":
            u = _two_qubit(plain[-1], a[0]) if plain and len(a[0]) == 2 else None
            if u is not None:
                sup = sups.get(id(a[3]))
                if sup is None:
                    sup = sups[id(a[3])] = sum(np.kron(k, k.conj()) for k in a[3])
                plain[-1] = ("superoperator", a[0], sup @ np.kron(u, u.conj()))
                continue
            plain.append(("channel", a[0], None, a[3]))
        elif name == "reset":
            plain.append(("channel", (a[0],), None, _noise._RESET))
        else:
            plain.append((name, a))
    # each run of one-qubit gates and channels on a qubit one 4x4 superoperator
    return _noise.fused_density_ops(plain, n)


def density_vector(n: int, ops) -> np.ndarray:
    check_memory(2 * n, f"a density matrix of {n} qubits (a state of {2 * n})",
                 error_type=RefusedError)
    reg = zentrova.QuantumRegister(2 * n)
    _RUN(reg, density_ops(ops, n), False, _threads)
    return np.asarray(zentrova_readout.amplitudes(reg))


def noisy(task) -> tuple[np.ndarray, None]:
    """A noisy circuit's shots. task = (n, num_clbits, program, shots, seed,
    method): program ("final", gates, measures) or ("shots", ops); method
    "statevector" (each shot its own seeded trajectory) or "density_matrix"
    (the exact density matrix, its diagonal sampled; final programs only)."""
    n, num_clbits, program, shots, seed, method = task
    bits = np.zeros((shots, num_clbits), dtype=np.uint8)
    if not shots:
        return bits, None
    rng = _rng(seed)
    if method == "density_matrix":
        _, gates, measures = program
        amps = density_vector(n, gates)
        p = np.maximum(amps[:: (1 << n) + 1].real, 0.0)
        _final_bits(p, measures, rng, bits, rng.random)
        return bits, None
    draw = uniform_draws(rng)
    check_memory(n, "a register", error_type=RefusedError)
    final = program[0] == "final"
    ops = program[1]
    for shot in range(shots):
        reg = zentrova.QuantumRegister(n)
        clbits = [0] * num_clbits
        _run_noisy(reg, ops, draw, clbits)
        if final:
            p = np.array(zentrova_readout.probabilities(reg), dtype=np.float64)
            row = bits[shot:shot + 1]
            _final_bits(p, program[2], _OneDraw(draw), row, lambda k: np.array([draw()]))
        else:
            bits[shot] = clbits
    return bits, None


class _OneDraw:
    """sample_indices' generator for one index, from a trajectory's draws."""

    def __init__(self, draw):
        self.draw = draw

    def random(self, size=None, out=None):
        value = self.draw()
        if out is not None:
            out[...] = value
            return out
        return value if size is None else np.full(size, value)


def _trace(rho: np.ndarray, n: int, letters: str, qubits) -> float:
    """Re Tr(rho M) for M the letters' one-qubit matrices on qubits (identity elsewhere)."""
    t = rho.reshape((2,) * (2 * n))
    for letter, q in zip(letters, qubits):
        m = _LETTER[letter]
        # (M rho) on the row axis of qubit q: Tr(M rho) = Tr(rho M)
        t = np.moveaxis(np.tensordot(m, t, axes=([1], [n - 1 - q])), 0, n - 1 - q)
    d = 1 << n
    return float(np.trace(t.reshape(d, d)).real)


_LETTER = {
    "I": np.eye(2), "X": np.array([[0, 1], [1, 0]], dtype=complex),
    "Y": np.array([[0, -1j], [1j, 0]]), "Z": np.diag([1.0, -1.0]).astype(complex),
    "0": np.diag([1.0, 0.0]).astype(complex), "1": np.diag([0.0, 1.0]).astype(complex),
    "+": np.full((2, 2), 0.5, dtype=complex),
    "-": np.array([[0.5, -0.5], [-0.5, 0.5]], dtype=complex),
    "r": np.array([[0.5, -0.5j], [0.5j, 0.5]]), "l": np.array([[0.5, 0.5j], [-0.5j, 0.5]]),
}


def estimate_noisy(task) -> np.ndarray:
    """Exact expectation values of a noisy circuit, from its density matrix.
    task as estimate's."""
    n, gates, observables, precision, seed = task
    rho = _noise.density_matrix(density_vector(n, gates), n)
    values: dict = {}
    evs = np.empty(len(observables))
    for i, obs in enumerate(observables):
        total = 0.0
        for coeff, letters, qubits in obs:
            key = (letters, qubits)
            if key not in values:
                values[key] = _trace(rho, n, letters, qubits)
            total += coeff * values[key]
        evs[i] = total
    if precision:
        evs = _rng(seed).normal(evs, precision)
    return evs


_KINDS = {"sample": sample, "estimate": estimate, "noisy": noisy, "estimate_noisy": estimate_noisy}
_KINDS["tagged"] = lambda task: _KINDS[task[0]](task[1])


def run_batch(kind: str, tasks: list, threads: int = 1) -> list:
    """A task for an executor: several circuits, results in order, each run
    on `threads` threads."""
    global _threads
    fn = _KINDS[kind]
    _threads = threads
    with panics_as(RefusedError):
        return [fn(t) for t in tasks]
