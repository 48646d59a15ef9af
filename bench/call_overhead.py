"""What one call into zentrova costs from Python, beside built-in calls.

On a 1-qubit register a gate's arithmetic is a few nanoseconds, so `reg.x(0)`
times the call path itself: method lookup, argument matching and conversion,
the borrow of the register, the return of `self`. It is timed in the same run
as two calls that cost about the least a C method can: `d.get(0)` on a dict
and `lst.append(0); lst.pop()` on a list. The aim is `reg.x(0)` within 1.5x of
`d.get(0)`. The other lines cover every kind of argument conversion (angles,
complex matrix entries, an index list) and result (self, a ket, a list), so a
regression in any of them shows. Two lines time the construction of a fresh
register, the cost of each shot when a circuit is sampled; the aim there is
QuantumRegister(12) within 10 us.

Every figure is the minimum over repeats of a timeit loop, on the process's
CPU clock by default (time spent waiting for a core on a shared machine is
left out; `--clock wall` for elapsed time); a round times every line once, and
the median over rounds is printed, ratios taken within each round. The timeit
loop's own cost is included in every line alike.

    python3.12 bench/call_overhead.py [--rounds 5] [--repeat 5] [--number 200000] [--clock wall]
"""

from __future__ import annotations

import argparse
import platform
import statistics
import sys
import time
import timeit

import zentrova

M = (0.48 + 0.64j, -0.36 - 0.48j, 0.36 - 0.48j, 0.48 - 0.64j)  # unitary, no zero part

BASELINES = [
    ("d.get(0)", "d.get(0)"),
    ("lst.append(0); lst.pop()", "lst.append(0); lst.pop()"),
]

# (label, qubits of the register, statement)
CALLS = [
    ("reg.x(0)", 1, "reg.x(0)"),
    ("reg.h(0)", 1, "reg.h(0)"),
    ("reg.rx(0, 0.3)", 1, "reg.rx(0, 0.3)"),
    ("reg.ry(0, 0.3)", 1, "reg.ry(0, 0.3)"),
    ("reg.rz(0, 0.3)", 1, "reg.rz(0, 0.3)"),
    # The same angle again is the common case; these change it at every call.
    ("reg.rx(0, a); reg.rx(0, b)", 1, "reg.rx(0, a); reg.rx(0, b)"),
    ("reg.rz(0, a); reg.rz(0, b)", 1, "reg.rz(0, a); reg.rz(0, b)"),
    ("reg.u(0, m00, m01, m10, m11)", 1, "reg.u(0, m00, m01, m10, m11)"),
    ("reg.cnot(0, 1)", 2, "reg.cnot(0, 1)"),
    ("reg.swap(0, 1)", 2, "reg.swap(0, 1)"),
    ("reg.ccnot(0, 1, 2)", 3, "reg.ccnot(0, 1, 2)"),
    ("reg.csswap(0, 1, 2)", 3, "reg.csswap(0, 1, 2)"),
    ("reg.mcu([1], 0, m00, ...)", 2, "reg.mcu(ctl, 0, m00, m01, m10, m11)"),
    ("reg.cnot(control=0, target=1)", 2, "reg.cnot(control=0, target=1)"),
    ("reg.observe()", 1, "reg.observe()"),
    ("reg.observe_one(0)", 1, "reg.observe_one(0)"),
    ("reg.observe_mul([0])", 1, "reg.observe_mul(tgt)"),
    ("reg.god_observe()", 1, "reg.god_observe()"),
    ("QuantumRegister(1)", 1, "Q(1)"),
    ("QuantumRegister(12)", 1, "Q(12)"),
]

TARGET_LABEL = "reg.x(0)"
TARGET_RATIO = 1.5
CONSTRUCTION_LABEL = "QuantumRegister(12)"
CONSTRUCTION_NS = 10_000


def namespace(qubits: int) -> dict[str, object]:
    m00, m01, m10, m11 = M
    return {
        "reg": zentrova.QuantumRegister(qubits),
        "Q": zentrova.QuantumRegister,
        "d": {0: 0},
        "lst": [],
        "m00": m00, "m01": m01, "m10": m10, "m11": m11,
        "ctl": [1],
        "tgt": [0],
        "a": 0.3, "b": 0.7,
    }


def ns_per_call(stmt: str, qubits: int, number: int, repeat: int, clock) -> float:
    timer = timeit.Timer(stmt, timer=clock, globals=namespace(qubits))
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=5, help="rounds, each timing every line once")
    ap.add_argument("--repeat", type=int, default=5, help="timeit repeats per line, the minimum kept")
    ap.add_argument("--number", type=int, default=200_000, help="calls per timeit repeat")
    ap.add_argument("--clock", choices=("cpu", "wall"), default="cpu",
                    help="cpu: the process's CPU time (default); wall: elapsed time")
    args = ap.parse_args()
    clock = time.process_time if args.clock == "cpu" else time.perf_counter

    lines = [(label, 1, stmt) for label, stmt in BASELINES] + CALLS
    times: dict[str, list[float]] = {label: [] for label, _, _ in lines}
    ratios: dict[str, list[tuple[float, float]]] = {label: [] for label, _, _ in CALLS}
    for _ in range(args.rounds):
        this_round = {label: ns_per_call(stmt, q, args.number, args.repeat, clock) for label, q, stmt in lines}
        for label, t in this_round.items():
            times[label].append(t)
        get, append_pop = (this_round[label] for label, _ in BASELINES)
        for label, _, _ in CALLS:
            ratios[label].append((this_round[label] / get, this_round[label] / append_pop))

    med = statistics.median
    print(f"zentrova call overhead: Python {platform.python_version()} ({sys.implementation.name}), "
          f"{platform.machine()}")
    print(f"median of {args.rounds} rounds; each figure the minimum of {args.repeat} x "
          f"{args.number} calls, {args.clock} time; ratios taken within a round")
    print()
    print(f"{'baseline':<34}{'ns/call':>9}")
    for label, _ in BASELINES:
        print(f"  {label:<32}{med(times[label]):9.1f}")
    print()
    print(f"{'call':<34}{'qubits':>6}{'ns/call':>9}{'x d.get':>9}{'x app+pop':>11}")
    for label, q, _ in CALLS:
        r_get = med(r[0] for r in ratios[label])
        r_ap = med(r[1] for r in ratios[label])
        print(f"  {label:<32}{q:6d}{med(times[label]):9.1f}{r_get:9.2f}{r_ap:11.2f}")
    print()
    r = med(r[0] for r in ratios[TARGET_LABEL])
    verdict = "met" if r <= TARGET_RATIO else "NOT met"
    print(f"aim: {TARGET_LABEL} at most {TARGET_RATIO}x d.get(0): {r:.2f}x, {verdict}")
    t = med(times[CONSTRUCTION_LABEL])
    verdict = "met" if t <= CONSTRUCTION_NS else "NOT met"
    print(f"aim: {CONSTRUCTION_LABEL} at most {CONSTRUCTION_NS / 1000:.0f} us: {t / 1000:.2f} us, {verdict}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
