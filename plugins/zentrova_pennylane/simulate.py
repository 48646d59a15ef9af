"""Runs one prepared PennyLane circuit on a zentrova register and turns the register's
read-out into PennyLane's results. The circuit arrives with only operations the device runs
(ops.supported), which become one zentrova_program.run call (a program, program_of).
Analytic expectation values of Pauli sums and of matrices on simulated wires are read off the
state by zentrova_program.expectations, all of a circuit's in one call; every other observable
arrives diagonal, so variances and probabilities come from the exact probabilities, and
samples are drawn from those with numpy's generator. A broadcast circuit runs whole: on few
wires as one register for many parameter sets (batched.py), else one program a set. `run` is
a module-level function of picklable arguments, so that a process pool can run it.

Wire order: PennyLane's wire k of n (in the device's order) is zentrova's qubit n-1-k. Index i
of PennyLane's arrays has wire 0 as its most significant bit, zentrova's qubit 0 is the least
significant one: with this mapping both read bit n-1-k of i, and the read-out needs no
permutation.

Idle wires: only the wires the circuit's operations act on (the active wires, in the
device's order) are simulated, on a register of their own. Results are mapped back: an idle
wire reads 0 in samples, probabilities over it are expanded, and a state or probabilities
over every wire are expanded to all of them, refused (DeviceError) when that would not fit
in memory."""

import functools
from typing import NamedTuple

import numpy as np
import zentrova
import zentrova_program
import zentrova_readout
from _zentrova_common import Layout, check_memory, panics_as, sample_indices
from pennylane.exceptions import DeviceError
from pennylane.measurements import (
    ExpectationMP,
    ProbabilityMP,
    SampleMeasurement,
    StateMeasurement,
    VarianceMP,
)
from pennylane.ops import Controlled, SProd, Sum
from pennylane.wires import Wires

from . import ops
from .batched import run_broadcast
from .ops import apply, broadcast_columns


def program_of(circuit, wire_order):
    """The circuit's operations as zentrova_program operations on a register of
    len(wire_order) qubits; for a broadcast circuit, a list of one such program (a tuple) per
    parameter set."""
    n = len(wire_order)
    qubit = {w: n - 1 - k for k, w in enumerate(wire_order)}
    size = batch_size(circuit)
    if size is None:
        out = []
        for op in circuit.operations:
            apply(out, op, [qubit[w] for w in _wires_of(op)])
        return out
    columns = []
    for op in circuit.operations:
        columns.extend(broadcast_columns(op, [qubit[w] for w in _wires_of(op)], size))
    return list(zip(*columns)) if columns else [()] * size


def batch_size(circuit):
    """The circuit's batch size, or None; PennyLane's own answer checks every operation's
    batching, which costs more than running a small circuit, so it is asked only where a
    parameter has more dimensions than a scalar."""
    for op in circuit.operations:
        for d in op.data:
            if (d.ndim if hasattr(d, "ndim") else np.ndim(d)) != 0:
                return circuit.batch_size
    return None


def run_program(program, n, threads=1):
    """A fresh register of n qubits after the program, run in one call."""
    return zentrova_program.run(_register(n), program, threads=threads)


_CONTROLLED = {}  # operation type -> whether it is Controlled, asked once a type


def _wires_of(op):
    # A controlled operation builds its wires anew on each access (controls + target), which
    # costs more than the gate on a small register; and PennyLane's operation classes are
    # abstract, slow to ask isinstance of.
    kind = type(op)
    controlled = _CONTROLLED.get(kind)
    if controlled is None:
        controlled = _CONTROLLED[kind] = isinstance(op, Controlled)
    if controlled:
        return op.control_wires.labels + op.base.wires.labels
    return op.wires.labels


class Prepared(NamedTuple):
    """A circuit as zentrova_program operations and its measurements alone: what a worker
    process gets. PennyLane's operations cost more to send and rebuild there (tens of
    microseconds each) than a register of 16 qubits takes to run them."""

    program: list  # or, for a broadcast circuit, one program per parameter set
    measured: object  # the circuit without its operations
    postselected: bool
    active: Wires  # the register's wires
    batch_size: int | None


def active_wires(circuit, wire_order):
    """The wires the circuit's operations act on, in the device's order."""
    used = set()
    for op in circuit.operations:
        used.update(_wires_of(op))
    if not used and circuit.operations and len(wire_order):
        used.add(wire_order[-1])  # a global phase alone needs a qubit to carry it
    return wire_order if len(used) == len(wire_order) else Wires([w for w in wire_order if w in used])


def prepare(circuit, wire_order):
    active = active_wires(circuit, wire_order)
    return Prepared(program_of(circuit, active), circuit.copy(operations=[]),
                    _postselected(circuit), active, batch_size(circuit))


def _postselected(circuit):
    return any(op.name == "Projector" for op in circuit.operations)


def marginal(probs, n, positions):
    """Probabilities of the wires at `positions` (of n, wire 0 first), in the order given
    (row by row for an array of rows, one set of probabilities each).
    Each run of wires summed away becomes one axis of the reshaped array, and einsum sums
    them: numpy's sum over an axis that is not the last, with few entries inside it, is five
    times slower (at n = 20, wires 0 and 19 kept: 6.2 -> 1.2 ms)."""
    if list(positions) == list(range(n)):
        return probs
    kept = {p: chr(ord("a") + i) for i, p in enumerate(positions)}
    axes, sizes, k = "", [], 0
    while k < n:
        if k in kept:
            axes += kept[k]
            sizes.append(2)
            k += 1
            continue
        j = k
        while j < n and j not in kept:
            j += 1
        axes += chr(ord("A") + len(axes))
        sizes.append(1 << (j - k))
        k = j
    out = "".join(kept[p] for p in positions)
    if probs.ndim == 2:
        rows = len(probs)
        return np.einsum(f"z{axes}->z{out}", probs.reshape(rows, *sizes)).reshape(rows, -1)
    return np.einsum(f"{axes}->{out}", probs.reshape(sizes)).reshape(-1)


class _Readout:
    """The register's probabilities and amplitudes, each read once when first asked for, and
    scaled by the kept probability when deferred postselection has projected the state; or,
    with reg None, amplitudes given."""

    def __init__(self, reg, postselected, amps=None):
        self.reg = reg
        self.postselected = postselected
        self._probs = None
        self._amps = amps
        self.norm2 = 1.0

    @property
    def probs(self):
        if self._probs is None and self.reg is None:
            self._probs = np.abs(self._amps) ** 2
        if self._probs is None:
            p = np.asarray(zentrova_readout.probabilities(self.reg))
            if self.postselected:
                self.norm2 = float(p.sum())
                p = p / self.norm2 if self.norm2 > 0 else np.full_like(p, np.nan)
            self._probs = p
        return self._probs

    @property
    def amps(self):
        if self._amps is None:
            a = np.asarray(zentrova_readout.amplitudes(self.reg))
            if self.postselected:
                norm2 = float(np.vdot(a, a).real)
                a = a / np.sqrt(norm2) if norm2 > 0 else np.full_like(a, np.nan)
            self._amps = a
        return self._amps


def expand(values, active, wires, what):
    """Values over the active wires (the first the most significant) as values over
    `wires`, which hold them in the same order: zero wherever an idle wire reads 1."""
    n = len(wires)
    layout = Layout(n, [n - 1 - wires.index(w) for w in active])
    return layout.expand(values, f"{what} of {n} wires", DeviceError)


def _with(active, wires, wire_order):
    """The active wires and `wires`, in the device's order."""
    wanted = set(active) | set(wires)
    return Wires([w for w in wire_order if w in wanted])


def is_z_word(obs):
    """Z and Identity on distinct wires, a product of them, or a multiple of one: diagonal,
    with eigenvalues PennyLane lists in the computational basis's order."""
    if obs.name in ("PauliZ", "Identity"):
        return True
    if obs.name == "Prod":
        return all(is_z_word(o) for o in obs.operands) and len(obs.wires) == sum(
            len(o.wires) for o in obs.operands
        )
    return obs.name == "SProd" and is_z_word(obs.base)


def analytic_result(mp, readout, wire_order, active):
    """One measurement's exact value. Expectation values of observables other than Z words
    come from the state itself (expectation); every other observable arrives diagonal (Z
    words, or eigenvalues over wires), so the probabilities of its wires give the value."""
    if isinstance(mp, ExpectationMP) and mp.obs is not None and not is_z_word(mp.obs):
        return np.float64(expectation(mp.obs, readout, wire_order, active))
    if isinstance(mp, (ExpectationMP, VarianceMP, ProbabilityMP)):
        wires = wire_order if isinstance(mp, ProbabilityMP) and not mp.wires else mp.wires
        present = [w for w in wires if w in active]
        p = marginal(readout.probs, len(active), [active.index(w) for w in present])
        p = p.copy() if p is readout.probs else p
        if len(present) < len(wires):
            p = expand(p, present, Wires(wires), "probabilities")
        if isinstance(mp, ProbabilityMP):
            return p
        eig = np.asarray(mp.eigvals(), dtype=float)
        mean = float(np.dot(p, eig))
        if isinstance(mp, ExpectationMP):
            return np.float64(mean)
        return np.float64(np.dot(p, eig * eig) - mean * mean)
    if isinstance(mp, StateMeasurement):
        wires = _with(active, mp.wires or wire_order, wire_order)
        return mp.process_state(expand(readout.amps, active, wires, "a state"), wires)
    raise TypeError(f"zentrova.qubit cannot compute {mp} without shots")


def expectation(obs, readout, wire_order, active):
    """<psi|obs|psi> of the register's state: from its Pauli terms where PennyLane has them,
    else term by term of a sum, else from the observable's matrix over its wires. One state
    serves any number of observables, commuting or not."""
    if obs.pauli_rep is not None:
        return _pauli_expectation(obs.pauli_rep, readout, active)
    if isinstance(obs, Sum):
        return sum(expectation(o, readout, wire_order, active) for o in obs.operands)
    if isinstance(obs, SProd):
        return float(np.real(obs.scalar)) * expectation(obs.base, readout, wire_order, active)
    wires = _with(active, obs.wires, wire_order)
    a = expand(readout.amps, active, wires, "a state")
    if obs.name == "SparseHamiltonian":
        return np.vdot(a, obs.sparse_matrix(wire_order=wires) @ a).real
    k, n = len(obs.wires), len(wires)
    axes = [wires.index(w) for w in obs.wires]
    state = a.reshape((2,) * n)
    matrix = np.asarray(obs.matrix(wire_order=obs.wires)).reshape((2,) * (2 * k))
    applied = np.moveaxis(np.tensordot(matrix, state, (range(k, 2 * k), axes)), range(k), axes)
    return np.vdot(state, applied).real


def _pauli_expectation(rep, readout, active):
    """sum_j c_j <psi|P_j|psi>. P_j maps basis state i to i^{ny} (-1)^{popcount(i & z)} times
    state i ^ x (x: its X and Y letters, z: its Z and Y letters), so terms that flip the same
    qubits share conj(psi[i ^ x]) psi[i] (for x = 0, the probabilities), and each term is the
    signed sum of that over its z qubits, taken on their marginal alone."""
    m = len(active)
    position = {w: k for k, w in enumerate(active)}  # the state's axis, wire 0 first
    groups = {}
    for word, coefficient in rep.items():
        flips, signs, ys = [], [], 0
        for w, letter in word.items():
            q = position.get(w)
            if q is None:
                if letter != "Z":  # an idle wire is |0>: X or Y there averages to 0
                    break
                continue
            if letter != "Z":
                flips.append(q)
            if letter != "X":
                signs.append(q)
            ys += letter == "Y"
        else:
            groups.setdefault(tuple(sorted(flips)), []).append((coefficient, signs, ys))
    total = 0.0
    for flips, terms in groups.items():
        if flips:
            state = readout.amps.reshape((2,) * m)
            flipped = np.flip(state, flips)
            shared = (flipped.conj() * state).reshape(-1)
        else:
            shared = readout.probs
        for coefficient, signs, ys in terms:
            if signs:
                s = np.dot(_parities(len(signs)), marginal(shared, m, signs))
            else:
                s = shared.sum()
            s = complex(s)
            # i^ys s; the imaginary parts of a Hermitian observable's terms are rounding.
            value = (s.real, -s.imag, -s.real, s.imag)[ys % 4]
            total += float(np.real(coefficient)) * value
    return total


@functools.lru_cache(maxsize=None)
def _parities(k):
    """(-1)^popcount(i) for i < 2^k: Z on each of k qubits."""
    signs = np.ones(1)
    for _ in range(k):
        signs = np.concatenate([signs, -signs])
    return signs


def bits_of(indices, n):
    """Each index's bits, wire 0 (the most significant) first, as PennyLane's samples."""
    shifts = np.arange(n - 1, -1, -1, dtype=np.int64)
    return ((indices[:, None].astype(np.int64) >> shifts) & 1).astype(np.int64)


def run(circuit, wire_order, seed=None, postselect_mode=None, threads=1):
    """The results of one circuit (or a Prepared one), in PennyLane's layout: one value per
    measurement (a bare value for a single one), and per shot bin for a shot vector; for a
    broadcast circuit each value stacked over the parameter sets, as PennyLane's
    broadcast_expand would give them. threads: how many threads a large register's passes use.

    A register too large for memory is refused here before zentrova is asked, and anything
    zentrova still refuses with its PanicException (which derives from BaseException, so a
    process pool's worker would die of it) leaves as PennyLane's DeviceError, which pickles."""
    with panics_as(DeviceError):
        return _run(circuit, wire_order, seed, postselect_mode, threads)


def _register(n):
    check_memory(n, "a register", error_type=DeviceError)
    return zentrova.QuantumRegister(n)


def engine_terms(obs, position):
    """The observable as zentrova_program.expectations' terms on the active wires (position:
    wire -> qubit), or None where it is not one they take exactly as PennyLane means it. A
    Pauli term with X or Y on an idle wire (which reads |0>) averages to 0, Z there to 1."""
    rep = obs.pauli_rep
    if rep is not None:
        terms = []
        for word, coefficient in rep.items():
            c = complex(coefficient)
            if c.imag != 0:
                return None
            letters, qubits = [], []
            for w, letter in word.items():
                q = position.get(w)
                if q is None:
                    if letter != "Z":
                        break
                    continue
                letters.append(letter)
                qubits.append(q)
            else:
                terms.append((c.real, "".join(letters), qubits))
        return terms
    wires = obs.wires
    if (obs.name == "SparseHamiltonian" or not obs.has_matrix or len(wires) > ops.MAX_WIRES
            or any(w not in position for w in wires)):
        return None
    return [(np.asarray(obs.matrix(wire_order=wires), dtype=np.complex128),
             [position[w] for w in wires])]


def _engine_expectations(mps, active, postselected):
    """(indices, observables): the analytic expectation values the engine reads off the state
    in one call. A postselected state is not normalised: its values go the other way."""
    if postselected:
        return [], []
    m = len(active)
    position = {w: m - 1 - k for k, w in enumerate(active)}
    indices, observables = [], []
    for i, mp in enumerate(mps):
        if isinstance(mp, ExpectationMP) and mp.obs is not None:
            terms = engine_terms(mp.obs, position)
            if terms is not None:
                indices.append(i)
                observables.append(terms)
    return indices, observables


def _analytic(reg, mps, engine, wire_order, active, postselected):
    indices, observables = engine
    results = [None] * len(mps)
    if indices:
        for i, v in zip(indices, zentrova_program.expectations(reg, observables).tolist()):
            results[i] = np.float64(v)
    if len(indices) < len(mps):
        readout = _Readout(reg, postselected)
        for i, mp in enumerate(mps):
            if results[i] is None:
                results[i] = analytic_result(mp, readout, wire_order, active)
    return results[0] if len(mps) == 1 else tuple(results)


def _stacked(results, circuit):
    """One result per parameter set as one result of the broadcast circuit."""
    n_mps = len(circuit.measurements)
    shots = circuit.shots
    if shots and shots.has_partitioned_shots:
        bins = range(shots.num_copies)
        if n_mps > 1:
            return tuple(tuple(np.stack([r[s][k] for r in results]) for k in range(n_mps))
                         for s in bins)
        return tuple(np.stack([r[s] for r in results]) for s in bins)
    if n_mps > 1:
        return tuple(np.stack([r[k] for r in results]) for k in range(n_mps))
    return np.stack(results)


def _run(circuit, wire_order, seed, postselect_mode, threads):
    if isinstance(circuit, Prepared):
        active, program, size = circuit.active, circuit.program, circuit.batch_size
        postselected, circuit = circuit.postselected, circuit.measured
    else:
        active = active_wires(circuit, wire_order)
        size = batch_size(circuit)
        postselected = _postselected(circuit)
        # A broadcast circuit is first offered to run_broadcast whole.
        program = program_of(circuit, active) if size is None or circuit.shots else None
    n = len(active)
    mps = circuit.measurements
    if not circuit.shots and size is not None and not postselected and program is None:
        rows = run_broadcast(circuit, active, threads)
        if rows is not None:
            return _from_rows(rows, mps, wire_order, active)
        program = program_of(circuit, active)
    if not circuit.shots:
        engine = _engine_expectations(mps, active, postselected)
        if size is None:
            return _analytic(run_program(program, n, threads), mps, engine, wire_order, active,
                             postselected)
        return _stacked([_analytic(run_program(p, n, threads), mps, engine, wire_order, active,
                                   postselected) for p in program], circuit)
    rng = np.random.default_rng(seed)
    if size is None:
        return _sampled(run_program(program, n, threads), circuit, wire_order, active,
                        postselected, postselect_mode, rng)
    return _stacked([_sampled(run_program(p, n, threads), circuit, wire_order, active,
                              postselected, postselect_mode, rng) for p in program], circuit)


def _from_rows(rows, mps, wire_order, active):
    """A broadcast circuit's analytic results from its sets' amplitudes (rows): expectation
    values of Z words and probabilities of active wires for every set at once, the others set
    by set."""
    n = len(active)
    probs = None
    results = []
    for mp in mps:
        wires = mp.wires if mp.obs is not None or mp.wires else wire_order
        simple = (isinstance(mp, ProbabilityMP) and mp.obs is None) or (
            isinstance(mp, ExpectationMP) and mp.obs is not None and is_z_word(mp.obs))
        if simple and all(w in active for w in wires):
            if probs is None:
                probs = np.abs(rows) ** 2
            p = marginal(probs, n, [active.index(w) for w in wires])
            p = p.copy() if p is probs else p
            if isinstance(mp, ExpectationMP):
                p = p @ np.asarray(mp.eigvals(), dtype=float)
            results.append(p)
        else:
            results.append(np.stack([analytic_result(mp, _Readout(None, False, a), wire_order,
                                                     active) for a in rows]))
    return results[0] if len(mps) == 1 else tuple(results)


def _sampled(reg, circuit, wire_order, active, postselected, postselect_mode, rng):
    readout = _Readout(reg, postselected)
    mps = circuit.measurements
    probs = readout.probs
    bins = list(circuit.shots.bins())
    sizes = [upper - lower for lower, upper in bins]
    possible = readout.norm2 > 0  # postselection on an outcome of probability 0 leaves NaN
    if postselected and postselect_mode != "fill-shots":
        # As on hardware: shots whose postselection fails are lost, each with the
        # probability the projection removed.
        sizes = [int(rng.binomial(s, readout.norm2)) if possible else 0 for s in sizes]
    elif not possible:
        raise DeviceError(
            "The probability of the postselected mid-circuit measurement outcome is 0: "
            "postselect_mode='fill-shots' has no state to draw shots from."
        )
    total = sum(sizes)
    samples = np.zeros((total, len(wire_order)), dtype=np.int64)
    if total:
        bits = bits_of(sample_indices(probs, total, rng), len(active))
        if len(active) == len(wire_order):
            samples = bits
        else:
            samples[:, [wire_order.index(w) for w in active]] = bits
    per_bin = []
    start = 0
    for size in sizes:
        chunk = samples[start : start + size]
        start += size
        values = tuple(_sampled_result(mp, chunk, wire_order) for mp in mps)
        per_bin.append(values[0] if len(mps) == 1 else values)
    return tuple(per_bin) if circuit.shots.has_partitioned_shots else per_bin[0]


def _sampled_result(mp, samples, wire_order):
    if not isinstance(mp, SampleMeasurement):
        raise TypeError(f"zentrova.qubit cannot sample {mp}")
    return mp.process_samples(samples, wire_order)
