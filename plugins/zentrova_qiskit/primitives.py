"""ZentrovaSampler and ZentrovaEstimator: Qiskit's V2 primitives on zentrova.

Both take Qiskit's PUBs, with parameter binding and broadcasting as Qiskit's
own classes define them. Each point of a PUB's parameter sweep is one task:
its circuit, bound to numbers, and a seed derived from the primitive's seed
and the task's position (PUB, point), so the results are the same whether the
tasks run here or on an executor's workers.

The estimator is exact when no precision is asked: for each group of
qubit-wise commuting terms the state is turned to the group's basis and the
terms are read from the probabilities, with additions in a fixed order, so a
value has the same bits on every machine and every worker. With a precision it
adds normal noise of that width, as shots would.

Only the qubits a circuit acts on are simulated: an idle qubit is in |0>, so
a term's letters on idle qubits are numbers (Z 1, X and Y 0, a projector 1, 0
or 1/2) and leave the term. Parameter values that are NaN or infinite are
refused when the job is made, naming the parameter.
"""

import math
import warnings

import numpy as np
from qiskit.primitives import BaseEstimatorV2, BaseSamplerV2, PrimitiveJob
from qiskit.primitives.containers import (
    BitArray,
    DataBin,
    PrimitiveResult,
    PubResult,
    SamplerPubResult,
)
from qiskit.primitives.containers.estimator_pub import EstimatorPub
from qiskit.primitives.containers.sampler_pub import SamplerPub

from _zentrova_common import check_finite

from . import _dispatch
from ._translate import UnsupportedInstruction, bind, read
from .backend import noisy_program
from .noise import NoiseTable


def _read(pub, i: int, cache: dict, noise=None):
    """The PUB's circuit, read once per run however many PUBs share it, its
    parameter values checked to be finite."""
    prog = cache.get(id(pub.circuit))
    if prog is None:
        try:
            prog = cache[id(pub.circuit)] = read(pub.circuit, noise)
        except UnsupportedInstruction as e:
            raise UnsupportedInstruction(f"PUB {i}: {e}") from None
    if prog.parameters:
        values = pub.parameter_values.as_array(prog.parameters).reshape(-1, len(prog.parameters))
        for k, parameter in enumerate(prog.parameters):
            check_finite([values[:, k]], f"PUB {i}: parameter '{parameter.name}'")
    return prog


def _points(pub, prog):
    """The parameter values of each point of the PUB's sweep, flattened in C
    order, as dicts from Parameter to float."""
    bindings = pub.parameter_values
    shape = bindings.shape
    count = math.prod(shape)
    if not prog.parameters:
        return shape, [{}] * count
    values = bindings.as_array(prog.parameters).reshape(count, len(prog.parameters)).tolist()
    return shape, [dict(zip(prog.parameters, row)) for row in values]


def _pack(bits: np.ndarray, clbits: list[int]) -> np.ndarray:
    """(shots, clbits) of 0/1 to BitArray's bytes: the register's last bit in
    the first byte's highest place, bit 0 the last byte's lowest."""
    sel = bits[:, clbits[::-1]]
    sel = np.pad(sel, ((0, 0), (-len(clbits) % 8, 0)))
    return np.packbits(sel, axis=1)


class ZentrovaSampler(BaseSamplerV2):
    """SamplerV2 on zentrova. Circuits whose measurements all come at the end
    run once per parameter point and their shots are drawn from the exact
    probabilities (numpy's generator, seeded by seed); circuits with
    measurements in the middle, resets or conditions run shot by shot, each
    measurement drawn by the same generator.

    executor: any concurrent.futures.Executor; each parameter point of each
    PUB becomes one task for it.

    threads: as for ZentrovaBackend (None, the default: every usable core; one
    per task on an executor unless given).
    """

    def __init__(self, *, default_shots: int = 1024, seed=None, executor=None,
                 threads: int | None = None, noise_model=None):
        self._default_shots = default_shots
        self._seed = seed
        self.executor = executor
        self._threads = _dispatch.thread_counts(threads)
        self._noise = NoiseTable.from_model(noise_model)

    @property
    def default_shots(self) -> int:
        return self._default_shots

    @property
    def seed(self):
        return self._seed

    @_dispatch.collector_paused
    def run(self, pubs, *, shots: int | None = None) -> PrimitiveJob:
        if shots is None:
            shots = self._default_shots
        coerced = [SamplerPub.coerce(pub, shots) for pub in pubs]
        for pub in coerced:
            pub.validate()
        if any(not pub.circuit.cregs for pub in coerced):
            warnings.warn("One of your circuits has no output classical registers and so the "
                          "result will be empty. Did you mean to add measurement instructions?",
                          UserWarning, stacklevel=2)
        cache: dict = {}
        programs = [_read(pub, i, cache, self._noise) for i, pub in enumerate(coerced)]
        job = PrimitiveJob(self._run, coerced, programs, _dispatch.root_entropy(self._seed))
        job._submit()
        return job

    def _run(self, pubs, programs, entropy) -> PrimitiveResult:
        shapes = [pub.parameter_values.shape for pub in pubs]

        def tasks():
            for i, (pub, prog) in enumerate(zip(pubs, programs)):
                for j, values in enumerate(_points(pub, prog)[1]):
                    if prog.noisy:
                        program = noisy_program(prog, "statevector")
                        program = (program[0], bind(program[1], values), *program[2:])
                        yield ("noisy", (prog.layout.width, prog.num_clbits, program, pub.shots,
                                         (entropy, (i, j)), "statevector"))
                        continue
                    if prog.final:
                        program = ("final", bind(prog.gates, values), prog.measures)
                    else:
                        program = ("shots", bind(prog.ops, values))
                    yield ("sample", (prog.layout.width, prog.num_clbits, program, pub.shots,
                                      (entropy, (i, j)), False))
        total = sum(math.prod(shape) for shape in shapes)
        outcomes = _dispatch.run("tagged", tasks(), self.executor, total, self._threads)
        results, k = [], 0
        for pub, shape in zip(pubs, shapes):
            count = math.prod(shape)
            circuit = pub.circuit
            meas = {}
            for creg in circuit.cregs:
                clbits = [circuit.find_bit(b).index for b in creg]
                packed = [_pack(bits, clbits) for bits, _ in outcomes[k:k + count]]
                array = np.stack(packed) if packed else np.zeros((0, pub.shots, 0), np.uint8)
                array = array.reshape(shape + (pub.shots, (creg.size + 7) // 8))
                meas[creg.name] = BitArray(array, creg.size)
            k += count
            results.append(SamplerPubResult(
                DataBin(**meas, shape=shape),
                metadata={"shots": pub.shots, "circuit_metadata": circuit.metadata}))
        return PrimitiveResult(results, metadata={"version": 2})


def _terms(observable) -> tuple:
    """An observable as a tuple of (coefficient, letters, qubits), letters
    sorted by qubit: from a SparseObservable, or a {label: coefficient} dict
    as older Qiskit versions keep them."""
    if isinstance(observable, dict):
        items = []
        for label, coeff in observable.items():
            pairs = [(q, ch) for q, ch in enumerate(reversed(label)) if ch != "I"]
            items.append((pairs, coeff))
    else:
        items = [(sorted(zip(qubits, letters)), coeff)
                 for letters, qubits, coeff in observable.to_sparse_list()]
    return tuple((float(np.real(coeff)), "".join(ch for _, ch in pairs),
                  tuple(q for q, _ in pairs)) for pairs, coeff in items)


# What a letter of a term reads on an idle qubit, in |0>.
_IDLE = {"I": 1.0, "Z": 1.0, "0": 1.0, "1": 0.0, "X": 0.0, "Y": 0.0,
         "+": 0.5, "-": 0.5, "r": 0.5, "l": 0.5}


def _packed(terms: tuple, layout) -> tuple:
    """Terms in the numbering of the qubits simulated, letters on idle qubits
    folded into the coefficient (by powers of two: exactly)."""
    if layout.is_identity:
        return terms
    out = []
    for coeff, letters, qubits in terms:
        kept = [(layout.dense[q], ch) for ch, q in zip(letters, qubits) if q in layout.dense]
        for ch, q in zip(letters, qubits):
            if q not in layout.dense:
                coeff *= _IDLE[ch]
        out.append((coeff, "".join(ch for _, ch in kept), tuple(q for q, _ in kept)))
    return tuple(out)


def _observables(array) -> np.ndarray:
    if hasattr(array, "sparse_observables_array"):
        return array.sparse_observables_array()
    out = np.empty(array.shape, dtype=object)
    for idx in np.ndindex(array.shape):
        out[idx] = array[idx]
    return out


class ZentrovaEstimator(BaseEstimatorV2):
    """EstimatorV2 on zentrova: exact expectation values when the precision is
    0 (the default), exact values plus normal noise of the given width
    otherwise (seeded by seed). Observables are taken as Hermitian: the real
    parts of their coefficients are used.

    A reset is applied to the state as StatevectorEstimator applies it: a
    qubit sure to read 0 or 1 is put in |0> exactly; one that could read
    either is measured, its outcome drawn from its probabilities (seeded by
    seed, apart from the noise), so the value is that of the state along one
    outcome, as StatevectorEstimator gives it, not an average over outcomes.

    executor: any concurrent.futures.Executor; each parameter point of each
    PUB, with all the observables broadcast against it, becomes one task.

    threads: as for ZentrovaBackend.
    """

    def __init__(self, *, default_precision: float = 0.0, seed=None, executor=None,
                 threads: int | None = None, noise_model=None):
        self._default_precision = default_precision
        self._seed = seed
        self.executor = executor
        self._threads = _dispatch.thread_counts(threads)
        self._noise = NoiseTable.from_model(noise_model)

    @property
    def default_precision(self) -> float:
        return self._default_precision

    @property
    def seed(self):
        return self._seed

    @_dispatch.collector_paused
    def run(self, pubs, *, precision: float | None = None) -> PrimitiveJob:
        if precision is None:
            precision = self._default_precision
        coerced = [EstimatorPub.coerce(pub, precision) for pub in pubs]
        programs, cache = [], {}
        for i, pub in enumerate(coerced):
            pub.validate()
            prog = _read(pub, i, cache, self._noise)
            if prog.measures or not prog.final and any(op[0] in ("measure", "if")
                                                       for op in prog.ops):
                raise UnsupportedInstruction(
                    f"PUB {i}: the estimator runs circuits without measurements or "
                    "conditions")
            programs.append(prog)
        job = PrimitiveJob(self._run, coerced, programs, _dispatch.root_entropy(self._seed))
        job._submit()
        return job

    def _run(self, pubs, programs, entropy) -> PrimitiveResult:
        layouts: list = []

        def tasks():
            for i, (pub, prog) in enumerate(zip(pubs, programs)):
                param_shape, points = _points(pub, prog)
                shape = pub.shape
                which = np.broadcast_to(np.arange(len(points)).reshape(param_shape), shape)
                observables = np.broadcast_to(_observables(pub.observables), shape)
                by_point: list[list] = [[] for _ in points]
                cache: dict[int, tuple] = {}
                for idx in np.ndindex(shape):
                    obs = observables[idx]
                    terms = cache.get(id(obs))
                    if terms is None:
                        terms = cache[id(obs)] = _packed(_terms(obs), prog.layout)
                    by_point[which[idx]].append((idx, terms))
                layouts.append((shape, by_point))
                for j, values in enumerate(points):
                    if by_point[j]:
                        # a noisy circuit's values are exact, from its density matrix
                        yield ("estimate_noisy" if prog.noisy else "estimate",
                               (prog.layout.width,
                                bind(prog.gates if prog.final else prog.ops, values),
                                [terms for _, terms in by_point[j]], pub.precision,
                                (entropy, (i, j))))
        # Every point of a sweep meets some observable, unless the broadcast
        # shape is empty.
        total = sum(math.prod(pub.parameter_values.shape) if math.prod(pub.shape) else 0
                    for pub in pubs)
        outcomes = iter(_dispatch.run("tagged", tasks(), self.executor, total,
                                       self._threads))
        results = []
        for pub, (shape, by_point) in zip(pubs, layouts):
            evs = np.zeros(shape)
            for entries in by_point:
                if entries:
                    for (idx, _), value in zip(entries, next(outcomes)):
                        evs[idx] = value
            stds = np.full(shape, float(pub.precision))
            results.append(PubResult(
                DataBin(evs=evs, stds=stds, shape=shape),
                metadata={"target_precision": pub.precision,
                          "circuit_metadata": pub.circuit.metadata}))
        return PrimitiveResult(results, metadata={"version": 2})
