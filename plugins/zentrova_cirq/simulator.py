"""ZentrovaSimulator: zentrova behind Cirq's simulator interfaces, a drop-in
for cirq.Simulator.

Each parameter point of a call is one task, plain data for _worker: the
circuit resolved and read into zentrova's calls, and a seed derived from one
number the simulator's generator gives for the call and the point's position.
So a seeded simulator repeats every result, whether the tasks run here or on
an executor's workers.
"""

import itertools
from typing import Any

import cirq
import numpy as np
from _zentrova_common import check_finite, check_memory, check_threads

from . import _worker
from ._translate import MAX_QUBITS, UnsupportedOperation, read

MAX_BATCHES = 64
# A state vector given as initial_state is prepared by 2^n - 1 controlled
# rotations; beyond this many qubits that costs more than it is worth.
MAX_PREPARED_QUBITS = 20
_TERMINAL = ("Provided circuit has terminal measurements, which may skew expectation values. "
             "If this is intentional, set permit_terminal_measurements=True.")


def _run_tasks(kind: str, tasks: list, executor, threads: int, pool_threads: int) -> list:
    """Results of the tasks in order: here on `threads` threads, or on the
    executor in at most MAX_BATCHES batches (a sweep of thousands of points
    does not pay a round trip each), each task on `pool_threads`."""
    if executor is None or not tasks:
        return _worker.run_batch(kind, tasks, threads)
    batches = min(len(tasks), MAX_BATCHES)
    size, extra = divmod(len(tasks), batches)
    stream = iter(tasks)
    futures = [executor.submit(_worker.run_batch, kind,
                               list(itertools.islice(stream, size + (b < extra))), pool_threads)
               for b in range(batches)]
    return [r for f in futures for r in f.result()]


def _compact(ops, n: int) -> tuple[dict, list]:
    dense, ops = _worker.compact(ops, n)
    check_memory(len(dense), "a state vector")
    return dense, ops


def _prepare(state: np.ndarray, n: int) -> list:
    """zentrova calls that take |0...0> to `state` (zentrova's index order):
    qubit by qubit from the highest, a rotation under every value of the
    qubits above, which splits each branch's weight between 0 and 1; the last
    qubit's rotations also set the phases. Controls on 0 are x gates, flipped
    in Gray-code order so that each value costs one flip."""
    if n > MAX_PREPARED_QUBITS:
        raise ValueError(f"an initial state vector is prepared up to {MAX_PREPARED_QUBITS} qubits, "
                         f"not {n}: pass a basis state as an int instead")
    ops: list = []
    weights = np.abs(state) ** 2
    for q in range(n - 1, -1, -1):
        k = n - 1 - q  # qubits above q
        halves = weights.reshape(1 << k, 2, 1 << q).sum(axis=2)
        above = list(range(n - 1, q, -1))  # bit j of a prefix value is qubit above[k-1-j]
        flipped = 0
        for g in range(1 << k):
            v = g ^ (g >> 1)
            r0, r1 = halves[v]
            r = np.sqrt(r0 + r1)
            if r == 0:
                continue
            if q == 0:
                a, b = state[2 * v] / r, state[2 * v + 1] / r
                m = (complex(a), complex(-np.conj(b)), complex(b), complex(np.conj(a)))
            else:
                c, s = np.sqrt(r0) / r, np.sqrt(r1) / r
                m = (complex(c), complex(-s), complex(s), complex(c))
            want = ~v & ((1 << k) - 1)  # bits of v that are 0 need a flip
            for j in range(k):
                if (want ^ flipped) >> j & 1:
                    ops.append(("x", (above[k - 1 - j],)))
            flipped = want
            ops.append(("mcu", (above, q, *m)) if k else ("u", (q, *m)))
        for j in range(k):
            if flipped >> j & 1:
                ops.append(("x", (above[k - 1 - j],)))
    return ops


class ZentrovaSimulator(cirq.SimulatesSamples, cirq.SimulatesAmplitudes,
                        cirq.SimulatesFinalState, cirq.SimulatesExpectationValues):
    """zentrova's exact double-precision state vector behind Cirq's sampling,
    amplitude, final-state and expectation-value interfaces.

    dtype: the dtype of the state vectors returned (complex128, the default,
    or complex64); zentrova computes in double precision either way.
    seed: an int, a numpy Generator, RandomState or SeedSequence, or None for
    fresh entropy. As with cirq.Simulator, a simulator made with the same seed
    repeats the same results call for call.
    executor: any concurrent.futures.Executor (a ProcessPoolExecutor, a Dask
    client's get_executor()) for run_sweep and
    simulate_expectation_values_sweep; each parameter point is one task, and
    the results are the same bits as without it.
    noise: a channel, a cirq.NoiseModel or anything cirq.NoiseModel takes,
    added to every circuit as cirq.Simulator adds it. A circuit with channels
    (cirq.depolarize, cirq.amplitude_damp, anything with cirq.kraus or
    cirq.mixture) runs as seeded trajectories: every repetition of run() is
    one, and simulate() gives one trajectory's state.
    threads: how many threads a large state's passes may use, an int of 1 or
    more, or None (the default) for every core the process may use (its
    affinity mask and cgroup CPU quota). On an executor each task takes one
    thread unless threads is given. The results are the same bits on any
    count.
    """

    def __init__(self, *, dtype=np.complex128, noise=None, seed=None, executor=None,
                 split_untangled_states: bool = True, threads: int | None = None):
        if np.dtype(dtype) not in (np.dtype(np.complex64), np.dtype(np.complex128)):
            raise ValueError(f"dtype must be complex64 or complex128, not {dtype!r}")
        self._noise = cirq.NoiseModel.from_noise_model_like(noise)
        self._dtype = np.dtype(dtype)
        self._seeded = seed is not None
        if isinstance(seed, (np.random.Generator, np.random.RandomState)):
            self._prng = seed
        else:
            self._prng = np.random.default_rng(seed)
        self.executor = executor
        self._threads = check_threads(threads)
        self._pool_threads = 1 if threads is None else self._threads

    def _tasks(self, kind: str, tasks: list, executor) -> list:
        return _run_tasks(kind, tasks, executor or self.executor, self._threads, self._pool_threads)

    # --- what every call shares -------------------------------------------

    def _entropy(self) -> int | None:
        """One number for this call, from which each task's seed is derived;
        None without a seed (each task then takes fresh entropy)."""
        if not self._seeded:
            return None
        if isinstance(self._prng, np.random.RandomState):
            return int(self._prng.randint(0, 2**63 - 1, dtype=np.int64))
        return int(self._prng.integers(2**63))

    @staticmethod
    def _qubits(program, qubit_order, extra=()) -> list:
        return list(cirq.QubitOrder.as_qubit_order(qubit_order).order_for(
            set(program.all_qubits()).union(extra)))

    @staticmethod
    def _initial(initial_state, qubits) -> list:
        n = len(qubits)
        if initial_state is None or isinstance(initial_state, (int, np.integer)):
            value = int(initial_state or 0)
            if not 0 <= value < 1 << n:
                raise ValueError(f"initial state {value} is not a basis state of {n} qubits")
            return [("x", (q,)) for q in range(n) if value >> q & 1]
        state = cirq.to_valid_state_vector(initial_state, n, qid_shape=(2,) * n, dtype=np.complex128)
        check_finite((state,), "the initial state")
        return _prepare(state, n)

    def _programs(self, program, params, qubits, initial_state=None):
        """(resolver, read program) for every point of the sweep, refusing
        before any work what zentrova cannot run."""
        if self._noise is not cirq.NO_NOISE:
            program = cirq.Circuit(self._noise.noisy_moments(program, sorted(program.all_qubits())))
        prefix = self._initial(initial_state, qubits)
        out, cache = [], None
        parameterized = cirq.is_parameterized(program)
        for resolver in cirq.to_resolvers(params):
            if parameterized:
                circuit = cirq.resolve_parameters(program, resolver)
                if cirq.is_parameterized(circuit):
                    names = ", ".join(sorted(str(p) for p in cirq.parameter_names(circuit)))
                    raise ValueError(f"the circuit has unresolved parameters: {names}")
                prog = read(circuit, qubits)
            else:
                prog = cache = cache or read(program, qubits)
            out.append((resolver, prog))
        return prefix, out

    # --- sampling -----------------------------------------------------------

    def _run(self, circuit, param_resolver, repetitions: int) -> dict[str, np.ndarray]:
        results = self.run_sweep(circuit, param_resolver, repetitions)
        return dict(results[0].records)

    def run_sweep(self, program, params, repetitions: int = 1, *, executor=None) -> list:
        if not program.has_measurements():
            raise ValueError("Circuit has no measurements to sample.")
        if repetitions < 0:
            raise ValueError(f"repetitions must be 0 or more, not {repetitions}")
        qubits = self._qubits(program, cirq.QubitOrder.DEFAULT)
        prefix, programs = self._programs(program, params, qubits)
        entropy = self._entropy()
        tasks = []
        for i, (_, prog) in enumerate(programs):
            dense, ops = _compact(prefix + prog.ops, len(qubits))
            tasks.append((len(dense), ops, len(prog.keys), repetitions, (entropy, (i,))))
        if repetitions == 0:  # as cirq.Simulator: nothing runs
            return [cirq.ResultDict(params=resolver, records={k: np.empty([0, 1, 1]) for k in prog.keys})
                    for resolver, prog in programs]
        outcomes = self._tasks("sample", tasks, executor)
        return [cirq.ResultDict(params=resolver, records=dict(zip(prog.keys, records)))
                for (resolver, prog), records in zip(programs, outcomes)]

    def run_sweep_iter(self, program, params, repetitions: int = 1):
        yield from self.run_sweep(program, params, repetitions)

    # --- final states and amplitudes ------------------------------------------

    def _states(self, program, params, qubit_order, initial_state):
        qubits = self._qubits(program, qubit_order)
        check_memory(len(qubits), "a state vector")
        prefix, programs = self._programs(program, params, qubits, initial_state)
        entropy = self._entropy()
        for i, (resolver, prog) in enumerate(programs):
            # One state at a time: a sweep's iterator holds no more than the
            # state it hands out.
            amps, records = _worker.run_batch("state", [(len(qubits), prefix + prog.ops, len(prog.keys),
                                                         (entropy, (i,)))], self._threads)[0]
            if prog.phase != 1:
                amps = amps * prog.phase
            measured = {key: np.array(r[-1], dtype=np.uint8) for key, r in zip(prog.keys, records) if r}
            yield resolver, qubits, amps, measured

    def simulate_sweep_iter(self, program, params, qubit_order=cirq.QubitOrder.DEFAULT,
                            initial_state: Any = None):
        for resolver, qubits, amps, measured in self._states(program, params, qubit_order,
                                                             initial_state):
            state = cirq.StateVectorSimulationState(
                qubits=qubits, initial_state=amps.astype(self._dtype, copy=False).reshape((2,) * len(qubits)),
                dtype=self._dtype)
            yield cirq.StateVectorTrialResult(params=resolver, measurements=measured,
                                              final_simulator_state=state)

    def compute_amplitudes_sweep_iter(self, program, bitstrings, params,
                                      qubit_order=cirq.QubitOrder.DEFAULT):
        index = np.asarray(bitstrings, dtype=np.int64)
        if index.ndim > 1:  # as cirq.Simulator refuses it, and before any work
            raise ValueError("The list of bitstrings must be input as a 1-dimensional array of "
                             f"ints. Got an array with shape {index.shape}.")
        for _, _, amps, _ in self._states(program, params, qubit_order, None):
            yield [complex(a) for a in amps[index]]

    def simulate_moment_steps(self, circuit, param_resolver=None,
                              qubit_order=cirq.QubitOrder.DEFAULT, initial_state: Any = None):
        """Not offered: zentrova runs a circuit whole, and keeps no state
        between moments to hand out."""
        raise NotImplementedError(
            "ZentrovaSimulator does not step through moments: use simulate() or "
            "simulate_sweep() for final states (a circuit cut after a moment, circuit[:k], "
            "gives the state there), or cirq.Simulator for simulate_moment_steps")

    # --- expectation values ---------------------------------------------------

    def simulate_expectation_values_sweep(self, program, observables, params,
                                          qubit_order=cirq.QubitOrder.DEFAULT,
                                          initial_state: Any = None,
                                          permit_terminal_measurements: bool = False, *,
                                          executor=None) -> list[list[complex]]:
        if not permit_terminal_measurements and program.are_any_measurements_terminal():
            raise ValueError(_TERMINAL)
        if not isinstance(observables, list):
            observables = [observables]
        sums = [cirq.PauliSum.wrap(obs) for obs in observables]
        qubits = self._qubits(program, qubit_order, (q for s in sums for q in s.qubits))
        index = {q: len(qubits) - 1 - k for k, q in enumerate(qubits)}
        terms = []
        for s in sums:
            obs = []
            for ps in s:
                coefficient = complex(ps.coefficient)
                check_finite((coefficient,), f"the observable {s!r}")
                obs.append((coefficient, tuple(sorted((index[q], str(p)) for q, p in ps.items()))))
            terms.append(tuple(obs))
        prefix, programs = self._programs(program, params, qubits, initial_state)
        entropy = self._entropy()
        tasks = []
        for i, (_, prog) in enumerate(programs):
            dense, ops = _compact(prefix + prog.ops, len(qubits))
            # On a qubit no gate touches, Z reads 1, X and Y 0.
            on_dense = tuple(tuple((c, tuple((dense[q], p) for q, p in paulis if q in dense))
                                   for c, paulis in obs
                                   if all(q in dense or p == "Z" for q, p in paulis))
                             for obs in terms)
            tasks.append((len(dense), ops, len(prog.keys), on_dense, (entropy, (i,))))
        return self._tasks("estimate", tasks, executor)

    def simulate_expectation_values_sweep_iter(self, program, observables, params,
                                               qubit_order=cirq.QubitOrder.DEFAULT,
                                               initial_state: Any = None,
                                               permit_terminal_measurements: bool = False):
        yield from self.simulate_expectation_values_sweep(
            program, observables, params, qubit_order, initial_state, permit_terminal_measurements)


class ZentrovaDensityMatrixSimulator(cirq.SimulatesSamples, cirq.SimulatesFinalState,
                                     cirq.SimulatesExpectationValues):
    """Exact density matrices, a drop-in for cirq.DensityMatrixSimulator:
    simulate (the final density matrix), run (terminal measurements sampled
    from its diagonal) and expectation values, with channels and resets
    exact. rho on n qubits is a state vector of 2n qubits for zentrova's
    engine (a gate U acts as U on the rows and conj(U) on the columns, a
    channel as its superoperator), so it needs the memory of a 2n-qubit state.
    Measurements in the middle of a circuit and classical conditions are
    refused; channels on more than 5 qubits too.

    dtype, noise, seed and threads as for ZentrovaSimulator.
    """

    def __init__(self, *, dtype=np.complex64, noise=None, seed=None,
                 split_untangled_states: bool = True, threads: int | None = None):
        if np.dtype(dtype) not in (np.dtype(np.complex64), np.dtype(np.complex128)):
            raise ValueError(f"dtype must be complex64 or complex128, not {dtype!r}")
        self._dtype = np.dtype(dtype)
        self._noise = cirq.NoiseModel.from_noise_model_like(noise)
        self._prng = seed if isinstance(seed, (np.random.Generator, np.random.RandomState)) \
            else np.random.default_rng(seed)
        self._threads = check_threads(threads)

    def _densities(self, program, params, qubit_order):
        """(resolver, qubits, rho, measurement keys and qubits) for every
        point of the sweep; the measurements must all be terminal."""
        qubits = list(cirq.QubitOrder.as_qubit_order(qubit_order).order_for(program.all_qubits()))
        n = len(qubits)
        check_memory(2 * n, f"a density matrix of {n} qubits (a vector of {2 * n})")
        if self._noise is not cirq.NO_NOISE:
            program = cirq.Circuit(self._noise.noisy_moments(program, sorted(program.all_qubits())))
        for resolver in cirq.to_resolvers(params):
            circuit = cirq.resolve_parameters(program, resolver)
            if cirq.is_parameterized(circuit):
                names = ", ".join(sorted(str(p) for p in cirq.parameter_names(circuit)))
                raise ValueError(f"the circuit has unresolved parameters: {names}")
            prog = read(circuit, qubits)
            gates, measures = [], []
            for op in prog.ops:
                if op[0] == "measure":
                    measures.append(op)
                elif op[0] == "if" or measures:
                    raise UnsupportedOperation(
                        "ZentrovaDensityMatrixSimulator runs measurements at the end only, "
                        "without classical conditions: use ZentrovaSimulator for the others")
                elif op[0] == "channel" and len(op[1]) > MAX_QUBITS // 2:
                    raise UnsupportedOperation(
                        f"a channel on {len(op[1])} qubits: the density matrix takes channels on "
                        f"at most {MAX_QUBITS // 2}")
                else:
                    gates.append(op)
            # A global phase (prog.phase) cancels in rho.
            rho = _worker.run_batch("density", [(n, gates)], self._threads)[0]
            yield resolver, qubits, rho, prog, measures

    def simulate_sweep_iter(self, program, params, qubit_order=cirq.QubitOrder.DEFAULT,
                            initial_state: Any = None):
        if initial_state not in (None, 0):
            raise ValueError("ZentrovaDensityMatrixSimulator starts from |0...0> only")
        for resolver, qubits, rho, _, _ in self._densities(program, params, qubit_order):
            # Made at |0...0> and then written, as Cirq's own operations write
            # it: given as initial_state, Cirq would first check rho by an
            # eigendecomposition that costs more than the whole simulation.
            state = cirq.DensityMatrixSimulationState(qubits=qubits, initial_state=0, dtype=self._dtype)
            state.target_tensor[...] = rho.reshape((2,) * (2 * len(qubits)))
            yield cirq.DensityMatrixTrialResult(params=resolver, measurements={},
                                                final_simulator_state=state)

    def _run(self, circuit, param_resolver, repetitions: int) -> dict[str, np.ndarray]:
        ((_, _, rho, prog, measures),) = list(
            self._densities(circuit, cirq.ParamResolver(param_resolver), cirq.QubitOrder.DEFAULT))
        p = np.clip(np.real(np.diagonal(rho)), 0.0, None)
        cdf = np.cumsum(p)
        rng = self._prng if isinstance(self._prng, np.random.Generator) else \
            np.random.default_rng(self._prng.randint(2**31))
        idx = np.searchsorted(cdf / cdf[-1], rng.random(repetitions), side="right")
        records: dict[str, list] = {key: [] for key in prog.keys}
        for _, mqubits, slot, invert in measures:
            bits = np.stack([np.full(repetitions, int(f)) if q is None else ((idx >> q) & 1) ^ f
                             for q, f in zip(mqubits, invert)], axis=1).astype(np.uint8)
            records[prog.keys[slot]].append(bits)
        return {key: np.stack(inst, axis=1) for key, inst in records.items()}

    def simulate_expectation_values_sweep_iter(self, program, observables, params,
                                               qubit_order=cirq.QubitOrder.DEFAULT,
                                               initial_state: Any = None,
                                               permit_terminal_measurements: bool = False):
        if not permit_terminal_measurements and program.are_any_measurements_terminal():
            raise ValueError(_TERMINAL)
        if not isinstance(observables, list):
            observables = [observables]
        sums = [cirq.PauliSum.wrap(obs) for obs in observables]
        extra = cirq.Circuit(cirq.I.on_each(*{q for s in sums for q in s.qubits}))
        for _, qubits, rho, _, _ in self._densities(program + extra, params, qubit_order):
            index = {q: i for i, q in enumerate(qubits)}
            yield [complex(s.expectation_from_density_matrix(rho, index, check_preconditions=False))
                   for s in sums]

    def simulate_expectation_values_sweep(self, program, observables, params,
                                          qubit_order=cirq.QubitOrder.DEFAULT,
                                          initial_state: Any = None,
                                          permit_terminal_measurements: bool = False):
        return list(self.simulate_expectation_values_sweep_iter(
            program, observables, params, qubit_order, initial_state, permit_terminal_measurements))


__all__ = ["ZentrovaSimulator", "ZentrovaDensityMatrixSimulator", "UnsupportedOperation"]
