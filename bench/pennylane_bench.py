"""Times one expectation value of a circuit of a few hundred gates through the same
PennyLane QNode on zentrova.qubit, default.qubit and lightning.qubit, one thread each, and
prints each device's time over zentrova.qubit's (above 1: zentrova.qubit is faster), all
measured in one run, interleaved round by round so that the machine's load meets every
device alike. With --profile it also splits zentrova.qubit's time into PennyLane's own
processing, the gates and the read-out; with --gradient it times a parameter-shift gradient
on 1 and 2 worker processes.

    build/venv-pennylane/bin/python bench/pennylane_bench.py [--sizes 16,20] [--profile]
    build/venv-pennylane/bin/python bench/pennylane_bench.py --gradient --sizes 16

Run it in build/venv-pennylane (scripts/test_pennylane.sh makes it): lightning.qubit comes
with PennyLane there, as PennyLane's own dependency, never zentrova's."""

import os

# One thread each, set before numpy and the simulators load their thread pools.
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"

import argparse  # noqa: E402
import cProfile  # noqa: E402
import pstats  # noqa: E402
import statistics  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
import pennylane as qml  # noqa: E402

DEVICES = ("zentrova.qubit", "default.qubit", "lightning.qubit")


def circuit_for(n, layers):
    """Layers of RY and RZ on every wire, then a CNOT ladder, and a few fixed gates: about
    (3n - 1) gates a layer; <Z0 Z(n-1)> at the end."""

    def circuit(params):
        for layer in range(layers):
            for w in range(n):
                qml.RY(params[layer, w, 0], wires=w)
                qml.RZ(params[layer, w, 1], wires=w)
            for w in range(n - 1):
                qml.CNOT(wires=[w, w + 1])
            qml.Hadamard(layer % n)
            qml.S((layer + 1) % n)
        return qml.expval(qml.Z(0) @ qml.Z(n - 1))

    return circuit


def gate_count(n, layers):
    return layers * (3 * n + 1)


def time_call(fn, *args):
    t = time.perf_counter()
    fn(*args)
    return time.perf_counter() - t


def compare(n, layers, rounds):
    params = np.random.default_rng(1).uniform(0, np.pi, size=(layers, n, 2))
    nodes = {}
    for name in DEVICES:
        try:
            dev = qml.device(name, wires=n)
        except Exception as e:  # noqa: BLE001 - a missing peer is reported, not fatal
            print(f"  {name}: not available ({e})")
            continue
        nodes[name] = qml.QNode(circuit_for(n, layers), dev, diff_method=None)
    values = {name: float(node(params)) for name, node in nodes.items()}  # warm-up, and a check
    times = {name: [] for name in nodes}
    for _ in range(rounds):
        for name, node in nodes.items():
            times[name].append(time_call(node, params))
    med = {name: statistics.median(t) for name, t in times.items()}
    base = med["zentrova.qubit"]
    print(f"n = {n}, {gate_count(n, layers)} gates, median of {rounds} rounds:")
    for name in nodes:
        print(
            f"  {name:16s} {med[name] * 1e3:9.2f} ms   over zentrova.qubit: {med[name] / base:5.2f}"
            f"   <Z0 Z{n - 1}> = {values[name]:+.15f}"
        )
    return med


def profile(n, layers):
    """zentrova.qubit's time split by where it goes."""
    params = np.random.default_rng(1).uniform(0, np.pi, size=(layers, n, 2))
    node = qml.QNode(circuit_for(n, layers), qml.device("zentrova.qubit", wires=n), diff_method=None)
    node(params)
    prof = cProfile.Profile()
    prof.enable()
    for _ in range(3):
        node(params)
    prof.disable()
    stats = pstats.Stats(prof)
    total = stats.total_tt / 3

    def cumulative(func_name, file_part=""):
        for (file, _, name), (_, _, _, ct, _) in stats.stats.items():
            if name == func_name and file_part in file:
                return ct / 3
        return 0.0

    run = cumulative("run", "zentrova_pennylane")
    ops_time = cumulative("run_ops", "zentrova_pennylane")
    gates = sum(
        tt for (file, _, name), (_, _, tt, _, _) in stats.stats.items()
        if "QuantumRegister" in name or ("built-in" in file and name.startswith("<method '"))
        and any(g in name for g in ("'rx'", "'ry'", "'rz'", "'cnot'", "'h'", "'u'", "'mcu'", "'x'"))
    ) / 3
    readout = ((cumulative("probs", "zentrova_pennylane") or 0.0))
    print(f"profile of zentrova.qubit at n = {n} ({gate_count(n, layers)} gates), per call:")
    print(f"  whole call          {total * 1e3:8.2f} ms")
    print(f"  PennyLane outside the device's execute: {(total - run) * 1e3:8.2f} ms")
    print(f"  device execute      {run * 1e3:8.2f} ms, of which gates incl. Python dispatch "
          f"{ops_time * 1e3:.2f} ms (register methods alone {gates * 1e3:.2f} ms), "
          f"read-out {readout * 1e3:.2f} ms")
    stats.sort_stats("tottime").print_stats(12)


def gradient(n, layers, rounds):
    """A parameter-shift gradient (two circuits per parameter) on 1 and 2 processes."""
    params = qml.numpy.array(
        np.random.default_rng(2).uniform(0, np.pi, size=(layers, n, 2)), requires_grad=True
    )
    results, med = {}, {}
    for workers in (None, 2):
        dev = qml.device("zentrova.qubit", wires=n, max_workers=workers)
        node = qml.QNode(circuit_for(n, layers), dev, diff_method="parameter-shift")
        grad = qml.grad(node)
        results[workers] = grad(params)  # warm-up: starts the pool
        med[workers] = statistics.median(time_call(grad, params) for _ in range(rounds))
        dev.close()
    same = np.array_equal(results[None], results[2])
    circuits = 2 * params.size
    print(f"parameter-shift gradient, n = {n}, {gate_count(n, layers)} gates, {circuits} circuits:")
    print(f"  1 process  {med[None]:7.2f} s")
    print(f"  2 processes {med[2]:6.2f} s   speed-up {med[None] / med[2]:.2f}   same bits: {same}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="16,20")
    ap.add_argument("--layers", type=int, default=6)
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--profile", action="store_true")
    ap.add_argument("--gradient", action="store_true")
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    if args.gradient:
        for n in sizes:
            gradient(n, 2, max(1, args.rounds // 3))
        return
    for n in sizes:
        compare(n, args.layers, args.rounds)
        if args.profile:
            profile(n, args.layers)


if __name__ == "__main__":
    main()
