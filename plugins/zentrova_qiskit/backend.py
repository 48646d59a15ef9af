"""ZentrovaBackend: zentrova as a Qiskit BackendV2, for backend.run() and
transpile(circuit, backend).

A circuit whose measurements all come at the end runs once; its shots are
drawn from the exact probabilities with numpy's generator, seeded by
seed_simulator. A circuit that measures in the middle, resets or branches on
measured bits runs once per shot, each measurement drawn by the same seeded
generator from the qubit's exact probabilities.

Only the qubits a circuit acts on are simulated (a circuit transpiled for a
127-qubit device may act on 5): idle qubits read 0. A result that needs the
whole register (save_statevector) is refused when it would not fit in memory,
as is a circuit whose qubits in use would not, before zentrova is asked.
"""

import uuid

import numpy as np
from qiskit.circuit import Delay, IfElseOp, Measure, Parameter, QuantumCircuit, Reset
from qiskit.circuit import library as lib
from qiskit.providers import BackendV2, JobStatus, JobV1, Options
from qiskit.quantum_info import Statevector
from qiskit.result import Result
from qiskit.result.models import ExperimentResult, ExperimentResultData
from qiskit.transpiler import Target

from _zentrova_common import check_memory, max_qubits

from . import _dispatch
from ._translate import UnsupportedInstruction, ZentrovaError, read
from .noise import NoiseTable, from_target

# Shot-by-shot circuits are split into pieces of at least this many shots
# when an executor is given, at most MAX_PIECES of them.
MIN_PIECE = 128
MAX_PIECES = 16


def _target(num_qubits: int | None = None) -> Target:
    t, p, l, g = (Parameter(s) for s in ("theta", "phi", "lam", "gamma"))
    target = Target(num_qubits=num_qubits, description="zentrova state-vector simulator")
    gates = [
        # zentrova's own gates, and the one-qubit matrix
        lib.XGate(), lib.HGate(), lib.RXGate(t), lib.RYGate(t), lib.RZGate(t), lib.CXGate(),
        lib.SwapGate(), lib.CCXGate(), lib.CSwapGate(), lib.UGate(t, p, l),
        # gates that are one call of that matrix, with or without controls
        lib.YGate(), lib.ZGate(), lib.SGate(), lib.SdgGate(), lib.TGate(), lib.TdgGate(),
        lib.SXGate(), lib.SXdgGate(), lib.PhaseGate(l), lib.RGate(t, p), lib.CYGate(),
        lib.CZGate(), lib.CHGate(), lib.CPhaseGate(l), lib.CRXGate(t), lib.CRYGate(t),
        lib.CRZGate(t), lib.CUGate(t, p, l, g), lib.CSGate(), lib.CSdgGate(), lib.CSXGate(),
        lib.CCZGate(), Measure(), Reset(), Delay(t),
        # gates that are one matrix or diagonal operation on their qubits
        lib.U1Gate(l), lib.U2Gate(p, l), lib.U3Gate(t, p, l), lib.CU1Gate(l),
        lib.CU3Gate(t, p, l), lib.RZZGate(t), lib.RXXGate(t), lib.RYYGate(t), lib.RZXGate(t),
        lib.ECRGate(), lib.iSwapGate(), lib.DCXGate(), lib.XXPlusYYGate(t, p),
        lib.XXMinusYYGate(t, p), lib.C3SXGate(), lib.RCCXGate(), lib.RC3XGate(),
    ]
    for gate in gates:
        target.add_instruction(gate, None)
    target.add_instruction(lib.MCXGate, name="mcx")
    target.add_instruction(lib.MCPhaseGate, name="mcphase")
    # any unitary, as one matrix up to ten qubits (by its definition beyond)
    target.add_instruction(lib.UnitaryGate, name="unitary")
    target.add_instruction(lib.DiagonalGate, name="diagonal")
    target.add_instruction(IfElseOp, name="if_else")
    return target


class ZentrovaJob(JobV1):
    """A run of circuits; result() waits for an executor's tasks."""

    def __init__(self, backend, job_id: str, collect, build):
        super().__init__(backend, job_id)
        self._collect, self._build, self._result = collect, build, None

    def submit(self):
        raise RuntimeError("a ZentrovaJob starts when backend.run() returns it")

    def result(self, timeout=None) -> Result:
        if self._result is None:
            self._result = self._build(self._collect())
        return self._result

    def status(self) -> JobStatus:
        done = self._result is not None or self._collect.done()
        return JobStatus.DONE if done else JobStatus.RUNNING


def _values(bits: np.ndarray, as_list: bool = True):
    """Each shot's classical bits as an integer, clbit c as bit c (a uint64
    array without as_list, for fewer than 64 clbits)."""
    if bits.shape[1] < 64:
        weights = np.left_shift(np.uint64(1), np.arange(bits.shape[1], dtype=np.uint64))
        values = bits.astype(np.uint64) @ weights
        return values.tolist() if as_list else values
    return [int.from_bytes(np.packbits(row[::-1]).tobytes(), "big") >> (-bits.shape[1] % 8)
            for row in bits]


class ZentrovaBackend(BackendV2):
    """zentrova's simulator behind Qiskit's backend interface.

    executor: any concurrent.futures.Executor (a ProcessPoolExecutor, a Dask
    client's get_executor()); the circuits of a run go to it as plain data.

    Run options: shots (1024), seed_simulator (None), memory (False: per-shot
    results in the Result only on request), save_statevector (False: True puts
    each circuit's final state, before its end measurements, in the Result;
    result.get_statevector(i)).

    num_qubits: the widest register the host's memory available allows
    (16 bytes an amplitude), read when the backend is made; None where the
    host does not say. transpile() refuses a wider circuit; run() takes one
    whose qubits in use fit.

    threads: how many threads a large state's passes may use, an int of 1 or
    more, or None (the default) for every core the process may use; on an
    executor each task gets one thread unless threads is given. Counts and
    states are the same bits on any number.
    """

    def __init__(self, executor=None, name: str = "zentrova", threads: int | None = None,
                 noise_model=None, method: str = "statevector"):
        super().__init__(name=name, description="zentrova, an exact state-vector simulator",
                         backend_version=_version())
        # As other simulators do: the widest register the host's memory allows
        # now. A wider circuit still runs when it acts on fewer qubits than
        # that (idle qubits are not simulated), but transpile() refuses it.
        self._target = _target(max_qubits())
        self.executor = executor
        self._threads = _dispatch.thread_counts(threads)
        self._noise = NoiseTable.from_model(noise_model)
        if self._noise is not None and self._noise.empty:
            self._noise = None
        self.set_options(method=_check_method(method))

    @classmethod
    def from_backend(cls, backend, **kwargs) -> "ZentrovaBackend":
        """A backend with the noise of a BackendV2's Target, as
        AerSimulator.from_backend builds it: each gate's error as a
        depolarizing channel on top of the thermal relaxation (T1, T2) its
        duration gives, and each measurement's error as a readout error."""
        target = getattr(backend, "target", None)
        if target is None:
            raise TypeError(f"from_backend takes a BackendV2, not {type(backend).__name__}")
        kwargs.setdefault("name", f"zentrova({backend.name})")
        return cls(noise_model=from_target(target), **kwargs)

    @property
    def noise_model(self):
        """The noise the backend simulates (a NoiseTable), or None."""
        return self._noise

    @property
    def threads(self) -> int:
        return self._threads[0]

    @property
    def target(self) -> Target:
        return self._target

    @property
    def max_circuits(self):
        return None

    @classmethod
    def _default_options(cls) -> Options:
        return Options(shots=1024, seed_simulator=None, memory=False, save_statevector=False,
                       method="statevector")

    def run(self, run_input, **options) -> ZentrovaJob:
        defaults = dict(self.options.items())
        unknown = set(options) - set(defaults)
        if unknown:
            raise TypeError(f"unknown run options: {', '.join(sorted(unknown))}")
        opts = {**defaults,
                **{k: v for k, v in options.items() if v is not None or k == "seed_simulator"}}
        shots = opts["shots"]
        if not isinstance(shots, (int, np.integer)) or isinstance(shots, bool) or shots < 0:
            raise ValueError(f"shots must be an integer of 0 or more, not {shots!r}")
        shots = int(shots)
        method = _check_method(opts["method"])
        circuits = [run_input] if isinstance(run_input, QuantumCircuit) else list(run_input)
        programs = _read_all(circuits, opts, self._noise)

        entropy = _dispatch.root_entropy(opts["seed_simulator"])
        tasks, pieces = [], []
        for i, prog in enumerate(programs):
            if prog.noisy or method == "density_matrix":
                tasks.append(("noisy", (prog.layout.width, prog.num_clbits,
                                        noisy_program(prog, method), shots, (entropy, (i, 0)),
                                        method)))
                pieces.append(1)
                continue
            if prog.final:
                program = ("final", prog.gates, prog.measures)
                split = [shots]
            else:
                program = ("shots", prog.ops)
                k = 1 if self.executor is None else max(1, min(MAX_PIECES, shots // MIN_PIECE))
                split = [shots // k + (j < shots % k) for j in range(k)]
            pieces.append(len(split))
            for j, n_shots in enumerate(split):
                tasks.append(("sample", (prog.layout.width, prog.num_clbits, program, n_shots,
                                         (entropy, (i, j)), bool(opts["save_statevector"]))))
        # Noisy circuits and plain ones may share a run: each task says its kind.
        collect = _dispatch.submit("tagged", tasks, self.executor, None, self._threads)

        @_dispatch.collector_paused
        def build(outcomes) -> Result:
            results, k = [], 0
            for circuit, prog, n in zip(circuits, programs, pieces):
                parts = outcomes[k:k + n]
                k += n
                bits = np.concatenate([b for b, _ in parts])
                results.append(self._experiment(circuit, prog, bits, parts[0][1], opts))
            return Result(backend_name=self.name, backend_version=self.backend_version,
                          job_id=job_id, success=True, results=results)

        job_id = str(uuid.uuid4())
        return ZentrovaJob(self, job_id, collect, build)

    @staticmethod
    def _experiment(circuit, prog, bits, state, opts) -> ExperimentResult:
        shots = bits.shape[0]
        # No classical bits, no counts: nothing was measured (as Qiskit's BasicSimulator).
        data: dict = {"counts": {}}
        if prog.num_clbits:
            if opts["memory"] or bits.shape[1] >= 64:
                keys = [hex(v) for v in _values(bits)]
                counts: dict[str, int] = {}
                for key in keys:
                    counts[key] = counts.get(key, 0) + 1
                data["counts"] = dict(sorted(counts.items(), key=lambda kv: int(kv[0], 16)))
                if opts["memory"]:
                    data["memory"] = keys
            elif shots:
                # Each value once: a shot's key made per distinct outcome, not per shot.
                values = _values(bits, False)
                if bits.shape[1] <= 12:  # a count per value: faster than sorting the shots
                    times = np.bincount(values.astype(np.int64))
                    values = np.flatnonzero(times)
                    times = times[values]
                else:
                    values, times = np.unique(values, return_counts=True)
                data["counts"] = dict(zip(map(hex, values.tolist()), times.tolist()))
        elif opts["memory"]:
            data["memory"] = []
        if state is not None:
            state = prog.layout.expand(state, "the state", ZentrovaError)
            data["statevector"] = Statevector(state * np.exp(1j * float(prog.global_phase)))
        header = {
            "name": circuit.name,
            "creg_sizes": [[r.name, r.size] for r in circuit.cregs],
            "memory_slots": circuit.num_clbits,
            "qreg_sizes": [[r.name, r.size] for r in circuit.qregs],
            "n_qubits": circuit.num_qubits,
            "global_phase": float(circuit.global_phase),
            "metadata": circuit.metadata,
        }
        return ExperimentResult(shots=shots, success=True, data=ExperimentResultData(**data),
                                header=header, seed_simulator=opts["seed_simulator"],
                                method=_method_name(prog, opts["method"]))


def _method_name(prog, method: str) -> str:
    if prog.noisy or method != "statevector":
        return method
    return "statevector" if prog.final else "shot by shot"


def _check_method(method: str) -> str:
    if method not in ("statevector", "density_matrix"):
        raise ValueError(f"method must be 'statevector' or 'density_matrix', not {method!r}")
    return method


def noisy_program(prog, method: str) -> tuple:
    """A program for _worker.noisy: ("final", gates, measures) when the
    measurements all come at the end (resets allowed before them), else
    ("shots", ops); the density-matrix method takes the first kind only."""
    if prog.final:
        return ("final", prog.gates, prog.measures)
    gates, measures = [], []
    for op in prog.ops:
        if op[0] == "measure":
            measures.append(op[1])
        elif measures or op[0] == "if":
            break
        else:
            gates.append(op)
    else:
        return ("final", gates, measures)
    if method == "density_matrix":
        raise UnsupportedInstruction(
            "the density_matrix method runs circuits whose measurements all come at the end "
            "and that do not branch on measured bits")
    return ("shots", prog.ops)


@_dispatch.collector_paused
def _read_all(circuits: list, opts: dict, noise=None) -> list:
    """Each circuit read, once however often it is given, and checked."""
    programs, cache = [], {}
    for i, circuit in enumerate(circuits):
        if not isinstance(circuit, QuantumCircuit):
            raise TypeError(f"circuit {i} is a {type(circuit).__name__}, not a QuantumCircuit")
        if circuit.parameters:
            names = ", ".join(sorted(p.name for p in circuit.parameters))
            raise ValueError(f"circuit {i} ('{circuit.name}') has unbound parameters: {names}")
        prog = cache.get(id(circuit))
        if prog is None:  # a circuit given many times is read once
            try:
                prog = cache[id(circuit)] = read(circuit, noise)
            except UnsupportedInstruction as e:
                raise UnsupportedInstruction(f"circuit {i} ('{circuit.name}'): {e}") from None
        if opts["method"] == "density_matrix":
            try:
                noisy_program(prog, "density_matrix")
            except UnsupportedInstruction as e:
                raise UnsupportedInstruction(f"circuit {i} ('{circuit.name}'): {e}") from None
            check_memory(2 * prog.layout.width, f"the density matrix of circuit {i} "
                         f"('{circuit.name}'), a state of {2 * prog.layout.width} qubits",
                         error_type=ZentrovaError)
        if opts["save_statevector"]:
            if prog.noisy or opts["method"] == "density_matrix":
                raise ValueError(f"circuit {i} ('{circuit.name}'): save_statevector needs a "
                                 "circuit without noise on the statevector method")
            if not prog.final:
                raise ValueError(f"circuit {i} ('{circuit.name}'): save_statevector needs a "
                                 "circuit whose measurements all come at the end")
            check_memory(prog.num_qubits, f"the state of circuit {i} ('{circuit.name}')",
                         error_type=ZentrovaError)
        programs.append(prog)
    return programs


def _version() -> str:
    from importlib import metadata
    try:
        return metadata.version("zentrova")
    except metadata.PackageNotFoundError:
        return "0"
