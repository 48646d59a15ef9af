"""Two kernel sets timed in one run of gates_bench, side by side.

Reads the JSON of a run such as

    build/bench/bench/gates_bench --kernels=avx2,avx512 --sizes=16,20,24 \
      --benchmark_min_time=0.05 --benchmark_repetitions=8 \
      --benchmark_enable_random_interleaving=true \
      --benchmark_out=build/bench/sets.json --benchmark_out_format=json

(several files are merged) and prints a Markdown row per gate and target:
each set's fastest iteration over all repetitions (best_ns_per_amp, ns per
amplitude) and the first set's over the second's (> 1: the second faster).
The fastest iteration is the one that ran without being interrupted: on a
machine shared with other work, medians of the two sets differ by the load
of the moment as much as by the code.

    python3 bench/compare_sets.py build/bench/sets.json [more.json ...]
"""

import json
import re
import sys
from collections import defaultdict

GATES = ["x", "h", "rx", "ry", "rz", "u", "cnot", "swap", "ccnot", "csswap", "mcu"]
TARGETS = ["0", "1", "n/2", "n-1"]


def main(paths: list[str]) -> None:
    best: dict = defaultdict(dict)  # (gate, target) -> (n, set) -> ns per amplitude
    sets: list[str] = []
    for path in paths:
        with open(path) as f:
            for b in json.load(f)["benchmarks"]:
                m = re.match(r"(\w+)/n:(\d+)/k:(\w+)/t:(\d+)/manual_time$", b.get("run_name", ""))
                if b.get("run_type") != "iteration" or not m or "best_ns_per_amp" not in b:
                    continue
                gate, n, k, t = m.group(1), int(m.group(2)), m.group(3), int(m.group(4))
                target = {0: "0", 1: "1"}.get(t, "n/2" if t == n // 2 else "n-1")
                if k not in sets:
                    sets.append(k)
                cell = best[(gate, target)]
                cell[(n, k)] = min(cell.get((n, k), float("inf")), b["best_ns_per_amp"])
    if len(sets) != 2:
        sys.exit(f"need a run of two sets, found {sets}")
    a, b = sets
    sizes = sorted({n for cell in best.values() for n, _ in cell})
    print("| gate | t | " + " | ".join(f"n={n} {a} | n={n} {b} | n={n} {a}/{b}" for n in sizes) + " |")
    print("|---|---|" + "---|---|---|" * len(sizes))
    for gate in GATES:
        for target in TARGETS:
            cell = best.get((gate, target))
            if not cell:
                continue
            line = []
            for n in sizes:
                x, y = cell.get((n, a)), cell.get((n, b))
                line += [f"{x:.3f}", f"{y:.3f}", f"{x / y:.2f}"] if x and y else ["", "", ""]
            print(f"| {gate} | {target} | " + " | ".join(line) + " |")


if __name__ == "__main__":
    main(sys.argv[1:])
