"""What runs where the work is done: a resolved circuit as plain tuples, run on
a zentrova register, sampled, read out or turned into expectation values.

This module imports nothing but zentrova, its read-out, the plugins' common
module (which uses only those) and numpy, so a worker process (a process
pool's, a Dask cluster's) never needs Cirq, and what a task receives or
returns pickles as plain data. _translate.py makes the operations:

  (method, args)                  a method of QuantumRegister and its arguments
  ("diagonal" | "matrix", (targets, entries, controls, values))
                                  zentrova_program's operations on several qubits
  ("measure", qubits, slot, invert)
                                  the qubits' bits, each flipped where invert
                                  says, recorded under the key numbered slot
  ("reset", qubit)
  ("if", conditions, ops)         ops when every condition holds:
      ("nonzero", slot, index)    the key's value (first qubit the most
                                  significant bit) at that instance is not 0
      ("mask", slot, index, mask, target, equal)
                                  value & mask == target (or != if not equal)
      ("table", slots, true)      the keys' last values, as a tuple, in true

Gates run through zentrova_program, every stretch of them between two
measurements in one call with the interpreter lock released. Every measurement draws from the task's seeded generator and collapses the
state with one `u` per qubit, so a seeded run repeats bit for bit. Repetitions
run shot by shot go through the common module's measurer, which gives the same
bits while making a register only when a shot reaches outcomes not seen before.
"""

import numpy as np
import zentrova
import zentrova_program
import zentrova_readout
from _zentrova_common import noise as _noise
from _zentrova_common import (
    check_memory,
    measure,
    measurer,
    panics_as,
    sample_indices,
    task_rng,
    uniform_draws,
)

_QR = zentrova.QuantumRegister
_METHODS = {name: getattr(_QR, name) for name in
            ("x", "h", "u", "rx", "ry", "rz", "cnot", "swap", "ccnot", "csswap", "mcu")}
_RUN = zentrova_program.run
# The threads this process's runs may use: run_batch sets it for its tasks.
_threads = 1
for _name in ("diagonal", "matrix"):
    _METHODS[_name] = lambda reg, *args, _name=_name: _RUN(reg, ((_name, args),))


_rng = task_rng


def _register(n: int) -> "zentrova.QuantumRegister":
    check_memory(n, "a state vector")
    return _QR(n)


def _value(bits: tuple) -> int:
    v = 0
    for b in bits:
        v = (v << 1) | b
    return v


def _holds(cond: tuple, records: list) -> bool:
    kind = cond[0]
    if kind == "table":
        return tuple(_value(_instance(records, s, -1)) for s in cond[1]) in cond[2]
    value = _value(_instance(records, cond[1], cond[2]))
    if kind == "nonzero":
        return value != 0
    _, _, _, mask, target, equal = cond
    return ((value & mask) == target) == equal


def _instance(records: list, slot: int, index: int) -> tuple:
    try:
        return records[slot][index]
    except IndexError:
        raise ValueError("a classical condition reads a measurement that has not been made") from None


def _execute(reg, ops, draw, records: list) -> None:
    """Runs ops on reg; each measurement's outcome from draw(), a uniform
    number in [0, 1)."""
    gates: list = []
    for op in ops:
        name = op[0]
        if name in _METHODS:
            gates.append(op)
            continue
        if name == "channel" and op[2] is not None:  # a mixture: the state is not read
            branch = _noise.mixture_branch(op, draw)
            if branch is not None:
                gates.append(branch)
            continue
        if gates:
            _RUN(reg, gates, True, _threads)
            gates = []
        if name == "channel":
            _noise.trajectory_branch(reg, op, draw)
        elif name == "measure":
            _, qubits, slot, invert = op
            records[slot].append(tuple((0 if q is None else measure(reg, q, draw)) ^ f
                                       for q, f in zip(qubits, invert)))
        elif name == "reset":
            measure(reg, op[1], draw, reset=True)
        elif all(_holds(c, records) for c in op[1]):
            _execute(reg, op[2], draw, records)
    if gates:
        _RUN(reg, gates, True, _threads)


# Shot-by-shot programs: 0 gate (name, args), 1 measure (qubits, slot,
# invert), 2 reset, 3 condition (conditions, program).
def _compile_shots(ops) -> list[tuple]:
    out = []
    for op in ops:
        name = op[0]
        if name in _METHODS:
            out.append((0, op))
        elif name == "measure":
            out.append((1, op[1:]))
        elif name == "reset":
            out.append((2, op[1]))
        else:
            out.append((3, (op[1], _compile_shots(op[2]))))
    return out


def _run_shot(program, records: list, queue, measure_one) -> None:
    """One repetition through measurer()'s queue and measure."""
    for kind, a in program:
        if kind == 0:
            queue(a)
        elif kind == 1:
            qubits, slot, invert = a
            records[slot].append(tuple((0 if q is None else measure_one(q)) ^ f
                                       for q, f in zip(qubits, invert)))
        elif kind == 2:
            measure_one(a, True)
        elif all(_holds(c, records) for c in a[0]):
            _run_shot(a[1], records, queue, measure_one)


def _noisy(ops) -> bool:
    return any(op[0] == "channel" or op[0] == "if" and _noisy(op[2]) for op in ops)


def _split_final(ops) -> tuple[list, list] | None:
    """(gates, measurements) when every measurement comes at the end (no
    later gate touches a measured qubit, no reset or condition anywhere), so
    one run and sampling from the probabilities serve every repetition."""
    gates, measures, measured = [], [], set()
    for op in ops:
        name = op[0]
        if name == "measure":
            measures.append(op)
            measured.update(op[1])
        elif name in ("reset", "if", "channel"):
            return None
        else:
            if measured.intersection(gate_qubits(op)):
                return None
            gates.append(op)
    return gates, measures


def gate_qubits(op: tuple) -> tuple:
    """The qubits a gate (method, args) acts on."""
    if op[0] == "channel":
        return op[1]
    name, args = op
    if name == "mcu":
        return (*args[0], args[1])
    if name in ("diagonal", "matrix"):
        return (*args[0], *args[2]) if len(args) == 4 else tuple(args[0])
    return args[:1] if name in ("u", "rx", "ry", "rz") else args


def _remap(ops, dense: dict) -> list:
    out = []
    for op in ops:
        name = op[0]
        if name == "measure":
            out.append(("measure", tuple(dense.get(q) for q in op[1]), *op[2:]))
        elif name == "reset":
            if op[1] in dense:
                out.append(("reset", dense[op[1]]))
        elif name == "if":
            out.append(("if", op[1], _remap(op[2], dense)))
        elif name == "channel":
            out.append(("channel", tuple(dense[q] for q in op[1]), *op[2:]))
        elif name == "mcu":
            args = op[1]
            out.append((name, ([dense[c] for c in args[0]], dense[args[1]], *args[2:])))
        elif name in ("diagonal", "matrix"):
            targets, entries, *rest = op[1]
            controls, values = rest or ((), ())
            out.append((name, (tuple(dense[q] for q in targets), entries,
                               tuple(dense[c] for c in controls), values)))
        else:
            k = len(gate_qubits(op))
            out.append((name, (*(dense[q] for q in op[1][:k]), *op[1][k:])))
    return out


def compact(ops, n: int) -> tuple[dict, list]:
    """Only the qubits some gate acts on are simulated: (dense, ops) with
    dense mapping each such qubit to its place in a smaller register, and ops
    on that register; a measurement of any other qubit (None) reads 0. The
    ops as they are once every one of the n qubits is found in use."""
    used: set = set()

    def visit(ops) -> bool:
        for op in ops:
            if op[0] == "if":
                if visit(op[2]):
                    return True
            elif op[0] not in ("measure", "reset"):
                used.update(gate_qubits(op))
                if len(used) == n:
                    return True
        return False
    if visit(ops):
        return {q: q for q in range(n)}, ops
    dense = {q: i for i, q in enumerate(sorted(used))}
    return dense, _remap(ops, dense)


def _final_indices(reg, repetitions: int, seed, rng) -> np.ndarray:
    """Basis-state indices drawn from reg's final state, one a repetition."""
    if seed[0] is None and repetitions == 1:
        # Nothing to repeat: the engine's own measurement picks the outcome
        # in one pass that stops where it is found, where the probabilities
        # and their cumulative sums take three over the whole state.
        ket = str(reg.observe())[1:-1]
        return np.array([int(ket, 2) if ket else 0], dtype=np.int64)
    return sample_indices(np.asarray(zentrova_readout.probabilities(reg)), repetitions, rng,
                          in_place=True)


def sample(task) -> list[np.ndarray]:
    """Every repetition's measured bits: for each key, an array (repetitions,
    instances, qubits) of 0/1. task = (n, ops, slots, repetitions, seed); a
    seed (None, key) is fresh entropy, nothing to repeat."""
    n, ops, slots, repetitions, seed = task
    rng = _rng(seed)
    with panics_as():
        split = _split_final(ops)
        if split is not None:
            gates, measures = split
            reg = _register(n)
            _execute(reg, gates, None, [])
            idx = _final_indices(reg, repetitions, seed, rng)
            per_slot: list[list] = [[] for _ in range(slots)]
            for _, qubits, slot, invert in measures:
                per_slot[slot].append(np.stack([np.full(repetitions, int(f)) if q is None else
                                                ((idx >> q) & 1) ^ f for q, f in zip(qubits, invert)],
                                               axis=1).astype(np.uint8))
            return [np.stack(inst, axis=1) for inst in per_slot]
        shots: list[list] = []
        if repetitions and _noisy(ops):
            # Each repetition a trajectory of its own, run whole.
            draw = uniform_draws(rng)
            for _ in range(repetitions):
                records: list[list] = [[] for _ in range(slots)]
                _execute(_register(n), ops, draw, records)
                shots.append(records)
        elif repetitions:
            check_memory(n, "a state vector")
            program = _compile_shots(ops)
            queue, measure_one, new_shot = measurer(n, uniform_draws(rng))
            for _ in range(repetitions):
                records: list[list] = [[] for _ in range(slots)]
                new_shot()
                _run_shot(program, records, queue, measure_one)
                shots.append(records)
    out = []
    for slot in range(slots):
        counts = {len(r[slot]) for r in shots}
        if len(counts) != 1:
            raise ValueError("a measurement key was measured a different number of times in "
                             "different repetitions (a measurement under a classical condition)")
        out.append(np.array([r[slot] for r in shots], dtype=np.uint8))
    return out


def state(task) -> tuple[np.ndarray, list]:
    """One run's final amplitudes and the measurements made on the way.
    task = (n, ops, slots, seed)."""
    n, ops, slots, seed = task
    records: list[list] = [[] for _ in range(slots)]
    with panics_as():
        reg = _register(n)
        _execute(reg, ops, uniform_draws(_rng(seed)), records)
        return np.asarray(zentrova_readout.amplitudes(reg)), records


def estimate(task) -> list[complex]:
    """Expectation values of Pauli sums on one run's final state.
    task = (n, ops, slots, observables, seed); an observable is a tuple of
    (coefficient, ((qubit, letter), ...)) with letters from "XYZ". Each
    distinct Pauli word is read off the state once, in one pass."""
    n, ops, slots, observables, seed = task
    with panics_as():
        reg = _register(n)
        _execute(reg, ops, uniform_draws(_rng(seed)), [[] for _ in range(slots)])
        terms = list(dict.fromkeys(paulis for obs in observables for _, paulis in obs))
        read = zentrova_program.expectations(
            reg, [[(1.0, "".join(p for _, p in paulis), [q for q, _ in paulis])] for paulis in terms])
        values = dict(zip(terms, read.tolist() if hasattr(read, "tolist") else list(read)))
    out = []
    for obs in observables:
        total = 0j
        for coefficient, paulis in obs:  # a fixed order of plain additions
            total += coefficient * values[paulis]
        out.append(total)
    return out


def density(task) -> np.ndarray:
    """The final density matrix of gates, channels and resets on n qubits,
    exactly. task = (n, ops)."""
    n, ops = task
    with panics_as():
        check_memory(2 * n, f"a density matrix of {n} qubits (a vector of {2 * n})")
        reg = _QR(2 * n)
        _RUN(reg, _noise.fused_density_ops(ops, n), False, _threads)
        return _noise.density_matrix(np.asarray(zentrova_readout.amplitudes(reg)), n)


_KINDS = {"sample": sample, "state": state, "estimate": estimate, "density": density}


def run_batch(kind: str, tasks: list, threads: int = 1) -> list:
    """A task for an executor: several circuits, results in order, each run
    on `threads` threads."""
    global _threads
    fn = _KINDS[kind]
    _threads = threads
    return [fn(t) for t in tasks]
