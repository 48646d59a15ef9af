"""Whole circuits, zentrova beside the simulators a user would pick instead.

Three families of circuits, each ending in one measurement of every qubit:

- ansatz: a hardware-efficient ansatz, 4 layers of (ry on every qubit, rz on
  every qubit, a cnot chain 0->1->...->n-1), angles from a fixed seed;
- qft: the quantum Fourier transform (h, controlled phases, the final swaps)
  from a non-basis state (ry and rz on every qubit first), its controlled
  phases through mcu in zentrova;
- random: 200 gates drawn from the eleven kinds (x, h, rx, ry, rz, u, cnot,
  swap, ccnot, csswap, mcu with one or two controls), fixed seed.

Each is run through zentrova and through qulacs (QuantumCircuit), qiskit-aer
(AerSimulator, statevector, double precision, its default gate fusion),
pennylane-lightning (StateVectorC128, one call per gate, as bench/peers.py)
and qsim through qsimcirq (single precision, its default gate fusion), one
thread each, and the table shows each peer's time over zentrova's (> 1:
zentrova faster). With `bash bench/setup_peers.sh --at-once` a second
zentrova, built to apply every gate when it is called, sits in
build/bench-at-once; it runs in a subprocess of the same run, and the
`at-once` column is its time over the recording build's (> 1: recording
faster). The peers are installed for this benchmark only; zentrova never
depends on them.

What is timed: from a fresh |0...0> state through every gate to one sample
of every qubit (zentrova: `observe()`; qulacs: `sampling(1)`; aer: one shot
of `measure_all`; lightning: `generate_samples(n, 1)`; qsim: `qsim_sample`).
Left out: building the peers' circuit objects (qulacs QuantumCircuit, the
transpiled qiskit circuit, the translated qsim circuit), binding the gate
calls of zentrova and lightning to their state, and making the fresh state of
zentrova, qulacs and lightning. aer and qsim make their state inside the
run, which cannot be separated; at these sizes it is one sweep of memory.
Every simulator runs one after another in an order that rotates between
rounds; each time shown is the best over the rounds (and the runs within a
round, which repeat a small circuit until it has lasted `--min-time`).

Before timing, every family is run at a small size through every simulator
and the probabilities compared with zentrova's: the double-precision peers
within 1e-10, qsim within 1e-5 (single precision), the at-once build to the
bit at 18 qubits, where the recording build records. A peer that disagrees is left out, so every row compares the same work.

    build/peers-venv/bin/python bench/circuits.py [--sizes 16,20,24] [--rounds 3]
    build/peers-venv/bin/python bench/circuits.py --sizes 26 --rounds 2   # 1 GiB a state
"""

from __future__ import annotations

import os

# One thread everywhere, set before any simulator or numpy is imported.
for _var in ("OMP_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS", "QULACS_NUM_THREADS"):
    os.environ[_var] = "1"

import argparse
import cmath
import json
import math
import platform
import random
import subprocess
import sys
import time
import warnings
from importlib import metadata
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
AT_ONCE_DIR = ROOT / "build" / "bench-at-once"
FAMILIES = ["ansatz", "qft", "random"]
KINDS = ["x", "h", "rx", "ry", "rz", "u", "cnot", "swap", "ccnot", "csswap", "mcu"]
SEED = 23

# An operation is (kind, qubits, parameter): qubits as zentrova numbers them,
# controls first and the target last; the parameter an angle or a 2x2 matrix
# ((m00, m01), (m10, m11)). "cp" is the controlled phase diag(1, e^(i phi)),
# which zentrova runs as mcu.


def random_unitary(rng: random.Random):
    theta, phi, lam, gamma = (rng.uniform(0, 2 * math.pi) for _ in range(4))
    c, s, g = math.cos(theta / 2), math.sin(theta / 2), cmath.exp(1j * gamma)
    return ((g * c, -g * cmath.exp(1j * lam) * s),
            (g * cmath.exp(1j * phi) * s, g * cmath.exp(1j * (phi + lam)) * c))


def ansatz(n: int) -> list:
    rng = random.Random(f"ansatz-{SEED}-{n}")
    ops = []
    for _ in range(4):
        ops += [("ry", (q,), rng.uniform(0, 2 * math.pi)) for q in range(n)]
        ops += [("rz", (q,), rng.uniform(0, 2 * math.pi)) for q in range(n)]
        ops += [("cnot", (q, q + 1), None) for q in range(n - 1)]
    return ops


def qft(n: int) -> list:
    rng = random.Random(f"qft-{SEED}-{n}")
    ops = [("ry", (q,), rng.uniform(0, math.pi)) for q in range(n)]
    ops += [("rz", (q,), rng.uniform(0, 2 * math.pi)) for q in range(n)]
    for j in reversed(range(n)):
        ops.append(("h", (j,), None))
        ops += [("cp", (k, j), math.pi / 2 ** (j - k)) for k in reversed(range(j))]
    ops += [("swap", (q, n - 1 - q), None) for q in range(n // 2)]
    return ops


def random_gates(n: int, count: int = 200) -> list:
    rng = random.Random(f"random-{SEED}-{n}")
    ops = []
    for _ in range(count):
        kind = rng.choice(KINDS)
        width = {"cnot": 2, "swap": 2, "ccnot": 3, "csswap": 3, "mcu": rng.choice((2, 3))}.get(kind, 1)
        qubits = tuple(rng.sample(range(n), width))
        if kind in ("rx", "ry", "rz"):
            param = rng.uniform(0, 2 * math.pi)
        elif kind in ("u", "mcu"):
            param = random_unitary(rng)
        else:
            param = None
        ops.append((kind, qubits, param))
    return ops


def circuit(family: str, n: int) -> list:
    return {"ansatz": ansatz, "qft": qft, "random": random_gates}[family](n)


def cp_matrix(phi: float):
    return ((1, 0), (0, cmath.exp(1j * phi)))


def cirq_circuit(ops: list, n: int, measure: bool):
    """The operations as a cirq.Circuit on n qubits. Qubit q is LineQubit(n-1-q),
    so Cirq's index order (the first qubit the most significant bit) is
    zentrova's; a last measurement of every qubit under the key "m" if asked."""
    import cirq
    import numpy as np

    line = [cirq.LineQubit(n - 1 - q) for q in range(n)]
    gates = []
    for kind, q, p in ops:
        on = [line[x] for x in q]
        if kind == "cp":
            gates.append(cirq.CZPowGate(exponent=p / math.pi).on(*on))
        elif kind in ("u", "mcu"):
            gates.append(cirq.MatrixGate(np.array(p, dtype=complex)).on(on[-1]).controlled_by(*on[:-1]))
        else:
            gate = {"x": cirq.X, "h": cirq.H, "cnot": cirq.CNOT, "swap": cirq.SWAP, "ccnot": cirq.CCX,
                    "csswap": cirq.CSWAP, "rx": cirq.rx, "ry": cirq.ry, "rz": cirq.rz}[kind]
            gates.append((gate(p) if p is not None else gate).on(*on))
    if measure:
        gates.append(cirq.measure(*line, key="m"))
    # Every qubit in the circuit, so the state has n of them.
    unused = set(range(n)).difference(x for _, q, _ in ops for x in q)
    return cirq.Circuit([cirq.IdentityGate(1).on(line[x]) for x in sorted(unused)], gates)


class Simulator:
    """setup() builds what is left out of the time, start() makes a fresh
    state (untimed), run() is timed, stop() frees the state."""

    precision = "complex128"

    def stop(self) -> None:
        self.state = None


class Zentrova(Simulator):
    name = "zentrova"
    package = "zentrova"

    def __init__(self) -> None:
        import zentrova

        self.mod = zentrova

    def setup(self, ops: list, n: int) -> None:
        self.ops, self.n = ops, n

    def _calls(self, reg) -> list:
        calls = []
        for kind, q, p in self.ops:
            if kind == "cp":
                calls.append((reg.mcu, ([q[0]], q[1], 1 + 0j, 0j, 0j, cmath.exp(1j * p))))
            elif kind == "mcu":
                (a, b), (c, d) = p
                calls.append((reg.mcu, (list(q[:-1]), q[-1], a, b, c, d)))
            elif kind == "u":
                (a, b), (c, d) = p
                calls.append((reg.u, (q[0], a, b, c, d)))
            elif p is None:
                calls.append((getattr(reg, kind), q))
            else:
                calls.append((getattr(reg, kind), (*q, p)))
        return calls

    def start(self) -> None:
        self.state = self.mod.QuantumRegister(self.n)
        self.calls = self._calls(self.state)

    def run(self) -> None:
        for f, a in self.calls:
            f(*a)
        self.state.observe()

    def stop(self) -> None:
        self.state = self.calls = None

    def probabilities(self) -> list[float]:
        self.start()
        for f, a in self.calls:
            f(*a)
        p = self.state.god_observe()
        self.stop()
        return p


class Qulacs(Simulator):
    name = "qulacs"
    package = "qulacs"

    def __init__(self) -> None:
        import numpy as np
        import qulacs
        import qulacs.gate as G

        self.np, self.qulacs, self.G = np, qulacs, G

    def setup(self, ops: list, n: int) -> None:
        G, np = self.G, self.np
        self.n = n
        self.circuit = self.qulacs.QuantumCircuit(n)
        for kind, q, p in ops:
            if kind in ("cp", "mcu", "u"):
                gate = G.DenseMatrix(q[-1], np.array(cp_matrix(p) if kind == "cp" else p, dtype=complex))
                for c in q[:-1]:
                    gate.add_control_qubit(c, 1)
            else:
                make = {"x": G.X, "h": G.H, "rx": G.RotX, "ry": G.RotY, "rz": G.RotZ, "cnot": G.CNOT,
                        "swap": G.SWAP, "ccnot": G.TOFFOLI, "csswap": G.FREDKIN}[kind]
                gate = make(*q) if p is None else make(*q, p)
            self.circuit.add_gate(gate)

    def start(self) -> None:
        self.state = self.qulacs.QuantumState(self.n)

    def run(self) -> None:
        self.circuit.update_quantum_state(self.state)
        self.state.sampling(1)

    def probabilities(self) -> list[float]:
        self.start()
        self.circuit.update_quantum_state(self.state)
        p = [abs(z) ** 2 for z in self.state.get_vector()]
        self.stop()
        return p


class Aer(Simulator):
    name = "qiskit-aer"
    package = "qiskit-aer"

    def __init__(self) -> None:
        from qiskit import QuantumCircuit, transpile
        from qiskit.circuit.library import UnitaryGate
        from qiskit_aer import AerSimulator

        self.QuantumCircuit, self.transpile, self.UnitaryGate = QuantumCircuit, transpile, UnitaryGate
        # Default fusion; one thread; the threshold keeps even 26 qubits on one.
        self.backend = AerSimulator(method="statevector", precision="double", max_parallel_threads=1,
                                    max_parallel_experiments=1, max_parallel_shots=1,
                                    statevector_parallel_threshold=64)

    def _circuit(self, ops: list, n: int):
        import numpy as np

        qc = self.QuantumCircuit(n)
        for kind, q, p in ops:
            if kind == "cp":
                qc.cp(p, *q)
            elif kind in ("u", "mcu"):
                # A controlled matrix as one dense unitary on its qubits (qiskit's
                # matrix order: the first qubit listed is the lowest index bit),
                # which Aer applies as it is; its own controlled-gate route
                # decomposes it into a dozen gates.
                k = len(q) - 1
                full = np.eye(2 << k, dtype=complex)
                top = (2 << k) - 2
                full[top:, top:] = np.array(p, dtype=complex)
                qc.append(self.UnitaryGate(full), [q[-1], *q[:-1]])
            else:
                name = {"cnot": "cx", "ccnot": "ccx", "csswap": "cswap"}.get(kind, kind)
                getattr(qc, name)(*(() if p is None else (p,)), *q)
        return qc

    def setup(self, ops: list, n: int) -> None:
        self.ops, self.n = ops, n
        qc = self._circuit(ops, n)
        qc.measure_all()
        # Level 0: the gates as given, nothing merged or cancelled before Aer sees them.
        self.compiled = self.transpile(qc, self.backend, optimization_level=0)

    def start(self) -> None:
        pass

    def run(self) -> None:
        self.backend.run(self.compiled, shots=1).result()

    def probabilities(self) -> list[float]:
        qc = self._circuit(self.ops, self.n)
        qc.save_statevector()
        result = self.backend.run(self.transpile(qc, self.backend, optimization_level=0)).result()
        return [abs(z) ** 2 for z in result.get_statevector()]


class Lightning(Simulator):
    name = "lightning"
    package = "pennylane-lightning"

    def __init__(self) -> None:
        import numpy as np
        from pennylane_lightning.lightning_qubit_ops import MeasurementsC128, StateVectorC128

        self.np, self.SV, self.Measurements = np, StateVectorC128, MeasurementsC128

    def setup(self, ops: list, n: int) -> None:
        np = self.np
        self.n = n
        # Wire w of lightning is qubit n-1-w.
        self.ops = []
        for kind, q, p in ops:
            w = [n - 1 - x for x in q]
            if kind in ("u", "mcu"):
                m = np.array(p, dtype=np.complex128)
                if kind == "u":
                    self.ops.append(("applyMatrix", (m, w, False)))
                else:
                    self.ops.append(("applyControlledMatrix", (m, w[:-1], [True] * (len(w) - 1), w[-1:], False)))
            else:
                name = {"x": "PauliX", "h": "Hadamard", "rx": "RX", "ry": "RY", "rz": "RZ", "cnot": "CNOT",
                        "swap": "SWAP", "ccnot": "Toffoli", "csswap": "CSWAP", "cp": "ControlledPhaseShift"}[kind]
                self.ops.append((name, (w, False, [] if p is None else [p])))

    def start(self) -> None:
        self.state = self.SV(self.n)
        self.calls = [(getattr(self.state, name), args) for name, args in self.ops]

    def run(self) -> None:
        for f, a in self.calls:
            f(*a)
        self.Measurements(self.state).generate_samples(self.n, 1)

    def stop(self) -> None:
        self.state = self.calls = None

    def probabilities(self) -> list[float]:
        self.start()
        for f, a in self.calls:
            f(*a)
        amps = self.np.zeros(self.state.size(), dtype=self.np.complex128)
        self.state.getState(amps)
        self.stop()
        return [abs(z) ** 2 for z in amps]


class Qsim(Simulator):
    name = "qsim"
    package = "qsimcirq"
    precision = "complex64"

    def __init__(self) -> None:
        import cirq
        import qsimcirq
        from qsimcirq import qsim

        self.cirq, self.qsimcirq, self.qsim = cirq, qsimcirq, qsim
        self.options = qsimcirq.QSimOptions(cpu_threads=1).as_dict()  # default fusion (2 qubits)

    def _translated(self, ops: list, n: int, measure: bool):
        c = cirq_circuit(ops, n, measure)
        translated, _ = self.qsimcirq.QSimCircuit(c).translate_cirq_to_qsim(self.cirq.QubitOrder.DEFAULT)
        return translated

    def setup(self, ops: list, n: int) -> None:
        self.ops, self.n = ops, n
        self.compiled = self._translated(ops, n, True)

    def start(self) -> None:
        pass

    def run(self) -> None:
        self.qsim.qsim_sample({**self.options, "c": self.compiled, "s": 1})

    def probabilities(self) -> list[float]:
        state = self.qsim.qsim_simulate_fullstate({**self.options, "c": self._translated(self.ops, self.n, False),
                                                  "s": 1}, 0)
        return [float(abs(z)) ** 2 for z in state.view("complex64")]


SIMULATORS = {"zentrova": Zentrova, "qulacs": Qulacs, "aer": Aer, "lightning": Lightning, "qsim": Qsim}


class Worker:
    """A simulator in a subprocess of its own, which imports nothing but it.

    Every simulator runs in one, so none of them meets the others' threads,
    memory or imports; the at-once build is zentrova in a worker that finds
    build/bench-at-once first on its path.
    """

    def __init__(self, key: str) -> None:
        env = dict(os.environ)
        sim = "zentrova" if key == "at-once" else key
        if key == "at-once":
            if not (AT_ONCE_DIR / "zentrova.pyi").exists():
                raise RuntimeError(f"no build in {AT_ONCE_DIR}: bash bench/setup_peers.sh --at-once")
            env["PYTHONPATH"] = str(AT_ONCE_DIR)
        self.proc = subprocess.Popen([sys.executable, __file__, "--worker", sim], env=env, text=True,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        hello = self.ask({"cmd": "hello"})
        self.name = "at-once" if key == "at-once" else hello["name"]
        self.version, self.precision = hello["version"], hello["precision"]
        at_once_file = Path(hello["file"]).resolve().is_relative_to(AT_ONCE_DIR)
        if (key == "at-once") != at_once_file:
            raise RuntimeError(f"{key}: the worker imported {hello['file']}")

    def ask(self, request: dict):
        self.proc.stdin.write(json.dumps(request) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError(f"worker for {request} ended")
        answer = json.loads(line)
        if isinstance(answer, dict) and "error" in answer:
            raise RuntimeError(answer["error"])
        return answer

    def times(self, family: str, n: int, count: int, clock: str) -> list[float]:
        return self.ask({"cmd": "time", "family": family, "n": n, "count": count, "clock": clock})

    def probabilities(self, family: str, n: int) -> list[float]:
        return self.ask({"cmd": "probabilities", "family": family, "n": n})

    def close(self) -> None:
        self.proc.stdin.close()
        self.proc.wait()


def worker(key: str) -> int:
    """Answers one JSON request a line on stdin; keeps one built circuit."""
    warnings.simplefilter("ignore")
    try:
        sim = SIMULATORS[key]()
    except Exception as e:
        print(json.dumps({"error": f"{type(e).__name__}: {e}"}), flush=True)
        return 1
    built = None
    for line in sys.stdin:
        req = json.loads(line)
        try:
            if req["cmd"] == "hello":
                out = {"name": sim.name, "version": metadata.version(sim.package), "precision": sim.precision,
                       "file": sim.mod.__file__ if key == "zentrova" else ""}
            else:
                if built != (req["family"], req["n"]):
                    sim.setup(circuit(req["family"], req["n"]), req["n"])
                    built = (req["family"], req["n"])
                out = sim.probabilities() if req["cmd"] == "probabilities" else \
                    run_times(sim, req["count"], req["clock"])
        except Exception as e:
            out = {"error": f"{key}: {type(e).__name__}: {e}"}
        print(json.dumps(out), flush=True)
    return 0


def run_times(sim: Simulator, count: int, clock: str) -> list[float]:
    now = time.process_time if clock == "cpu" else time.perf_counter
    out = []
    for _ in range(count):
        sim.start()
        t0 = now()
        sim.run()
        out.append(now() - t0)
        sim.stop()
    return out


# Recording starts above 16 qubits (a 1 MiB state): the at-once build is
# compared with the recording one above that, where the two differ in how
# they run the gates.
AT_ONCE_CHECK_SIZE = 18


def check(sims: list, n: int) -> list[str]:
    """Every family through every simulator; the ones that disagree with zentrova."""
    bad = []
    for family in FAMILIES:
        wants = {}
        for sim in sims[1:]:
            size = max(n, AT_ONCE_CHECK_SIZE) if sim.name == "at-once" else n
            if size not in wants:
                wants[size] = sims[0].probabilities(family, size)
            want = wants[size]
            got = sim.probabilities(family, size)
            tol = 0.0 if sim.name == "at-once" else 1e-5 if sim.precision == "complex64" else 1e-10
            diff = max(abs(x - y) for x, y in zip(want, got)) if len(got) == len(want) else math.inf
            if diff > tol or (tol == 0.0 and got != want):
                if sim.name not in bad:
                    bad.append(sim.name)
                print(f"  {sim.name} disagrees on {family} (largest difference {diff:.2e})")
    return bad


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", default="16,20,24", help="qubit counts (26 needs 1 GiB a state)")
    ap.add_argument("--families", default=",".join(FAMILIES), help="subset of " + ",".join(FAMILIES))
    peers = ["at-once", "qulacs", "aer", "lightning", "qsim"]
    ap.add_argument("--peers", default=",".join(peers), help="subset of " + ",".join(peers))
    ap.add_argument("--rounds", type=int, default=3, help="rounds over all simulators (best kept)")
    ap.add_argument("--min-time", type=float, default=0.3, help="seconds of runs per case and round, at least")
    ap.add_argument("--clock", choices=("cpu", "wall"), default="cpu",
                    help="cpu: the worker's CPU time, which leaves out waiting for a core (default)")
    ap.add_argument("--check-size", type=int, default=8, help="qubits of the agreement check")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        return worker(args.worker)

    sizes = [int(s) for s in args.sizes.split(",") if s]
    families = [f for f in args.families.split(",") if f]
    chosen = [p for p in args.peers.split(",") if p]
    if (any(f not in FAMILIES for f in families) or any(n < 4 or n > 30 for n in sizes)
            or any(p not in peers for p in chosen)):
        ap.error("families from " + ",".join(FAMILIES) + "; sizes from 4 to 30; peers from " + ",".join(peers))
    sims = [Worker("zentrova")]
    for key in chosen:
        try:
            sims.append(Worker(key))
        except Exception as e:  # a peer that will not load is left out, not fatal
            print(f"skipping {key}: {e}", file=sys.stderr)

    print(f"whole circuits, one thread each; Python {platform.python_version()}, {platform.machine()}, "
          f"{os.cpu_count()} CPUs, AVX-512: {'yes' if 'avx512f' in Path('/proc/cpuinfo').read_text() else 'no'}")
    print("versions and precision: " + ", ".join(
        f"{s.name} {s.version} ({s.precision}{', gates applied when called' if s.name == 'at-once' else ''})"
        for s in sims))
    bad = check(sims, args.check_size)
    if bad:
        sims = [s for s in sims if s.name not in bad]
        print("left out: " + ", ".join(bad))
    else:
        print(f"check: every simulator gives zentrova's probabilities on every family at {args.check_size} "
              f"qubits; the at-once build the same bits at {max(args.check_size, AT_ONCE_CHECK_SIZE)}")

    best: dict = {}
    started = time.perf_counter()
    for n in sizes:
        if (16 << n) * 3 > available_memory():
            print(f"\nn = {n}: skipped, {(16 << n) >> 20} MiB a state does not fit three times")
            continue
        for r in range(args.rounds):
            shift = r % len(sims)
            for sim in sims[shift:] + sims[:shift]:
                for family in families:
                    got = sim.times(family, n, 1, args.clock)
                    count = min(100, math.ceil(args.min_time / max(got[0], 1e-6)) - 1)
                    if count > 0:
                        got += sim.times(family, n, count, args.clock)
                    key = (n, family, sim.name)
                    best[key] = min(best.get(key, math.inf), *got)
        z_name = sims[0].name
        print(f"\nn = {n}: ms ({args.clock} time, best of {args.rounds} rounds) and time / zentrova's "
              f"(> 1: zentrova faster)")
        print(f"{'family':<8}{z_name:>10}" + "".join(f"{s.name:>12}{'x':>7}" for s in sims[1:]))
        for family in families:
            z = best[(n, family, z_name)]
            print(f"{family:<8}{z * 1e3:10.2f}" + "".join(
                f"{best[(n, family, s.name)] * 1e3:12.2f}{best[(n, family, s.name)] / z:7.2f}" for s in sims[1:]))

    print("\n| n | circuit | zentrova ms | " + " | ".join(f"{s.name} / zentrova" for s in sims[1:]) + " |")
    print("|---|---|---|" + "---|" * (len(sims) - 1))
    for n in sizes:
        for family in families:
            if (n, family, sims[0].name) in best:
                z = best[(n, family, sims[0].name)]
                print(f"| {n} | {family} | {z * 1e3:.1f} | " + " | ".join(
                    f"{best[(n, family, s.name)] / z:.2f}" for s in sims[1:]) + " |")
    print(f"\ntimed part took {time.perf_counter() - started:.0f} s")
    for sim in sims:
        sim.close()
    return 0


def available_memory() -> int:
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 1 << 62


if __name__ == "__main__":
    sys.exit(main())
