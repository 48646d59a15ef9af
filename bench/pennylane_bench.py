"""Times one expectation value of a circuit of a few hundred gates through the same
PennyLane QNode on zentrova.qubit, default.qubit and lightning.qubit, one thread each, and
prints each device's time over zentrova.qubit's (above 1: zentrova.qubit is faster), all
measured in one run, interleaved round by round so that the machine's load meets every
device alike. With --profile it also splits zentrova.qubit's time into PennyLane's own
processing, the program's construction and the engine's run and read-out; with --gradient it
times a parameter-shift gradient on 1 and 2 worker processes. With --broadcast it times, on 6
qubits (RY, RZ, a CNOT chain, RX; <Z0 Z5>), one QNode call broadcast over 1,000 parameter sets
and 300 single calls of the same QNode, on the three devices.

    build/venv-pennylane/bin/python bench/pennylane_bench.py [--sizes 16,20] [--profile]
    build/venv-pennylane/bin/python bench/pennylane_bench.py --gradient --sizes 16
    build/venv-pennylane/bin/python bench/pennylane_bench.py --broadcast

Run it in build/venv-pennylane (scripts/test_pennylane.sh makes it): lightning.qubit comes
with PennyLane there, as PennyLane's own dependency, never zentrova's."""

import os

# One thread each, set before numpy and the simulators load their thread pools.
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"

import argparse  # noqa: E402
import statistics  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
import pennylane as qml  # noqa: E402

DEVICES = ("zentrova.qubit", "default.qubit", "lightning.qubit")


def ansatz_layer(params, layer, n):
    """RY and RZ on every wire (params[layer, wire, 0 and 1]), then a CNOT ladder."""
    for w in range(n):
        qml.RY(params[layer, w, 0], wires=w)
        qml.RZ(params[layer, w, 1], wires=w)
    for w in range(n - 1):
        qml.CNOT(wires=[w, w + 1])


def circuit_for(n, layers):
    """Layers of RY and RZ on every wire, then a CNOT ladder, and a few fixed gates: about
    (3n - 1) gates a layer; <Z0 Z(n-1)> at the end."""

    def circuit(params):
        for layer in range(layers):
            ansatz_layer(params, layer, n)
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
    best = {name: min(t) for name, t in times.items()}
    base = med["zentrova.qubit"]
    print(f"n = {n}, {gate_count(n, layers)} gates, median of {rounds} rounds:")
    for name in nodes:
        print(
            f"  {name:16s} {med[name] * 1e3:9.2f} ms   over zentrova.qubit: {med[name] / base:5.2f}"
            f"   (fastest rounds: {best[name] / best['zentrova.qubit']:5.2f})"
            f"   <Z0 Z{n - 1}> = {values[name]:+.15f}"
        )
    return med


def profile(n, layers, rounds):
    """Where zentrova.qubit's time goes: medians of each part timed on its own, in turns."""
    import zentrova_readout
    from zentrova_pennylane.simulate import program_of, run_program

    params = np.random.default_rng(1).uniform(0, np.pi, size=(layers, n, 2))
    dev = qml.device("zentrova.qubit", wires=n)
    node = qml.QNode(circuit_for(n, layers), dev, diff_method=None)
    construct = qml.workflow.construct_tape(node)
    tape = construct(params)
    program = dev.preprocess_transforms()
    batch = program((tape,))[0]
    ops = program_of(batch[0], dev.wires)

    # On more than 16 qubits the register records its gates and runs them in cache-sized
    # passes when the state is read: gates and read-out are timed together.
    parts = {
        "whole QNode call": lambda: node(params),
        "tape from the quantum function (PennyLane)": lambda: construct(params),
        "device preprocessing (PennyLane's transforms and ours)": lambda: program((tape,)),
        "device execute": lambda: dev.execute(batch),
        "  the program from PennyLane's operations": lambda: program_of(batch[0], dev.wires),
        "  its run and the probabilities": lambda: (
            zentrova_readout.probabilities(run_program(ops, n))
        ),
    }
    times = {k: [] for k in parts}
    for _ in range(rounds):
        for k, fn in parts.items():
            times[k].append(time_call(fn))
    print(f"where zentrova.qubit's time goes, n = {n}, {len(ops)} operations, median ms:")
    for k, t in times.items():
        print(f"  {k:56s} {statistics.median(t) * 1e3:9.2f}")


def broadcast(rounds, n=6, sets=1000, singles=300):
    """One QNode call broadcast over `sets` parameter sets, and `singles` calls of one set each,
    on every device; the devices take turns within each round."""

    def circuit(p):
        for w in range(n):
            qml.RY(p[..., w, 0], wires=w)
            qml.RZ(p[..., w, 1], wires=w)
        for w in range(n - 1):
            qml.CNOT(wires=[w, w + 1])
        for w in range(n):
            qml.RX(p[..., w, 2], wires=w)
        return qml.expval(qml.Z(0) @ qml.Z(n - 1))

    params = np.random.default_rng(4).uniform(-np.pi, np.pi, size=(sets, n, 3))
    nodes = {name: qml.QNode(circuit, qml.device(name, wires=n)) for name in DEVICES}
    values = {name: node(params) for name, node in nodes.items()}  # warm-up, and a check
    ref = values["default.qubit"]
    times = {(name, kind): [] for name in nodes for kind in ("broadcast", "singles")}
    for _ in range(rounds):
        for name, node in nodes.items():
            times[name, "broadcast"].append(time_call(node, params))
            times[name, "singles"].append(time_call(lambda: [node(p) for p in params[:singles]]))
    med = {k: statistics.median(t) for k, t in times.items()}
    print(f"{n} qubits, RY RZ CNOT-chain RX, <Z0 Z{n - 1}>, median of {rounds} rounds:")
    for kind, what in [("broadcast", f"one call broadcast over {sets} sets"),
                       ("singles", f"{singles} single calls")]:
        ours = med["zentrova.qubit", kind]
        print(f"  {what}: zentrova.qubit {ours * 1e3:8.2f} ms; " + ", ".join(
            f"{name} {med[name, kind] * 1e3:8.2f} ms ({med[name, kind] / ours:5.2f})"
            for name in nodes if name != "zentrova.qubit"))
    print("  largest difference from default.qubit: " + ", ".join(
        f"{name} {np.max(np.abs(np.asarray(v) - ref)):.1e}" for name, v in values.items()))


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
    print(f"  1 process   {med[None]:6.2f} s")
    print(f"  2 processes {med[2]:6.2f} s   speed-up {med[None] / med[2]:.2f}   same bits: {same}")
    print(f"  load average over the last minute: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="16,20")
    ap.add_argument("--layers", type=int, default=6)
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--profile", action="store_true")
    ap.add_argument("--gradient", action="store_true")
    ap.add_argument("--broadcast", action="store_true")
    args = ap.parse_args()
    if args.broadcast:
        broadcast(args.rounds)
        return
    sizes = [int(s) for s in args.sizes.split(",")]
    if args.gradient:
        for n in sizes:
            gradient(n, args.layers, max(1, args.rounds // 3))
        return
    for n in sizes:
        compare(n, args.layers, args.rounds)
        if args.profile:
            profile(n, args.layers, args.rounds)


if __name__ == "__main__":
    main()
