"""Noisy circuits through PennyLane: zentrova.mixed against default.mixed, exact density
matrices in double precision, one thread each, process CPU time, median of --rounds
interleaved in one run. The circuit: layers of RY on every wire and a CNOT chain, each gate
followed by depolarizing noise, amplitude damping on every wire at the end of a layer; it
measures <Z_i> on every wire and the purity of the whole state. The first call of each
QNode (PennyLane's set-up) is not timed.

    build/venv-pennylane/bin/python bench/mixed_bench.py [--wires 8] [--layers 10] [--rounds 5]
"""

import os

for _var in ("OMP_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS"):
    os.environ[_var] = "1"

import argparse  # noqa: E402
import statistics  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
import pennylane as qml  # noqa: E402


def noisy_layers(n: int, layers: int):
    angles = np.random.default_rng(n).uniform(0, 2 * np.pi, (layers, n))

    def circuit():
        for layer in angles:
            for w, a in enumerate(layer):
                qml.RY(a, wires=w)
                qml.DepolarizingChannel(0.01, wires=w)
            for w in range(n - 1):
                qml.CNOT(wires=[w, w + 1])
                qml.DepolarizingChannel(0.01, wires=w)
                qml.DepolarizingChannel(0.01, wires=w + 1)
            for w in range(n):
                qml.AmplitudeDamping(0.02, wires=w)
        return [qml.expval(qml.Z(w)) for w in range(n)] + [qml.purity(wires=range(n))]

    return circuit


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wires", type=int, default=8)
    parser.add_argument("--layers", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    circuit = noisy_layers(args.wires, args.layers)
    qnodes = {name: qml.QNode(circuit, qml.device(name, wires=args.wires))
              for name in ("zentrova.mixed", "default.mixed")}
    first = {name: np.array(q()) for name, q in qnodes.items()}
    diff = np.max(np.abs(first["zentrova.mixed"] - first["default.mixed"]))
    times = {name: [] for name in qnodes}
    for _ in range(args.rounds):
        for name, q in qnodes.items():
            t = time.process_time()
            q()
            times[name].append(time.process_time() - t)
    ms = {name: 1000 * statistics.median(t) for name, t in times.items()}
    gates = 2 * args.wires - 1
    print(f"{args.wires} wires, {args.layers} layers ({gates * args.layers} gates, "
          f"{(3 * args.wires - 2) * args.layers + args.wires * args.layers} channels), "
          f"largest difference {diff:.1e}")
    for name, t in ms.items():
        print(f"  {name:15s} {t:9.2f} ms")
    print(f"  default.mixed / zentrova.mixed: {ms['default.mixed'] / ms['zentrova.mixed']:.1f}")


if __name__ == "__main__":
    main()
