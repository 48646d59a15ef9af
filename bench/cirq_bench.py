"""Whole circuits through Cirq: ZentrovaSimulator beside cirq.Simulator and
qsim's QSimSimulator, each driven as a Cirq user drives it.

The circuits are the three families of bench/circuits.py (ansatz, qft,
random), built as cirq.Circuits ending in one measurement of every qubit.
What is timed, for each simulator alike: `simulator.run(circuit,
repetitions=1)`, from the circuit object to the Result, so reading the
circuit, simulating it from |0...0> and drawing one sample are all in it.

- zentrova: ZentrovaSimulator() (double precision, gates as they come; the
  module records them and applies them in passes);
- cirq: cirq.Simulator(dtype=np.complex128) (double precision; its default,
  complex64, is shown too with `--cirq64`);
- qsim: qsimcirq.QSimSimulator with one thread and its default gate fusion
  (single precision);
- module: the same gates called on zentrova's module directly, as
  bench/circuits.py calls them but in the order the cirq.Circuit holds them
  (moment by moment, which the engine's passes feel), timed alike from making
  the register to one `observe()`: what the plugin adds is the difference;
- cirq-nosplit (with `--nosplit`): cirq.Simulator(dtype=np.complex128,
  split_untangled_states=False), which holds the whole state from the start
  as zentrova does, to show what Cirq gains by keeping product states apart.

One thread everywhere, and the clock the process's CPU time; with
`--threads T` (T > 1) zentrova gets ZentrovaSimulator(threads=T), qsim
cpu_threads=T, zentrova also runs on one thread ("zentrova-1t", for the
scaling), cirq.Simulator and the module are left out, and the clock is the
wall clock. Each time is the
best over `--rounds` runs (cirq.Simulator, far the slowest, gets one run at
sizes above 20). Before timing, every family is run at 8 qubits through every
simulator and the final states compared with zentrova's (double precision
within 1e-10, qsim within 1e-5). The peers come from build/peers-venv
(bench/setup_peers.sh) and are never a dependency of zentrova.

    build/peers-venv/bin/python bench/cirq_bench.py [--sizes 16,20,24] [--rounds 2]
"""

from __future__ import annotations

import os

for _var in ("OMP_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS"):
    os.environ[_var] = "1"

import argparse
import math
import platform
import sys
import time
import warnings
from importlib import metadata
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from circuits import FAMILIES, Zentrova, available_memory, circuit, cirq_circuit  # noqa: E402

import cirq  # noqa: E402
import numpy as np  # noqa: E402


def moment_order(ops: list) -> list:
    """The operations in the order a cirq.Circuit built from them holds them:
    each goes to the moment after the last one that touches its qubits, and
    the circuit lists them moment by moment."""
    last: dict = {}
    placed = []
    for i, (_, qubits, _) in enumerate(ops):
        m = 1 + max((last.get(q, -1) for q in qubits), default=-1)
        last.update((q, m) for q in qubits)
        placed.append((m, i))
    return [ops[i] for _, i in sorted(placed)]


class Module:
    """zentrova's module without Cirq: run() takes bench/circuits.py's
    operations (in moment_order, as the plugin gets them from Cirq) instead
    of a cirq.Circuit."""

    def run(self, ops_n: tuple, repetitions: int = 1) -> None:
        bare = Zentrova()
        bare.setup(*ops_n)
        bare.start()
        bare.run()
        bare.stop()


def simulators(cirq64: bool, nosplit: bool, threads: int = 1) -> dict:
    from zentrova_cirq import ZentrovaSimulator

    if threads > 1:
        sims = {"zentrova": ZentrovaSimulator(threads=threads),
                "zentrova-1t": ZentrovaSimulator(threads=1)}
        import qsimcirq

        sims["qsim"] = qsimcirq.QSimSimulator(qsim_options=qsimcirq.QSimOptions(cpu_threads=threads))
        return sims
    sims = {"zentrova": ZentrovaSimulator(threads=1), "cirq": cirq.Simulator(dtype=np.complex128)}
    if cirq64:
        sims["cirq64"] = cirq.Simulator()
    if nosplit:
        sims["cirq-nosplit"] = cirq.Simulator(dtype=np.complex128, split_untangled_states=False)
    sims["module"] = Module()
    try:
        import qsimcirq

        sims["qsim"] = qsimcirq.QSimSimulator(qsim_options=qsimcirq.QSimOptions(cpu_threads=1))
    except ImportError as e:
        print(f"skipping qsim: {e}", file=sys.stderr)
    return sims


def check(sims: dict, n: int) -> list[str]:
    bad = []
    for family in FAMILIES:
        c = cirq_circuit(circuit(family, n), n, False)
        want = sims["zentrova"].simulate(c).final_state_vector
        for name, sim in sims.items():
            if name == "module":  # the plugin's own calls: the check of zentrova itself
                continue
            got = sim.simulate(c).final_state_vector
            tol = 1e-5 if got.dtype == np.complex64 else 1e-10
            diff = np.abs(got - want).max()
            if diff > tol:
                print(f"  {name} disagrees on {family} (largest difference {diff:.2e})")
                bad.append(name)
    return bad


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", default="16,20,24")
    ap.add_argument("--families", default=",".join(FAMILIES))
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--cirq64", action="store_true", help="also cirq.Simulator in complex64")
    ap.add_argument("--nosplit", action="store_true",
                    help="also cirq.Simulator without split_untangled_states")
    ap.add_argument("--threads", type=int, default=1,
                    help="zentrova's and qsim's threads; above 1, wall-clock times")
    args = ap.parse_args()
    clock = time.process_time if args.threads == 1 else time.perf_counter
    warnings.simplefilter("ignore")
    sizes = [int(s) for s in args.sizes.split(",")]
    families = args.families.split(",")
    sims = simulators(args.cirq64, args.nosplit, args.threads)
    versions = {"zentrova": "zentrova", "zentrova-1t": "zentrova", "cirq": "cirq-core", "cirq64": "cirq-core",
                "cirq-nosplit": "cirq-core", "qsim": "qsimcirq", "module": "zentrova"}
    print(f"whole circuits through Cirq, {args.threads} thread(s); Python {platform.python_version()}, "
          f"{platform.machine()}, {os.cpu_count()} CPUs")
    print("versions: " + ", ".join(f"{name} {metadata.version(versions[name])}" for name in sims))
    bad = check(sims, 8)
    for name in bad:
        sims.pop(name, None)
    if not bad:
        print("check: every simulator gives zentrova's final state on every family at 8 qubits")

    best: dict = {}
    for n in sizes:
        if (16 << n) * 3 > available_memory():
            print(f"n = {n}: skipped, a state does not fit three times")
            continue
        circuits = {f: cirq_circuit(circuit(f, n), n, True) for f in families}
        bare = {f: (moment_order(circuit(f, n)), n) for f in families}
        for r in range(args.rounds):
            for name, sim in sims.items():
                if r and name.startswith("cirq") and n > 20:
                    continue
                for family in families:
                    given = bare[family] if name == "module" else circuits[family]
                    t0 = clock()
                    sim.run(given, repetitions=1)
                    spent = clock() - t0
                    best[(n, family, name)] = min(best.get((n, family, name), math.inf), spent)
        what = "CPU time" if args.threads == 1 else "wall clock"
        print(f"\nn = {n}: ms ({what}) and time / zentrova's (> 1: zentrova faster)")
        for family in families:
            z = best[(n, family, "zentrova")]
            print(f"  {family:<8}{z * 1e3:10.1f}" + "".join(
                f"  {name} {best[(n, family, name)] * 1e3:.1f} ({best[(n, family, name)] / z:.2f}x)"
                for name in sims if name != "zentrova"))
    others = [name for name in sims if name != "zentrova"]
    print("\n| n | circuit | zentrova ms | " + " | ".join(f"{s} / zentrova" for s in others) + " |")
    print("|---|---|---|" + "---|" * len(others))
    for n in sizes:
        for family in families:
            if (n, family, "zentrova") in best:
                z = best[(n, family, "zentrova")]
                print(f"| {n} | {family} | {z * 1e3:.1f} | " + " | ".join(
                    f"{best[(n, family, s)] / z:.2f}" for s in others) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
