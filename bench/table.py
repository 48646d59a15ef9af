"""One Markdown table of the engine benchmarks' medians.

Reads the JSON files that gates_bench and measure_bench write with
--benchmark_out=FILE --benchmark_out_format=json --benchmark_repetitions=N,
one file per kernel set and start state (both read from the file's context),
and prints a row per pass and target with its floor and, for every register
size, kernel set and state, the median ratio to that floor (x_floor). Targets
are written as 0, 1, n/2 and n-1 so that the sizes share rows. A column of a
state other than dense is followed by one with its time over that of the same
pass on a dense register ("/dense"): x_dense where the run timed a dense twin
in every iteration (gates_bench does), else the ratio of the two columns'
x_floor.

Below the table: the floors' own medians in ns per amplitude, and, for the
widest set at 20 qubits (where the register sits in the cache), the range of
its passes' times against the sweep from main memory, that is x_floor scaled by
the 20-qubit floor over the 24-qubit sweep of the same run. Ratios of ratios:
on a shared machine absolute times of passes run minutes apart differ far more
than paired ratios do.

    python3 bench/table.py build/bench/*.json
"""

import json
import re
import sys
from collections import defaultdict

ORDER = ["scalar", "avx2", "avx512"]
STATES = ["dense", "half-zero", "fresh"]


def symbolic(targets, n):
    names = []
    for t in targets.split(","):
        t = int(t)
        names.append("n-1" if t == n - 1 else "n/2" if t == n // 2 else str(t))
    return ",".join(names)


def row_order(name):
    base, _, target = name.partition(" t=")
    order = {"0": 0, "1": 1, "n/2": 2, "n-1": 3}
    return (base, order.get(target, 4), target)


def load(paths):
    cells = {}  # (pass, size, kernels) -> (x_floor, ns_per_amp)
    floor_of = {}  # pass -> floor name
    floors = defaultdict(dict)  # kernels -> (floor, size) -> ns_per_amp
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        base_kernels = data["context"].get("kernels", "?")
        state = data["context"].get("state", "dense")
        suffix = "" if state == "dense" else " " + state
        base_kernels += suffix
        for b in data["benchmarks"]:
            if b.get("aggregate_name") != "median":
                continue
            # A run of several sets names each case's set (/k:SET).
            m = re.match(r"(.*)/n:(\d+)(?:/k:(\w+))?(?:/t:([\d,]+))?/manual_time$", b["run_name"])
            if not m:
                continue
            name, size = m.group(1), int(m.group(2))
            kernels = m.group(3) + suffix if m.group(3) else base_kernels
            if name.startswith("floor/"):
                floors[kernels][(name[len("floor/"):], size)] = b["ns_per_amp"]
                continue
            if m.group(4):
                name += " t=" + symbolic(m.group(4), size)
            cells[(name, size, kernels)] = (b.get("x_floor"), b["ns_per_amp"], b.get("x_dense"))
            floor_of[name] = b.get("label", "").removeprefix("vs ")
    return cells, floor_of, floors


def set_order(k):
    base, _, state = k.partition(" ")
    return (ORDER.index(base) if base in ORDER else len(ORDER), STATES.index(state or "dense"))


def main(paths):
    cells, floor_of, floors = load(paths)
    sets = sorted({key[2] for key in cells}, key=set_order)
    sizes = sorted({key[1] for key in cells})
    columns = []  # (size, set, divided by the dense column)
    for n in sizes:
        for k in sets:
            columns.append((n, k, False))
            dense = k.partition(" ")[0]
            if k != dense and dense in sets:
                columns.append((n, k, True))
    head = ["pass", "floor"] + [f"n={n} {k}" + ("/dense" if rel else "") for n, k, rel in columns]
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for name in sorted(floor_of, key=row_order):
        line = [name, floor_of[name]]
        for n, k, rel in columns:
            x, _, x_dense = cells.get((name, n, k), (None, None, None))
            if rel and x_dense is not None:
                x = x_dense
            elif rel and x is not None:
                d = cells.get((name, n, k.partition(" ")[0]), (None, None, None))[0]
                x = x / d if d else None
            line.append(f"{x:.2f}" if x is not None else "")
        print("| " + " | ".join(line) + " |")

    print()
    for k in sets:
        for n in sizes:
            fl = ", ".join(f"{f} {v:.3f}" for (f, s), v in sorted(floors[k].items()) if s == n)
            if fl:
                print(f"- {k} run, n={n}, floors in ns/amp: {fl}")
    widest = max((k for k in sets if " " not in k), key=set_order)
    dram = floors[widest].get(("sweep", 24))
    if dram and 20 in sizes:
        ratios = []
        for name, floor in floor_of.items():
            x = cells.get((name, 20, widest), (None, None, None))[0]
            own = floors[widest].get((floor, 20))
            if x is not None and own and floor in ("sweep", "two_streams"):
                ratios.append((x * own / dram, name))
        if ratios:
            lo, hi = min(ratios), max(ratios)
            print(f"- {widest} at n=20 against the 24-qubit sweep, per amplitude: "
                  f"{lo[0]:.2f} ({lo[1]}) to {hi[0]:.2f} ({hi[1]})")


if __name__ == "__main__":
    main(sys.argv[1:])
