"""Noisy circuits through Cirq: ZentrovaDensityMatrixSimulator against
cirq.DensityMatrixSimulator (exact density matrices), and ZentrovaSimulator's
seeded trajectories against cirq.Simulator's (run with repetitions), both in
double precision, one thread each (zentrova threads=1), process CPU time, best
of --rounds. The circuits: layers of ry on every qubit and a CNOT chain, each
gate followed by depolarizing noise (cirq.ConstantQubitNoiseModel), amplitude
damping on every qubit at the end of a layer. The peers come from
build/peers-venv (bench/setup_peers.sh) and are never a dependency of zentrova.

    build/peers-venv/bin/python bench/noise_bench.py [--dm 8] [--traj 16] [--layers 10]
"""

import argparse
import os
import sys
import time

for _var in ("OMP_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS"):
    os.environ[_var] = "1"

import cirq  # noqa: E402
import numpy as np  # noqa: E402
from zentrova_cirq import ZentrovaDensityMatrixSimulator, ZentrovaSimulator  # noqa: E402


def circuit(n: int, layers: int, measure: bool) -> cirq.Circuit:
    rng = np.random.default_rng(n)
    q = cirq.LineQubit.range(n)
    ops = []
    for _ in range(layers):
        ops += [cirq.ry(rng.uniform(0, 6.3)).on(x) for x in q]
        ops += [cirq.CNOT(a, b) for a, b in zip(q, q[1:])]
        ops += [cirq.amplitude_damp(0.02).on(x) for x in q]
    c = cirq.Circuit(ops)
    if measure:
        c.append(cirq.measure(*q, key="m"))
    return c


def best(fn, rounds: int) -> float:
    out = float("inf")
    for _ in range(rounds):
        t0 = time.process_time()
        fn()
        out = min(out, time.process_time() - t0)
    return out


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--dm", type=int, default=8, help="qubits of the density-matrix circuits")
    ap.add_argument("--traj", type=int, default=16, help="qubits of the trajectory circuits")
    ap.add_argument("--layers", type=int, default=10)
    ap.add_argument("--shots", type=int, default=1000)
    ap.add_argument("--rounds", type=int, default=2)
    args = ap.parse_args()
    noise = cirq.ConstantQubitNoiseModel(cirq.depolarize(0.01))
    print(f"noisy circuits through Cirq {cirq.__version__}, one thread, CPU time")

    c = circuit(args.dm, args.layers, False)
    z = ZentrovaDensityMatrixSimulator(noise=noise, dtype=np.complex128, threads=1)
    r = cirq.DensityMatrixSimulator(noise=noise, dtype=np.complex128)
    got, want = z.simulate(c).final_density_matrix, r.simulate(c).final_density_matrix
    print(f"check: density matrices agree within {np.abs(got - want).max():.1e}")
    tz = best(lambda: z.simulate(c), args.rounds)
    tr = best(lambda: r.simulate(c), args.rounds)
    print(f"density matrix, {args.dm} qubits, {args.layers} noisy layers: zentrova {tz * 1e3:.1f} ms, "
          f"cirq.DensityMatrixSimulator {tr * 1e3:.1f} ms, ratio {tr / tz:.1f}")

    c = circuit(args.traj, args.layers, True)
    z = ZentrovaSimulator(noise=noise, seed=1, threads=1)
    r = cirq.Simulator(noise=noise, seed=1, dtype=np.complex128)
    tz = best(lambda: z.run(c, repetitions=args.shots), args.rounds)
    tr = best(lambda: r.run(c, repetitions=args.shots), 1)
    print(f"trajectories, {args.traj} qubits, {args.layers} noisy layers, {args.shots} shots: zentrova "
          f"{tz:.2f} s, cirq.Simulator {tr:.2f} s, ratio {tr / tz:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
