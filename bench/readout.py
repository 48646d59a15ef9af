"""What reading a register into numpy costs through zentrova_readout, beside
the memory passes that bound it.

At each size (n = 20: 16 MiB, in the last-level cache; n = 24: 256 MiB, from
DRAM) one dense register (a Hadamard on every qubit) is read, and each read-out
is timed in the same round as its floor, a numpy pass over the same bytes:

- `probabilities(reg)` (a new 8·2^n-byte copy) and `probabilities(reg, out)`
  (into one reused float64 array) against an in-place sweep of the register's
  16·2^n bytes (`numpy.negative(a, out=a)`): the aim is at most 1.5 times it.
- `amplitudes(reg)` against `numpy.copy` of 16·2^n bytes (both allocate the
  copy, so both pay for its fresh pages), and `amplitudes(reg, out)` against
  `numpy.copyto` into a reused array: the aim is a memory copy's speed.
- At n = 20 only, `numpy.array(reg.god_observe())`, the read-out without this
  module, over `numpy.asarray(probabilities(reg))`: the aim is at least 20.

Every figure is the minimum over repeats of one call, on the process's CPU
clock (user and system time, so a fresh copy's page faults count; time spent
waiting for a core on a shared machine is left out; `--clock wall` for elapsed
time); a round times every line once, the median over rounds is printed,
ratios taken within each round.

    python3.12 bench/readout.py [--sizes 20,24] [--rounds 5] [--repeat 7] [--clock wall]
"""

from __future__ import annotations

import argparse
import platform
import statistics
import time

import numpy as np

import zentrova
import zentrova_readout as zr


def best_of(fn, repeat: int, clock) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = clock()
        fn()
        best = min(best, clock() - start)
    return best


def cases(n: int):
    """(label, call, floor label, floor call, aim) for one register size."""
    reg = zentrova.QuantumRegister(n)
    for q in range(n):
        reg.h(q)
    dim = 1 << n
    sweep = np.ones(2 * dim)  # the register's bytes
    src = np.ones(dim, np.complex128)
    dst = np.empty(dim, np.complex128)
    p_out = np.empty(dim)
    a_out = np.empty(dim, np.complex128)
    rows = [
        ("probabilities(reg)", lambda: zr.probabilities(reg),
         "in-place sweep", lambda: np.negative(sweep, out=sweep), "<= 1.5"),
        ("probabilities(reg, out)", lambda: zr.probabilities(reg, p_out),
         "in-place sweep", lambda: np.negative(sweep, out=sweep), "<= 1.5"),
        ("amplitudes(reg)", lambda: zr.amplitudes(reg),
         "numpy.copy", lambda: np.copy(src), "~ 1"),
        ("amplitudes(reg, out)", lambda: zr.amplitudes(reg, a_out),
         "numpy.copyto", lambda: np.copyto(dst, src), "~ 1"),
    ]
    if n <= 20:
        rows.append(("asarray(probabilities(reg))", lambda: np.asarray(zr.probabilities(reg)),
                     "array(god_observe())", lambda: np.array(reg.god_observe()), ">= 20"))
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="20,24")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--clock", choices=("cpu", "wall"), default="cpu")
    args = parser.parse_args()
    clock = time.process_time if args.clock == "cpu" else time.perf_counter

    print(f"# CPython {platform.python_version()}, numpy {np.__version__}, "
          f"{args.clock} clock, {args.rounds} rounds x {args.repeat} repeats")
    print("| n | read-out | ms | floor | ms | ratio | aim |")
    print("|---|---|---|---|---|---|---|")
    for n in (int(s) for s in args.sizes.split(",")):
        rows = cases(n)
        times: dict[int, list[tuple[float, float]]] = {i: [] for i in range(len(rows))}
        for _ in range(args.rounds):
            for i, (_, call, _, floor, _) in enumerate(rows):
                call(), floor()  # warm: pages, caches
                times[i].append((best_of(call, args.repeat, clock),
                                 best_of(floor, args.repeat, clock)))
        for i, (label, _, floor_label, _, aim) in enumerate(rows):
            t = statistics.median(a for a, _ in times[i])
            f = statistics.median(b for _, b in times[i])
            # The read-out over its floor, but the floor over the read-out where
            # the floor is the slow way (the aim ">= 20").
            if aim.startswith(">="):
                ratio = statistics.median(b / a for a, b in times[i])
            else:
                ratio = statistics.median(a / b for a, b in times[i])
            print(f"| {n} | `{label}` | {t * 1e3:.3f} | {floor_label} | {f * 1e3:.3f} | "
                  f"{ratio:.2f} | {aim} |")


if __name__ == "__main__":
    main()
