"""zentrova's Qiskit primitives beside qiskit-aer's, and the estimator's
speedup on two worker processes against one.

Part 1, against Aer: the same PUBs through ZentrovaEstimator / ZentrovaSampler
and through qiskit_aer.primitives.EstimatorV2 / SamplerV2 (statevector method,
one thread, exact expectation values: precision 0), at n = 16 and 20 qubits.
The circuit is a layered ansatz (ry and rz on every qubit, a cx chain; LAYERS
layers, about 3n gates a layer) with POINTS parameter points in one PUB; the
estimator's observable is a Heisenberg chain with fields, sum over neighbours
of XX + YY + ZZ plus sum of Z, three groups of qubit-wise commuting terms; the
sampler measures every qubit, SHOTS shots a point. Each round times both
simulators, in alternating order, on the whole run() to result(), in process
CPU time (one thread each, so a shared machine's waiting is left out); the
ratio Aer/zentrova (> 1: zentrova faster) is taken within a round and its
median printed. Neither transpiles: both primitives take the circuit as given,
and Aer keeps its default gate fusion.

Part 2, executors: an estimator over 32 PUBs (one point each) in this
process, on a ProcessPoolExecutor of 1 worker and of 2 workers (spawned),
wall time, median and best of rounds; the speedup is 1-worker time / 2-worker
time. It needs two idle cores: the line prints the load average it ran under
(on a shared machine the best of the rounds comes closest to idle cores), and
each round also times the same two pools on tasks of pure Python arithmetic,
whose speedup is what the machine allowed at the time.

Part 3, shot by shot: the backend on a circuit it has to run once per shot
(h on every qubit, a cx chain, a measurement in the middle, an x conditioned
on it, a reset, then every qubit measured), 2000 seeded shots at 3 and 12
qubits, process CPU time of run() to result(), median and best of rounds. It
needs no peer (--only shots runs in build/venv-qiskit too).

Part 4, many small circuits: the backend against AerSimulator(method=
"statevector", max_parallel_threads=1) on SMALL_COUNT seeded random circuits of
6 qubits and 40 gates each (one- and two-qubit gates, rotations, controlled
phases, a few three-qubit gates and two-qubit unitaries, every qubit measured),
all given to one run() of SHOTS seeded shots; process CPU time of run() to
result(), both in alternating order each round, the ratio Aer/zentrova taken
within a round and its median printed. Here the time is Python's per circuit
and per gate, not arithmetic.

Part 5, noise: a noise model of depolarizing errors on every one- and
two-qubit gate (1% and 2%) with thermal relaxation on sx and x, and readout
errors; the backend (threads=1) against AerSimulator(max_parallel_threads=1)
with the same NoiseModel: trajectories (statevector method) at 16 qubits,
1,000 seeded shots of a 4-layer ry/rz/cx ansatz with bound angles, and the
density-matrix method at 10 qubits, 10,000 shots; process CPU time of run()
to result(), alternating order, ratio Aer/zentrova median of rounds.

The peers are installed for benchmarks only (bash bench/setup_peers.sh puts
qiskit-aer into build/peers-venv); zentrova never depends on them.

    build/peers-venv/bin/python bench/qiskit_bench.py [--sizes 16,20] [--rounds 5] [--only aer|speedup|shots|small|noise]
"""

from __future__ import annotations

import os

# One thread everywhere, before numpy or Aer is imported.
for _var in ("OMP_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS"):
    os.environ[_var] = "1"

import argparse  # noqa: E402
import concurrent.futures  # noqa: E402
import multiprocessing  # noqa: E402
import statistics  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit import ParameterVector  # noqa: E402
from qiskit.quantum_info import SparsePauliOp  # noqa: E402

from zentrova_qiskit import ZentrovaEstimator, ZentrovaSampler  # noqa: E402

LAYERS = 4
POINTS = 4
SHOTS = 1024


def ansatz(n: int) -> QuantumCircuit:
    theta = ParameterVector("t", 2 * n * LAYERS)
    qc = QuantumCircuit(n)
    k = 0
    for _ in range(LAYERS):
        for q in range(n):
            qc.ry(theta[k], q)
            qc.rz(theta[k + 1], q)
            k += 2
        for q in range(n - 1):
            qc.cx(q, q + 1)
    return qc


def heisenberg(n: int) -> SparsePauliOp:
    terms = [(p + p, [i, i + 1], 1.0) for i in range(n - 1) for p in "XYZ"]
    terms += [("Z", [i], 0.5) for i in range(n)]
    return SparsePauliOp.from_sparse_list(terms, num_qubits=n)


def timed(run, clock=time.process_time) -> float:
    """Seconds of run(): by default the process's CPU time, all threads (one
    each here), which leaves out waiting for a core on a shared machine."""
    start = clock()
    run()
    return clock() - start


def against_aer(sizes: list[int], rounds: int) -> None:
    from qiskit_aer.primitives import EstimatorV2 as AerEstimator
    from qiskit_aer.primitives import SamplerV2 as AerSampler
    import qiskit_aer

    one = {"max_parallel_threads": 1, "method": "statevector"}
    aer_est = AerEstimator(options={"backend_options": one, "default_precision": 0.0})
    aer_smp = AerSampler(options={"backend_options": one}, default_shots=SHOTS, seed=1)
    z_est, z_smp = ZentrovaEstimator(), ZentrovaSampler(default_shots=SHOTS, seed=1)
    print(f"qiskit-aer {qiskit_aer.__version__}; {LAYERS} layers, {POINTS} points a PUB, "
          f"{SHOTS} shots a point; median of {rounds} rounds; ratio = Aer time / zentrova time")
    print(f"{'n':>3} {'primitive':>9} {'zentrova s':>11} {'aer s':>9} {'ratio':>6}")
    for n in sizes:
        rng = np.random.default_rng(n)
        circuit = ansatz(n)
        values = rng.uniform(-np.pi, np.pi, (POINTS, circuit.num_parameters))
        est_pub = [(circuit, heisenberg(n), values)]
        smp_pub = [(circuit.measure_all(inplace=False), values)]
        # The same values first: the benchmark compares equal work.
        ours = z_est.run(est_pub).result()[0].data.evs
        theirs = aer_est.run(est_pub).result()[0].data.evs
        assert np.allclose(ours, theirs, atol=1e-9), (ours, theirs)
        for name, z_run, a_run in (
                ("estimator", lambda: z_est.run(est_pub).result(),
                 lambda: aer_est.run(est_pub).result()),
                ("sampler", lambda: z_smp.run(smp_pub).result(),
                 lambda: aer_smp.run(smp_pub).result())):
            zs, as_, ratios = [], [], []
            for r in range(rounds):
                pair = (timed(z_run), timed(a_run)) if r % 2 == 0 else tuple(
                    reversed((timed(a_run), timed(z_run))))
                zs.append(pair[0])
                as_.append(pair[1])
                ratios.append(pair[1] / pair[0])
            print(f"{n:>3} {name:>9} {statistics.median(zs):>11.4f} "
                  f"{statistics.median(as_):>9.4f} {statistics.median(ratios):>6.2f}")


def burn(count: int) -> int:
    """Pure Python arithmetic: what two processes can gain on this machine now."""
    total = 0
    for i in range(count):
        total += i * i
    return total


def speedup(n: int, rounds: int) -> None:
    rng = np.random.default_rng(0)
    circuit = ansatz(n)
    obs = heisenberg(n)
    pubs = [(circuit, obs, rng.uniform(-np.pi, np.pi, circuit.num_parameters))
            for _ in range(32)]
    context = multiprocessing.get_context("spawn")
    times: dict[str, list[float]] = {"here": [], "1 worker": [], "2 workers": []}
    probe: dict[str, list[float]] = {"1 worker": [], "2 workers": []}
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as one, \
            concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as two:
        runs = {"here": ZentrovaEstimator(), "1 worker": ZentrovaEstimator(executor=one),
                "2 workers": ZentrovaEstimator(executor=two)}
        reference = runs["here"].run(pubs).result()
        for est in runs.values():  # warm the workers; check the bits on the way
            got = est.run(pubs).result()
            assert all(np.array_equal(a.data.evs, b.data.evs) for a, b in zip(reference, got))
        for _ in range(rounds):
            for name, est in runs.items():
                times[name].append(timed(lambda: est.run(pubs).result(), time.perf_counter))
            for name, pool in (("1 worker", one), ("2 workers", two)):
                probe[name].append(timed(lambda: list(pool.map(burn, [200_000] * 32)),
                                         time.perf_counter))
    med = {k: statistics.median(v) for k, v in times.items()}
    best = {k: min(v) for k, v in times.items()}
    print(f"estimator over 32 PUBs of {n} qubits ({circuit.size()} gates, "
          f"{len(obs)} terms), wall s over {rounds} rounds, median (best):")
    print("  " + "  ".join(f"{k} {med[k]:.3f} ({best[k]:.3f})" for k in med))
    print(f"  speedup, 2 workers over 1: {med['1 worker'] / med['2 workers']:.2f} "
          f"({best['1 worker'] / best['2 workers']:.2f}), "
          f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    pm = {k: statistics.median(v) for k, v in probe.items()}
    pb = {k: min(v) for k, v in probe.items()}
    print(f"  the same pools on 32 tasks of pure Python arithmetic, same rounds: speedup "
          f"{pm['1 worker'] / pm['2 workers']:.2f} ({pb['1 worker'] / pb['2 workers']:.2f}), "
          "what this machine allowed")


def dynamic(n: int) -> QuantumCircuit:
    qc = QuantumCircuit(n, n)
    qc.h(range(n))
    for q in range(n - 1):
        qc.cx(q, q + 1)
    qc.measure(0, 0)
    with qc.if_test((qc.clbits[0], 1)):
        qc.x(n - 1)
    qc.reset(1)
    qc.h(1)
    qc.measure(range(n), range(n))
    return qc


def shot_by_shot(rounds: int, shots: int = 2000) -> None:
    from zentrova_qiskit import ZentrovaBackend

    backend = ZentrovaBackend()
    print(f"shot by shot: {shots} seeded shots, process CPU s over {rounds} rounds, median (best)")
    for n in (3, 12):
        qc = dynamic(n)
        backend.run(qc, shots=shots, seed_simulator=1).result()
        ts = [timed(lambda: backend.run(qc, shots=shots, seed_simulator=1).result())
              for _ in range(rounds)]
        print(f"  n = {n:2d}: {statistics.median(ts):.4f} ({min(ts):.4f})")


SMALL_COUNT = 2000
# Gates both simulators take as they are (Aer's basis), by how many qubits and
# angles each needs.
SMALL_GATES = [("h", 1, 0), ("x", 1, 0), ("y", 1, 0), ("z", 1, 0), ("s", 1, 0), ("t", 1, 0),
               ("sx", 1, 0), ("rx", 1, 1), ("ry", 1, 1), ("rz", 1, 1), ("p", 1, 1),
               ("u", 1, 3), ("cx", 2, 0), ("cx", 2, 0), ("cz", 2, 0), ("cy", 2, 0),
               ("swap", 2, 0), ("cp", 2, 1), ("crz", 2, 1), ("crx", 2, 1), ("rzz", 2, 1),
               ("rxx", 2, 1), ("ecr", 2, 0), ("ccx", 3, 0), ("cswap", 3, 0),
               ("unitary", 2, 0)]


def small_circuits(count: int, n: int = 6, gates: int = 40, seed: int = 0) -> list:
    from qiskit.quantum_info import random_unitary

    rng = np.random.default_rng(seed)
    out = []
    for _ in range(count):
        qc = QuantumCircuit(n)
        for _ in range(gates):
            name, k, angles = SMALL_GATES[rng.integers(len(SMALL_GATES))]
            qubits = [int(q) for q in rng.choice(n, k, replace=False)]
            if name == "unitary":
                qc.unitary(random_unitary(4, seed=rng), qubits)
            else:
                getattr(qc, name)(*rng.uniform(-np.pi, np.pi, angles).tolist(), *qubits)
        qc.measure_all()
        out.append(qc)
    return out


def many_small(rounds: int, count: int = SMALL_COUNT) -> None:
    from qiskit_aer import AerSimulator

    from zentrova_qiskit import ZentrovaBackend

    circuits = small_circuits(count)
    ours = ZentrovaBackend()
    aer = AerSimulator(method="statevector", max_parallel_threads=1)

    def z_run():
        return ours.run(circuits, shots=SHOTS, seed_simulator=1).result()

    def a_run():
        return aer.run(circuits, shots=SHOTS, seed_simulator=1).result()
    z_run(), a_run()  # warm both (imports, caches)
    zs, as_, ratios = [], [], []
    for r in range(rounds):
        if r % 2 == 0:
            z, a = timed(z_run), timed(a_run)
        else:
            a, z = timed(a_run), timed(z_run)
        zs.append(z)
        as_.append(a)
        ratios.append(a / z)
    print(f"{count} circuits of 6 qubits and 40 gates, {SHOTS} shots each, one run(); "
          f"process CPU s, median of {rounds} rounds:")
    print(f"  zentrova {statistics.median(zs):.3f} ({min(zs):.3f} best), "
          f"Aer {statistics.median(as_):.3f} ({min(as_):.3f} best), "
          f"Aer / zentrova {statistics.median(ratios):.2f}")


def noise_model():
    from qiskit_aer.noise import (NoiseModel, ReadoutError, depolarizing_error,
                                  thermal_relaxation_error)
    model = NoiseModel()
    model.add_all_qubit_quantum_error(depolarizing_error(0.01, 1), ["ry", "rz", "h"])
    model.add_all_qubit_quantum_error(
        depolarizing_error(0.01, 1).compose(thermal_relaxation_error(50e3, 40e3, 100)),
        ["sx", "x"])
    model.add_all_qubit_quantum_error(depolarizing_error(0.02, 2), ["cx"])
    model.add_all_qubit_readout_error(ReadoutError([[0.97, 0.03], [0.05, 0.95]]))
    return model


def noisy(rounds: int) -> None:
    from qiskit_aer import AerSimulator
    from zentrova_qiskit import ZentrovaBackend

    model = noise_model()
    print(f"noise: depolarizing on every gate, relaxation on sx/x, readout errors; median of "
          f"{rounds} rounds; ratio = Aer time / zentrova time")
    print(f"{'case':>28} {'zentrova s':>11} {'aer s':>9} {'ratio':>6}")
    for method, n, shots in (("statevector", 16, 1000), ("density_matrix", 10, 10000)):
        qc = ansatz(n)
        qc = qc.assign_parameters(np.random.default_rng(n).uniform(-3, 3, qc.num_parameters))
        for q in range(n):
            qc.sx(q)
        qc.measure_all()
        ours = ZentrovaBackend(noise_model=model, method=method, threads=1)
        aer = AerSimulator(noise_model=model, method=method, max_parallel_threads=1)
        z_run = lambda: ours.run(qc, shots=shots, seed_simulator=1).result()  # noqa: E731
        a_run = lambda: aer.run(qc, shots=shots, seed_simulator=1).result()  # noqa: E731
        zs, as_, ratios = [], [], []
        for r in range(rounds):
            pair = (timed(z_run), timed(a_run)) if r % 2 == 0 else tuple(
                reversed((timed(a_run), timed(z_run))))
            zs.append(pair[0])
            as_.append(pair[1])
            ratios.append(pair[1] / pair[0])
        print(f"{method + f', {n} qubits, {shots} shots':>28} {statistics.median(zs):>11.4f} "
              f"{statistics.median(as_):>9.4f} {statistics.median(ratios):>6.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="16,20")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--speedup-qubits", type=int, default=16)
    parser.add_argument("--only", choices=("aer", "speedup", "shots", "small", "noise"),
                        help="run one part only")
    args = parser.parse_args()
    if args.only in (None, "aer"):
        against_aer([int(s) for s in args.sizes.split(",")], args.rounds)
    if args.only in (None, "speedup"):
        speedup(args.speedup_qubits, args.rounds)
    if args.only in (None, "shots"):
        shot_by_shot(args.rounds)
    if args.only in (None, "small"):
        many_small(args.rounds)
    if args.only in (None, "noise"):
        noisy(args.rounds)


if __name__ == "__main__":
    main()
