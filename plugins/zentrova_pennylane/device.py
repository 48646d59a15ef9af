"""The zentrova.qubit device: PennyLane's device interface over a zentrova register.

PennyLane's own transforms bring a circuit to what the register runs: mid-circuit
measurements are deferred (to extra wires where their wires are used again), unsupported gates
decomposed (state preparation included), and measurements that need a rotation to the
computational basis (any with shots; without, variances and probabilities of observables) split
into groups that can be taken together and rotated. Exact expectation values need no rotation:
all of a circuit's come from its one state. Each resulting circuit then runs on a fresh
register as one program (simulate.run), in this process or spread over an executor's processes;
a broadcast circuit stays one circuit unless it has shots."""

from dataclasses import replace

import numpy as np
from pennylane.devices import Device, ExecutionConfig
from pennylane.devices.modifiers import simulator_tracking, single_tape_support
from pennylane.devices.preprocess import (
    decompose,
    validate_device_wires,
    validate_measurements,
)
from pennylane.exceptions import DecompositionUndefinedError, DeviceError
from pennylane.measurements import (
    ClassicalShadowMP,
    ExpectationMP,
    SampleMeasurement,
    ShadowExpvalMP,
    StateMeasurement,
)
from pennylane.operation import Channel
from pennylane.ops import QubitUnitary
from pennylane.transforms import (
    broadcast_expand,
    defer_measurements,
    diagonalize_measurements,
    split_non_commuting,
)
from pennylane.transforms.core import CompilePipeline, transform

from _zentrova_common import check_finite, check_max_workers, check_threads

from . import adjoint, ops
from .simulate import batch_size, is_z_word, prepare, run

# What the graph-based decomposition aims for when it is switched on: the gates the register
# runs directly or through a written-out matrix.
TARGET_GATES = {name for name in ops.APPLY if name != "Projector"}


def _decomposer(op):
    """PennyLane's decomposition, or for an operation that has none but a matrix (on more wires
    than one operation of the engine takes), that matrix as a QubitUnitary, which PennyLane
    decomposes."""
    if op.has_decomposition:
        try:
            return op.decomposition()
        except DecompositionUndefinedError:
            pass  # some operations claim a decomposition they do not have
    if op.has_matrix:
        return [QubitUnitary(op.matrix(), wires=op.wires)]
    raise DecompositionUndefinedError


def _refuse_non_finite(circuits, operations=lambda op: True):
    # A NaN or infinite parameter would make every value NaN, or samples made up: refused
    # before any work, on every path (runs and derivatives alike).
    for c in circuits:
        measured = [mp.obs for mp in c.measurements if mp.obs is not None]
        checked = [op for op in c.operations if operations(op)] + measured
        try:
            # Plain numbers all: one look at them together.
            if np.isfinite(np.array([d for op in checked for d in op.data],
                                    dtype=np.complex128)).all():
                continue
        except (TypeError, ValueError):
            pass  # arrays, matrices, symbols: one operation at a time
        for op in checked:
            check_finite(op.data, lambda: f"zentrova.qubit: {op.name} on wires {op.wires.tolist()}")


def _null_postprocessing(results):
    return results[0]


@transform
def refuse_non_finite(tape):
    """The same refusal at the start of preprocessing, for what preprocessing would take apart
    (operations the device does not run itself, observables): a non-finite matrix fails there
    first otherwise, with numpy's error (a QubitUnitary on two wires: "Eigenvalues did not
    converge"). The others are checked when the circuit runs, once. Noise channels and mixed
    states are refused here too, pointing to the device that runs them."""
    for op in tape.operations:
        if isinstance(op, Channel) or op.name == "QubitDensityMatrix":
            raise DeviceError(
                f"{op.name} on wires {op.wires.tolist()} is not supported on zentrova.qubit, "
                "which simulates pure states: noise channels and mixed states run on "
                'qml.device("zentrova.mixed", wires=...)')
    _refuse_non_finite([tape], lambda op: not ops.supported(op))
    return (tape,), _null_postprocessing


def _is_diagonal(obs):
    if obs.name in ("PauliZ", "Identity"):
        return True
    if obs.name in ("Prod", "Sum", "LinearCombination"):
        return all(_is_diagonal(o) for o in obs.operands)
    return obs.name == "SProd" and _is_diagonal(obs.base)


def _is_sum(obs):
    return obs is not None and (
        obs.name in ("Sum", "LinearCombination") or (obs.name == "SProd" and _is_sum(obs.base))
    )


def _measured_whole(mp):
    """A sum whose statistics are not those of its terms (a variance, samples): it has to be
    rotated to its own eigenbasis as one observable."""
    return _is_sum(mp.obs) and not isinstance(mp, ExpectationMP)


def _unrotated(mp, shots):
    """Whether the measurement is taken from the circuit's own state, with no rotation: an
    analytic expectation value of any observable (simulate.expectation) and anything whose
    observable is already diagonal."""
    return mp.obs is None or is_z_word(mp.obs) or (not shots and isinstance(mp, ExpectationMP))


@transform
def expand_sampled_broadcast(tape):
    """A broadcast circuit with shots as one circuit a parameter set (PennyLane's
    broadcast_expand); an analytic one runs whole, every set from one program."""
    if tape.shots and batch_size(tape) is not None:
        return broadcast_expand(tape)
    return (tape,), _null_postprocessing


@transform
def group_measurements(tape):
    """Without shots, every expectation value (of a sum, of observables that do not commute)
    comes from one state: one circuit, whatever the terms. What still needs a rotation (the
    probabilities of an observable, a variance) and, with shots, every measurement goes
    through PennyLane's split into qubit-wise commuting groups, skipped where there is nothing
    to split (it costs more than running a small circuit). PennyLane cannot split a variance or
    samples of a sum into terms: each such measurement gets a circuit of its own."""
    mps = tape.measurements
    if all(_unrotated(mp, tape.shots) for mp in mps):
        return (tape,), _null_postprocessing
    if not tape.shots and any(_unrotated(mp, None) for mp in mps):
        kept = [i for i, mp in enumerate(mps) if _unrotated(mp, None)]
        rest = [i for i in range(len(mps)) if i not in kept]
        return _in_parts(tape, [kept, rest], group_measurements)
    whole = [i for i, mp in enumerate(mps) if _measured_whole(mp)]
    if not whole:
        return split_non_commuting(tape, grouping_strategy="qwc")
    rest = [i for i in range(len(mps)) if i not in whole]
    return _in_parts(tape, [rest] + [[i] for i in whole], _split_unless_whole)


def _split_unless_whole(tape):
    if len(tape.measurements) == 1 and _measured_whole(tape.measurements[0]):
        return (tape,), _null_postprocessing
    return group_measurements(tape)


def _in_parts(tape, parts, split):
    """The tape's measurements in parts (lists of their indices, empty ones skipped), each part
    split by split(tape of its measurements); the results put back in the tape's order."""
    mps = tape.measurements
    tapes, fns = [], []
    for indices in parts:
        if not indices:
            continue
        batch, fn = split(tape.copy(measurements=[mps[i] for i in indices]))
        tapes.extend(batch)
        fns.append((indices, len(batch), fn))

    def reassemble(results):
        out, start = [None] * len(mps), 0
        partitioned = tape.shots.has_partitioned_shots
        for indices, count, fn in fns:
            res = fn(results[start : start + count])
            start += count
            bins = res if partitioned else (res,)
            for k, i in enumerate(indices):
                out[i] = [b[k] if len(indices) > 1 else b for b in bins]
        bins = [tuple(p[b] for p in out) for b in range(len(out[0]))]
        return tuple(bins) if partitioned else bins[0]

    return tapes, reassemble


@transform
def diagonalize(tape):
    """PennyLane's rotation of Pauli observables to Z, where there is one to rotate; a sum
    measured whole is left to rotate_remaining_observables."""
    if all(_unrotated(mp, tape.shots) or _measured_whole(mp) for mp in tape.measurements):
        return (tape,), _null_postprocessing
    return diagonalize_measurements(tape)


@transform
def rotate_remaining_observables(tape):
    """Rotates the observables that diagonalize_measurements leaves (Hermitian, Projector, ...)
    to the computational basis: their diagonalising gates go at the end of the circuit and the
    measurement keeps their eigenvalues over their wires. Earlier splitting has left at most
    one such observable on any wire. A diagonal observable that is not a plain Z word (a sum
    of them) keeps the diagonal of its matrix: PennyLane would list its eigenvalues sorted,
    not in the order of the basis states."""
    gates, measurements, seen = [], [], set()
    for mp in tape.measurements:
        obs = mp.obs
        if _unrotated(mp, tape.shots) or obs.name == "SparseHamiltonian":
            measurements.append(mp)
            continue
        if _is_diagonal(obs):
            diag = np.real(np.diag(obs.matrix(wire_order=obs.wires)))
            measurements.append(type(mp)(eigvals=diag, wires=obs.wires))
            continue
        if seen & set(obs.wires):
            raise DeviceError(f"zentrova.qubit cannot measure {obs} with another on its wires")
        seen |= set(obs.wires)
        if _is_sum(obs):
            # One eigendecomposition for both the rotation and the eigenvalues, so that
            # they are listed in the same order.
            eigvals, vectors = np.linalg.eigh(obs.matrix(wire_order=obs.wires))
            gates.append(QubitUnitary(vectors.conj().T, wires=obs.wires))
        else:
            gates.extend(obs.diagonalizing_gates())
            eigvals = obs.eigvals()
        measurements.append(type(mp)(eigvals=eigvals, wires=obs.wires))
    if measurements == list(tape.measurements):
        return (tape,), _null_postprocessing
    new = tape.copy(operations=tape.operations + gates, measurements=measurements)
    return (new,), _null_postprocessing


def _analytic_measurement(mp):
    return isinstance(mp, StateMeasurement)


def _sample_measurement(mp):
    if isinstance(mp, (ClassicalShadowMP, ShadowExpvalMP)):
        return False
    return isinstance(mp, SampleMeasurement) and (
        mp.obs is None or mp.obs.name != "SparseHamiltonian"
    )


class _Mapper:
    """Runs a module-level function over a list of argument tuples, in this process or on a
    pool; `threads` is the thread count each run may use. What the adjoint gets from the device
    instead of the device itself."""

    def __init__(self, pool, threads):
        self.pool = pool
        self.threads = threads

    @property
    def pooled(self):
        return self.pool is not None

    def __call__(self, fn, args):
        args = list(args)
        if self.pool is None or len(args) < 2:
            return [fn(*a) for a in args]
        return list(self.pool.starmap(fn, args))


@simulator_tracking
@single_tape_support
class ZentrovaQubit(Device):
    """PennyLane device running circuits on zentrova's exact, reproducible state-vector
    simulator.

    Args:
        wires (int, Iterable): the number of wires, or their labels. Without them, each
            circuit runs on a register of as many qubits as it has wires.
        shots: the default number of shots (deprecated by PennyLane in favour of
            ``qml.set_shots`` on the QNode).
        seed: seeds the numpy generator that draws samples: an int, a numpy Generator or
            SeedSequence, None for fresh entropy, or "global" (the default) for a seed taken
            from numpy's global generator, so that ``numpy.random.seed`` fixes it.
        max_workers (int): run the circuits of a batch (a gradient, a parameter scan) on a pool
            of that many processes; None runs them one after another in this process.
        threads (int): how many threads a large register's passes (and the adjoint's) use,
            the same bits on any count; None (the default) means every core the process may
            use, or one a worker when the circuits go to a pool of max_workers processes.

    Refused with a clear error: a bad max_workers or threads (ValueError, when the device is
    made), a NaN or infinite gate parameter (ValueError, before any work), a register or
    result too large for the memory available (DeviceError, before zentrova is asked). Only
    the wires a circuit acts on are simulated.
    """

    _device_options = ("max_workers",)

    def __init__(self, wires=None, shots=None, seed="global", max_workers=None, threads=None):
        check_max_workers(max_workers)
        # None: every usable core, counted once here; a pool's worker gets one (_map).
        self._threads = threads
        self._usable = check_threads(threads)
        super().__init__(wires=wires, shots=shots)
        if isinstance(seed, str) and seed == "global":
            seed = np.random.randint(0, high=10000000)
        self._rng = np.random.default_rng(seed)
        self._max_workers = max_workers
        self._executor = None
        self._executor_key = None

    @property
    def name(self):
        return "zentrova.qubit"

    def supports_derivatives(self, execution_config=None, circuit=None):
        # Adjoint differentiation for analytic runs; otherwise PennyLane's parameter shift.
        return adjoint.supports(execution_config, circuit)

    def supports_vjp(self, execution_config=None, circuit=None):
        return adjoint.supports(execution_config, circuit)

    # Without a configuration, derivatives are the device's adjoint ones under the default
    # options, as on default.qubit and lightning.qubit.

    def compute_derivatives(self, circuits, execution_config=None):
        return self.execute_and_compute_derivatives(circuits, execution_config)[1]

    def execute_and_compute_derivatives(self, circuits, execution_config=None):
        _refuse_non_finite(circuits)
        config = execution_config or ExecutionConfig()
        return adjoint.execute_and_compute_derivatives(self._wires_of, circuits,
                                                       self._map(config, len(circuits)))

    def compute_vjp(self, circuits, cotangents, execution_config=None):
        _refuse_non_finite(circuits)
        config = execution_config or ExecutionConfig()
        return adjoint.compute_vjp(self._wires_of, circuits, cotangents,
                                   self._map(config, len(circuits)))

    def execute_and_compute_vjp(self, circuits, cotangents, execution_config=None):
        config = execution_config or ExecutionConfig()
        values = self.execute(circuits, config)
        return values, self.compute_vjp(circuits, cotangents, config)

    def setup_execution_config(self, config=None, circuit=None):
        config = config or ExecutionConfig()
        for option in config.device_options:
            if option not in self._device_options:
                raise DeviceError(f"device option {option} not present on {self}")
        method = config.mcm_config.mcm_method
        if method not in (None, "deferred"):
            method = getattr(method, "value", method)  # PennyLane's enum, named by its value
            raise DeviceError(
                f"mcm_method {method!r} is not supported on zentrova.qubit; it defers "
                "mid-circuit measurements (mcm_method='deferred')"
            )
        mcm = replace(config.mcm_config, mcm_method="deferred")
        options = dict(config.device_options)
        options.setdefault("max_workers", self._max_workers)
        check_max_workers(options["max_workers"])
        updated = {"mcm_config": mcm, "device_options": options}
        adjoint.setup(config, circuit, updated)
        return replace(config, **updated)

    def preprocess_transforms(self, execution_config=None):
        if adjoint.wanted(execution_config):
            return adjoint.preprocess_transforms(self.wires, self.name, _decomposer,
                                                 refuse_non_finite)
        program = CompilePipeline()
        program.add_transform(refuse_non_finite)
        program.add_transform(defer_measurements, allow_postselect=True)
        # After deferring: each mid-circuit measurement has taken a wire of its own.
        program.add_transform(validate_device_wires, self.wires, name=self.name)
        decomposition = {
            "stopping_condition": ops.supported,
            "skip_initial_state_prep": False,
            "decomposer": _decomposer,
            "name": self.name,
        }
        program.add_transform(
            decompose, device_wires=self.wires, target_gates=TARGET_GATES, **decomposition
        )
        program.add_transform(group_measurements)
        program.add_transform(diagonalize)
        program.add_transform(rotate_remaining_observables)
        # The rotations just added may need decomposing themselves (a Hermitian on two wires).
        program.add_transform(decompose, **decomposition)
        program.add_transform(
            validate_measurements,
            analytic_measurements=_analytic_measurement,
            sample_measurements=_sample_measurement,
            name=self.name,
        )
        program.add_transform(expand_sampled_broadcast)
        return program

    def execute(self, circuits, execution_config=None):
        execution_config = execution_config or ExecutionConfig()
        _refuse_non_finite(circuits)
        # Circuits the adjoint's preprocessing gave come here for their values alone: analytic
        # expectation values, which the plain path reads off the state without rotation.
        postselect_mode = execution_config.mcm_config.postselect_mode
        # One seed per sampled circuit, drawn in order: results are the same with or without
        # a pool, and exact circuits in between do not change them.
        seeds = [int(self._rng.integers(2**63 - 1)) if c.shots else None for c in circuits]
        mapper = self._map(execution_config, len(circuits))
        threads = mapper.threads
        args = [
            (c, self.wires if self.wires is not None else c.wires, s, postselect_mode, threads)
            for c, s in zip(circuits, seeds)
        ]
        if mapper.pooled:
            args = [(prepare(c, w), w, *rest) for c, w, *rest in args]
        return tuple(mapper(run, args))

    def _wires_of(self, used):
        """The wires a circuit using `used` (labels in its own order) runs on: only those, in
        the device's order."""
        if self.wires is None:
            return list(used)
        return [w for w in self.wires if w in used]

    def _map(self, config, batch):
        """A _Mapper for the configuration: the device's pool where it has max_workers and the
        batch has two circuits or more, else this process."""
        max_workers = config.device_options.get("max_workers", self._max_workers)
        pool = None
        if max_workers and batch > 1:
            pool = self._pool(config.executor_backend, max_workers)
        # A pool's workers take one thread each unless told otherwise: the pool never
        # oversubscribes the machine.
        threads = self._usable if self._threads is not None or pool is None else 1
        return _Mapper(pool, min(threads, 1024))  # the engine's most

    def _pool(self, backend, max_workers):
        # The pool outlives one batch: starting worker processes, each importing PennyLane,
        # would cost more than a gradient's circuits take to run.
        key = (backend, max_workers)
        if self._executor is None or self._executor_key != key:
            self.close()
            self._executor = backend(max_workers=max_workers, persist=True)
            self._executor_key = key
        return self._executor

    def close(self):
        """Stops the device's worker processes, if it started any."""
        if self._executor is not None:
            self._executor.shutdown()
            self._executor = None

    def __del__(self):
        try:
            self.close()
        except Exception:  # noqa: BLE001 - interpreter shutdown may have torn down the pool
            pass

