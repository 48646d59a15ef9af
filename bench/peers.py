"""zentrova beside the simulators a user would pick instead, gate by gate.

Runs the same gates, on the same targets and in the same state, through
zentrova and through qulacs, qiskit-aer (statevector method) and
pennylane-lightning (lightning.qubit), each held to one thread, and prints
the time per gate in ms and each peer's time over zentrova's (> 1: zentrova
is faster). The peers are installed for this benchmark only, into
build/peers-venv by bench/setup_peers.sh; zentrova never depends on them.

What is timed, for every simulator alike: a state of n qubits is made and
brought to the state `--state` names by Hadamard gates (dense: on every
qubit, the uniform superposition, so every page is touched and every
amplitude is an ordinary number; half-zero: on every qubit but 5, so half the
amplitudes are exact zeros; fresh: none, |0...0>), then per case one untimed
application, then `--reps` timings of K back-to-back
applications of the gate through the simulator's own in-place Python call,
of which the fastest counts. K is chosen so that one timing lasts at least
`--min-time`. Nothing else is in the timed loop: no circuit building, no
transpiling, no copy of the state. The clock is the process's CPU time by
default (`--clock wall` for elapsed time): on a machine shared with other
work it leaves out the time spent waiting for a core, and one thread is all
any simulator may use here (the run prints CPU over wall time to show it).

- zentrova: `reg.h(t)` and so on.
- qulacs: a gate object built once, `gate.update_quantum_state(state)`.
  RotX/RotY/RotZ (same sign convention as zentrova); `u` is a DenseMatrix,
  `mcu` a DenseMatrix with two control qubits.
- qiskit-aer: `AerState` (qiskit_aer.quantum_info), which applies gates to a
  state held in Aer's C++ in place, with no circuit, transpiler or result
  object in between. It queues the gates and runs them at `flush()`, which
  costs some 20-40 us of its own: the K gates of a timing are queued and
  flushed once, inside the timing, so that cost is spread over K. Gate fusion
  is off (it would merge K repeated gates into one pass). rx/ry/u go through
  `apply_unitary`, rz through `apply_diagonal`, as in Aer's circuit path;
  `mcu` is `apply_mcu` with the matrix's U-gate angles and global phase.
- pennylane-lightning: its C++ state vector `StateVectorC128` through the
  Python binding (the lightning.qubit device's own object without the
  device's per-operation Python layer); wire w of lightning is qubit n-1-w.

A round runs the simulators one after another, each on its own freshly made
state that is freed before the next starts, in an order that rotates between
rounds. Times are medians over rounds; ratios are taken within a round, then
their median is shown. The machine may be shared: expect a few per cent of
noise, and compare ratios rather than absolute times between runs.

Before timing, every gate case is run once on a 6-qubit state through every
simulator and the probabilities compared with zentrova's, so the table
compares the same gates.

    build/peers-venv/bin/python bench/peers.py [--sizes 20,24] [--rounds 5] [--state half-zero]
    build/peers-venv/bin/python bench/peers.py --sizes 26 --rounds 3   # 1 GiB a state
"""

from __future__ import annotations

import os

# One thread everywhere, set before any simulator or numpy is imported, as
# their thread pools read these at load time.
for _var in ("OMP_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS", "QULACS_NUM_THREADS"):
    os.environ[_var] = "1"

import argparse
import cmath
import gc
import math
import platform
import statistics
import sys
import time
import warnings
from collections.abc import Callable
from importlib import metadata
from pathlib import Path

# A unitary with no zero part, so no product is trivially cheap (the same one
# the engine benchmark uses), and the rotation angle.
M = ((0.48 + 0.64j, -0.36 - 0.48j), (0.36 - 0.48j, 0.48 - 0.64j))
THETA = 0.3

GATES = ["x", "h", "rx", "ry", "rz", "u", "cnot", "swap", "ccnot", "csswap", "mcu"]

Apply = Callable[[], object]


STATES = ["dense", "half-zero", "fresh"]


def zero_qubit(n: int) -> int:
    """The qubit a half-zero state leaves in |0>: 5, or the top one of smaller states."""
    return 5 if n > 5 else n - 1


def hadamards(n: int, state: str) -> list[int]:
    """The qubits that get a Hadamard gate on |0...0> to make the state.

    dense: every qubit, so every amplitude is 2^(-n/2); half-zero: all but
    zero_qubit(n), so the amplitudes where it is 1 are exact zeros (from n = 12
    on none of the timed gates acts on it or is controlled by it); fresh: none.
    """
    if state == "dense":
        return list(range(n))
    if state == "half-zero":
        return [q for q in range(n) if q != zero_qubit(n)]
    return []


def others(n: int, t: int) -> tuple[int, int]:
    """The two lowest qubits other than t: controls or partners of t."""
    a, b = [q for q in range(n) if q != t][:2]
    return a, b


def u_angles(m: tuple[tuple[complex, complex], tuple[complex, complex]]) -> tuple[float, ...]:
    """theta, phi, lambda, gamma with m = e^(i gamma) U(theta, phi, lambda)."""
    (m00, m01), (m10, _) = m
    theta = 2 * math.atan2(abs(m10), abs(m00))
    gamma = cmath.phase(m00)
    phi = cmath.phase(m10) - gamma
    lam = cmath.phase(-m01) - gamma
    return theta, phi, lam, gamma


class Simulator:
    """What the timing loop needs from each simulator besides its gates."""

    def sync(self, state) -> None:
        """Completes queued work; the simulators that apply each gate at once have none."""


class Zentrova(Simulator):
    name = "zentrova"
    package = "zentrova"

    def __init__(self) -> None:
        import zentrova

        self.mod = zentrova
        self.m = (M[0][0], M[0][1], M[1][0], M[1][1])

    def new(self, n: int, state: str):
        reg = self.mod.QuantumRegister(n)
        for q in hadamards(n, state):
            reg.h(q)
        return reg

    def gate(self, reg, n: int, g: str, t: int) -> Apply:
        a, b = others(n, t)
        m = self.m
        return {
            "x": lambda: reg.x(t),
            "h": lambda: reg.h(t),
            "rx": lambda: reg.rx(t, THETA),
            "ry": lambda: reg.ry(t, THETA),
            "rz": lambda: reg.rz(t, THETA),
            "u": lambda: reg.u(t, *m),
            "cnot": lambda: reg.cnot(a, t),
            "swap": lambda: reg.swap(a, t),
            "ccnot": lambda: reg.ccnot(a, b, t),
            "csswap": lambda: reg.csswap(a, b, t),
            "mcu": lambda: reg.mcu([a, b], t, *m),
        }[g]

    def probabilities(self, reg) -> list[float]:
        return reg.god_observe()


class Qulacs(Simulator):
    name = "qulacs"
    package = "qulacs"

    def __init__(self) -> None:
        import numpy as np
        import qulacs
        import qulacs.gate as G

        self.qulacs, self.G = qulacs, G
        self.m = np.array(M, dtype=complex)

    def new(self, n: int, state: str):
        qs = self.qulacs.QuantumState(n)
        for q in hadamards(n, state):
            self.G.H(q).update_quantum_state(qs)
        return qs

    def gate(self, state, n: int, g: str, t: int) -> Apply:
        G = self.G
        a, b = others(n, t)
        if g == "mcu":
            gate = G.DenseMatrix(t, self.m)
            gate.add_control_qubit(a, 1)
            gate.add_control_qubit(b, 1)
        else:
            gate = {
                "x": lambda: G.X(t),
                "h": lambda: G.H(t),
                "rx": lambda: G.RotX(t, THETA),
                "ry": lambda: G.RotY(t, THETA),
                "rz": lambda: G.RotZ(t, THETA),
                "u": lambda: G.DenseMatrix(t, self.m),
                "cnot": lambda: G.CNOT(a, t),
                "swap": lambda: G.SWAP(a, t),
                "ccnot": lambda: G.TOFFOLI(a, b, t),
                "csswap": lambda: G.FREDKIN(a, b, t),
            }[g]()
        update = gate.update_quantum_state
        return lambda: update(state)

    def probabilities(self, state) -> list[float]:
        return [abs(z) ** 2 for z in state.get_vector()]


class Aer(Simulator):
    name = "qiskit-aer"
    package = "qiskit-aer"

    def __init__(self) -> None:
        import numpy as np
        from qiskit_aer.quantum_info.states.aer_state import AerState

        self.AerState = AerState
        c, s = math.cos(THETA / 2), math.sin(THETA / 2)
        self.rx = np.array([[c, -1j * s], [-1j * s, c]], dtype=complex)
        self.ry = np.array([[c, -s], [s, c]], dtype=complex)
        self.rz = np.array([cmath.exp(-0.5j * THETA), cmath.exp(0.5j * THETA)], dtype=complex)
        self.m = np.array(M, dtype=complex)
        self.mcu = u_angles(M)

    def new(self, n: int, kind: str):
        state = self.AerState(
            method="statevector",
            precision="double",
            device="CPU",
            max_parallel_threads=1,
            statevector_parallel_threshold=64,
            fusion_enable=False,
        )
        state.allocate_qubits(n)
        state.initialize()
        for q in hadamards(n, kind):
            state.apply_h(q)
        state.flush()
        return state

    def gate(self, s, n: int, g: str, t: int) -> Apply:
        a, b = others(n, t)
        op: Apply = {
            "x": lambda: s.apply_x(t),
            "h": lambda: s.apply_h(t),
            "rx": lambda: s.apply_unitary([t], self.rx),
            "ry": lambda: s.apply_unitary([t], self.ry),
            "rz": lambda: s.apply_diagonal([t], self.rz),
            "u": lambda: s.apply_unitary([t], self.m),
            "cnot": lambda: s.apply_cx(a, t),
            "swap": lambda: s.apply_mcswap([], a, t),
            "ccnot": lambda: s.apply_mcx([a, b], t),
            "csswap": lambda: s.apply_mcswap([a], b, t),
            "mcu": lambda: s.apply_mcu([a, b], t, *self.mcu),
        }[g]
        return op

    def sync(self, s) -> None:
        s.flush()

    def probabilities(self, s) -> list[float]:
        s.flush()
        return list(s.probabilities())


class Lightning(Simulator):
    name = "lightning"
    package = "pennylane-lightning"

    def __init__(self) -> None:
        import numpy as np
        from pennylane_lightning.lightning_qubit_ops import StateVectorC128

        self.np, self.SV = np, StateVectorC128
        self.m = np.array(M, dtype=np.complex128)

    def new(self, n: int, state: str):
        sv = self.SV(n)
        for q in hadamards(n, state):
            sv.Hadamard([n - 1 - q], False, [])
        return sv

    def gate(self, sv, n: int, g: str, t: int) -> Apply:
        a, b = others(n, t)
        # Wire 0 is lightning's most significant qubit.
        wt, wa, wb = n - 1 - t, n - 1 - a, n - 1 - b
        m = self.m
        return {
            "x": lambda: sv.PauliX([wt], False, []),
            "h": lambda: sv.Hadamard([wt], False, []),
            "rx": lambda: sv.RX([wt], False, [THETA]),
            "ry": lambda: sv.RY([wt], False, [THETA]),
            "rz": lambda: sv.RZ([wt], False, [THETA]),
            "u": lambda: sv.applyMatrix(m, [wt], False),
            "cnot": lambda: sv.CNOT([wa, wt], False, []),
            "swap": lambda: sv.SWAP([wa, wt], False, []),
            "ccnot": lambda: sv.Toffoli([wa, wb, wt], False, []),
            "csswap": lambda: sv.CSWAP([wa, wb, wt], False, []),
            "mcu": lambda: sv.applyControlledMatrix(m, [wa, wb], [True, True], [wt], False),
        }[g]

    def probabilities(self, sv) -> list[float]:
        # Index bit q is wire n-1-q: the array is already in zentrova's order.
        amps = self.np.zeros(sv.size(), dtype=self.np.complex128)
        sv.getState(amps)
        return [abs(z) ** 2 for z in amps]


PEERS = {"qulacs": Qulacs, "aer": Aer, "lightning": Lightning}


def targets(n: int) -> list[int]:
    return sorted({0, 1, n // 2, n - 1})


def cases(n: int, gates: list[str]) -> list[tuple[str, int]]:
    return [(g, t) for g in gates for t in targets(n)]


def available_memory() -> int:
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 1 << 62


def kernel_sets() -> str:
    """Which of zentrova's kernel tables the module holds, and which one it runs.

    The module does not say which table it dispatched to: it picks the widest
    one the CPU supports (with the AVX2 set's h on AVX-512 processors of
    Intel, as dispatch.cpp does), unless it was built with
    ZENTROVA_FORCE_SCALAR, which bench/setup_peers.sh records in its build
    directory.
    """
    import zentrova

    with open(zentrova.__file__, "rb") as f:
        blob = f.read()
    # Names may share their bytes ("avx2" is the tail of "avx512_h_avx2").
    built = [k for k in ("scalar", "avx2", "avx512", "avx512_h_avx2")
             if k.encode() + b"\0" in blob]
    flags: set[str] = set()
    vendor = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("vendor_id") and not vendor:
                    vendor = line.split(":", 1)[1].strip()
                if line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
                    break
    except OSError:
        pass
    pure = [k for k in built if k in ("scalar", "avx2", "avx512")]
    usable = [k for k in pure if k == "scalar" or k in flags or (k == "avx512" and "avx512f" in flags)]
    in_use = usable[-1] if usable else "?"
    # On AVX-512 processors the dispatch takes some entries from the AVX2 set,
    # by maker (core/qubit/kernels/dispatch.cpp).
    mixed = {"GenuineIntel": "avx512_h_avx2"}.get(vendor)
    if in_use == "avx512" and mixed in built:
        in_use = mixed
    root = Path(__file__).resolve().parent.parent
    cache = root / "build" / "bench-py" / "CMakeCache.txt"
    if Path(zentrova.__file__).resolve().is_relative_to(root / "build" / "peers-venv") and cache.exists():
        if "ZENTROVA_FORCE_SCALAR:BOOL=ON" in cache.read_text(errors="replace"):
            in_use = "scalar (built with ZENTROVA_FORCE_SCALAR)"
    return f"{in_use} in use; built in: {', '.join(built) or '?'}"


def time_case(apply: Apply, sync: Apply, min_time: float, reps: int,
              cpu_clock: bool = True) -> tuple[float, float, float]:
    """Seconds per gate (fastest of reps), and the wall and CPU time spent timing.

    sync() completes whatever a simulator has queued; it is timed with the gates.
    The CPU clock counts every thread of the process, so a simulator that
    slipped a second thread past its settings would be charged for it.
    """
    t0 = time.perf_counter()
    apply()
    sync()
    warm = time.perf_counter() - t0
    k = max(1, min(1000, math.ceil(min_time / max(warm, 1e-7))))
    best = math.inf
    wall = cpu = 0.0
    for _ in range(reps):
        c0, w0 = time.process_time(), time.perf_counter()
        for _ in range(k):
            apply()
        sync()
        w1, c1 = time.perf_counter(), time.process_time()
        best = min(best, ((c1 - c0) if cpu_clock else (w1 - w0)) / k)
        wall += w1 - w0
        cpu += c1 - c0
    return best, wall, cpu


def check(sims: list, gates: list[str], kind: str, n: int = 6) -> list[str]:
    """Runs every case once through each simulator; returns the ones that disagree with zentrova."""
    ref_sim, *rest = sims
    ref = ref_sim.new(n, kind)
    for g, t in cases(n, gates):
        ref_sim.gate(ref, n, g, t)()
    want = ref_sim.probabilities(ref)
    bad = []
    for sim in rest:
        state = sim.new(n, kind)
        for g, t in cases(n, gates):
            sim.gate(state, n, g, t)()
        got = sim.probabilities(state)
        diff = max(abs(x - y) for x, y in zip(want, got))
        if diff > 1e-10:
            bad.append(f"{sim.name} (largest difference {diff:.2e})")
        del state
    return bad


def call_costs(sims: list) -> dict[str, dict[str, float]]:
    """Microseconds per call on a 3-qubit state, where the arithmetic is nothing."""
    out: dict[str, dict[str, float]] = {}
    for sim in sims:
        state = sim.new(3, "dense")
        out[sim.name] = {}
        for g in ("x", "u", "cnot"):
            t, _, _ = time_case(sim.gate(state, 3, g, 0), lambda: sim.sync(state), 0.02, 5)
            out[sim.name][g] = t * 1e6
        del state
    return out


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", default="20,24", help="qubit counts, e.g. 20,24,26 (26 needs 1 GiB a state)")
    ap.add_argument("--peers", default=",".join(PEERS), help="subset of " + ",".join(PEERS))
    ap.add_argument("--gates", default=",".join(GATES), help="subset of " + ",".join(GATES))
    ap.add_argument("--state", choices=STATES, default="dense",
                    help="the state the gates are timed on: dense (a Hadamard on every qubit), half-zero (on "
                         "every qubit but 5, so half the amplitudes are exact zeros) or fresh (|0...0>)")
    ap.add_argument("--rounds", type=int, default=5, help="rounds over all simulators (median taken)")
    ap.add_argument("--reps", type=int, default=2, help="timings per case in a round (fastest kept)")
    ap.add_argument("--min-time", type=float, default=0.03, help="seconds one timing lasts at least")
    ap.add_argument("--clock", choices=("cpu", "wall"), default="cpu",
                    help="cpu: the process's CPU time, which leaves out time spent waiting for a "
                         "core on a shared machine (default); wall: elapsed time")
    ap.add_argument("--no-check", action="store_true", help="skip the 6-qubit agreement check")
    args = ap.parse_args()

    sizes = [int(s) for s in args.sizes.split(",") if s]
    gates = [g for g in args.gates.split(",") if g]
    if any(g not in GATES for g in gates) or any(n < 3 or n > 30 for n in sizes):
        ap.error("gates must come from " + ",".join(GATES) + "; sizes from 3 to 30")

    warnings.simplefilter("ignore")
    sims = [Zentrova()]
    for key in (p for p in args.peers.split(",") if p):
        try:
            sims.append(PEERS[key]())
        except Exception as e:  # a peer that will not import is left out, not fatal
            print(f"skipping {key}: {type(e).__name__}: {e}", file=sys.stderr)

    def version(sim) -> str:
        try:
            return metadata.version(sim.package)
        except metadata.PackageNotFoundError:
            return "?"

    print(f"zentrova vs peers, one thread each; Python {platform.python_version()}, {platform.machine()}, "
          f"{os.cpu_count()} CPUs")
    print("versions: " + ", ".join(f"{s.name} {version(s)}" for s in sims))
    print(f"zentrova kernels: {kernel_sets()}")
    print(f"state: {args.state}")
    blas = {v: os.environ[v] for v in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE") if v in os.environ}
    print(f"threads: OMP/MKL/OPENBLAS/QULACS_NUM_THREADS=1, aer max_parallel_threads=1; "
          f"OpenBLAS settings left as found: {blas or 'none set'}")

    if not args.no_check:
        bad = check(sims, gates, args.state)
        if bad:
            print("disagree with zentrova on the check circuit, left out: " + ", ".join(bad))
            sims = [s for s in sims if not any(b.startswith(s.name + " ") for b in bad)]
        else:
            print("check: every simulator gives zentrova's probabilities on a 6-qubit run of all cases")

    costs = call_costs(sims)
    print("\nper call on a 3-qubit state (us): " + "; ".join(
        f"{name} " + " ".join(f"{g} {t:.2f}" for g, t in c.items()) for name, c in costs.items()))

    ref = sims[0].name
    peers = [s.name for s in sims[1:]]
    summary: dict[int, dict[str, dict[str, float]]] = {}
    started = time.perf_counter()
    for n in sizes:
        need = 16 << n
        if need * 3 // 2 > available_memory():
            print(f"\nn = {n}: skipped, {need >> 20} MiB a state does not fit")
            continue
        todo = cases(n, gates)
        times: dict[str, dict[tuple[str, int], list[float]]] = {s.name: {c: [] for c in todo} for s in sims}
        load = {s.name: [0.0, 0.0] for s in sims}
        for r in range(args.rounds):
            shift = r % len(sims)
            for sim in sims[shift:] + sims[:shift]:
                state = sim.new(n, args.state)
                for g, t in todo:
                    sync = lambda: sim.sync(state)  # noqa: E731
                    best, wall, cpu = time_case(sim.gate(state, n, g, t), sync, args.min_time, args.reps,
                                                args.clock == "cpu")
                    times[sim.name][(g, t)].append(best)
                    load[sim.name][0] += wall
                    load[sim.name][1] += cpu
                del state
                gc.collect()

        med = statistics.median
        print(f"\nn = {n} ({need >> 20} MiB), ms per gate ({args.clock} time), median of {args.rounds} rounds; "
              f"x = peer / zentrova (> 1: zentrova faster)")
        head = f"{'gate':<8}{'t':>3}{ref:>10}" + "".join(f"{p:>12}{'x':>6}" for p in peers)
        print(head)
        ratios: dict[str, dict[str, list[float]]] = {p: {g: [] for g in gates} for p in peers}
        for g, t in todo:
            line = f"{g:<8}{t:>3}{med(times[ref][(g, t)]) * 1e3:10.3f}"
            for p in peers:
                x = med(a / b for a, b in zip(times[p][(g, t)], times[ref][(g, t)]))
                ratios[p][g].append(x)
                line += f"{med(times[p][(g, t)]) * 1e3:12.3f}{x:6.2f}"
            print(line)
        print("cpu/wall while timing (1.0: one thread, busy all the time; below: the machine was busy elsewhere): " + ", ".join(
            f"{name} {c / w:.2f}" for name, (w, c) in load.items() if w > 0))
        summary[n] = {p: {g: math.exp(statistics.fmean(math.log(x) for x in xs)) for g, xs in rg.items()}
                      for p, rg in ratios.items()}

    if summary:
        print("\nsummary: peer time / zentrova time per gate, geometric mean over the targets "
              "(> 1: zentrova faster)\n")
        ns = list(summary)
        print("| gate | " + " | ".join(f"{p} n={n}" for p in peers for n in ns) + " |")
        print("|---|" + "---|" * (len(peers) * len(ns)))
        for g in gates:
            print(f"| {g} | " + " | ".join(f"{summary[n][p][g]:.2f}" for p in peers for n in ns) + " |")
    print(f"\ntimed part took {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
