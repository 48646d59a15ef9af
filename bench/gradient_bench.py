"""Times qml.grad of <sum_i Z_i Z_(i+1)> for the hardware-efficient ansatz (RY and RZ on every
wire, then a CNOT ladder, per layer) on zentrova.qubit (diff_method="best", which is adjoint
there) and lightning.qubit (diff_method="adjoint"), one thread each, interleaved round by round
in one run. Prints the median times, lightning's time over zentrova's (above 1: zentrova
faster), zentrova's gradient over one forward evaluation of the same QNode (its parameters not
trainable, so that the evaluation computes no derivatives), and, with --memory, each device's
peak memory for one gradient, measured in a fresh process of its own. Times are the process's
CPU time (every device runs on one thread): on a shared machine, time spent waiting for a core
would otherwise land on whichever device was running.

    build/venv-pennylane/bin/python bench/gradient_bench.py [--sizes 12x3,20x2] [--memory]

With --shift, times instead one parameter-shift gradient (a training step) on both devices, of
the same ansatz's expectation value of a transverse-field Ising Hamiltonian (two groups of
commuting terms) and of 30 random Pauli words, analytic and with 1000 shots.

Run it in build/venv-pennylane (scripts/test_pennylane.sh makes it): lightning.qubit comes with
PennyLane there, as PennyLane's own dependency, never zentrova's."""

import os

# One thread each, set before numpy and the simulators load their thread pools.
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"

import argparse  # noqa: E402
import json  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
import pennylane as qml  # noqa: E402
from pennylane import numpy as pnp  # noqa: E402
from pennylane_bench import ansatz_layer  # noqa: E402

DEVICES = {"zentrova.qubit": "best", "lightning.qubit": "adjoint"}


def qnode(device, n, layers):
    h = qml.sum(*(qml.Z(i) @ qml.Z(i + 1) for i in range(n - 1)))
    diff_method = DEVICES[device]

    @qml.qnode(qml.device(device, wires=n), diff_method=diff_method)
    def circuit(params):
        for layer in range(layers):
            ansatz_layer(params, layer, n)
        return qml.expval(h)

    return circuit


def params_for(n, layers):
    return pnp.array(pnp.random.default_rng(7).uniform(-3, 3, (layers, n, 2)), requires_grad=True)


def timed(fn, *args):
    start = time.process_time()
    fn(*args)
    return time.process_time() - start


def measure(n, layers, rounds):
    params = params_for(n, layers)
    fixed = pnp.array(params, requires_grad=False)
    nodes = {d: qnode(d, n, layers) for d in DEVICES}
    grads = {d: qml.grad(nodes[d]) for d in DEVICES}
    times = {d: [] for d in DEVICES}
    forward = []
    for fn in grads.values():
        fn(params)  # warm up: imports, caches, the first allocation
    nodes["zentrova.qubit"](fixed)
    for _ in range(rounds):
        for d in DEVICES:
            times[d].append(timed(grads[d], params))
        forward.append(timed(nodes["zentrova.qubit"], fixed))
    med = {d: statistics.median(t) for d, t in times.items()}
    fwd = statistics.median(forward)
    ours = med["zentrova.qubit"]
    print(
        f"{n:>2} qubits x {layers} layers ({2 * n * layers} parameters): "
        f"zentrova {ours * 1e3:8.2f} ms, lightning adjoint {med['lightning.qubit'] * 1e3:8.2f} ms, "
        f"lightning/zentrova {med['lightning.qubit'] / ours:5.2f}; "
        f"zentrova forward {fwd * 1e3:7.2f} ms, gradient/forward {ours / fwd:4.2f}",
        flush=True,
    )


def hamiltonians(n):
    rng = np.random.default_rng(3)
    bonds = [qml.Z(i) @ qml.Z(i + 1) for i in range(n - 1)]
    ising = qml.Hamiltonian([1.0] * (n - 1) + [0.7] * n, bonds + [qml.X(i) for i in range(n)])
    words = ["".join(rng.choice(list("IXYZ"), n)) for _ in range(30)]
    random = qml.Hamiltonian(rng.normal(size=30),
                             [qml.pauli.string_to_pauli_word(w) for w in words])
    return {"Ising": ising, "30 words": random}


def measure_shift(n, layers, rounds):
    params = params_for(n, layers)
    for name, h in hamiltonians(n).items():
        for shots in [None, 1000]:
            grads = {}
            for d in DEVICES:
                node = qml.QNode(lambda p: ([ansatz_layer(p, k, n) for k in range(layers)],
                                            qml.expval(h))[1],
                                 qml.device(d, wires=n), diff_method="parameter-shift")
                grads[d] = qml.grad(qml.set_shots(node, shots))
                grads[d](params)  # warm up
            times = {d: [] for d in DEVICES}
            for _ in range(rounds):
                for d in DEVICES:
                    times[d].append(timed(grads[d], params))
            med = {d: statistics.median(t) for d, t in times.items()}
            ours = med["zentrova.qubit"]
            print(
                f"{n:>2} qubits x {layers} layers, parameter shift, {name}, shots {shots}: "
                f"zentrova {ours * 1e3:8.1f} ms, lightning {med['lightning.qubit'] * 1e3:8.1f} ms, "
                f"lightning/zentrova {med['lightning.qubit'] / ours:5.2f}",
                flush=True,
            )


def peak_memory(device, n, layers):
    """Peak resident memory of one gradient in a fresh process, over the process's resident
    memory before it: the second of two gradients, with the peak reset in between (Linux's
    clear_refs), so that what PennyLane loads on first use is not counted."""
    code = f"""
import os, json
os.environ["OMP_NUM_THREADS"] = "1"
import sys; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
import gradient_bench as b, pennylane as qml
grad, params = qml.grad(b.qnode({device!r}, {n}, {layers})), b.params_for({n}, {layers})
grad(params)
def status(key):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith(key)) * 1024
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS:")
grad(params)
print(json.dumps([before, status("VmHWM:")]))
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    before, peak = json.loads(out.stdout.strip().splitlines()[-1])
    return peak - before


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="12x3,20x2", help="qubits x layers, comma-separated")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--memory", action="store_true", help="peak memory at the largest size")
    parser.add_argument("--shift", action="store_true", help="parameter-shift training steps")
    args = parser.parse_args()
    sizes = [tuple(int(v) for v in s.split("x")) for s in args.sizes.split(",")]
    if args.shift:
        for n, layers in sizes:
            measure_shift(n, layers, args.rounds)
        return
    for n, layers in sizes:
        measure(n, layers, args.rounds if n < 18 else max(3, args.rounds // 2))
    if args.memory:
        n, layers = sizes[-1]
        state = 16 << n
        for d in DEVICES:
            extra = peak_memory(d, n, layers)
            print(f"peak memory of one gradient at {n} qubits, {d}: {extra / 2**20:7.1f} MiB "
                  f"({extra / state:4.1f} states)", flush=True)


if __name__ == "__main__":
    main()
