"""A parameter scan spread over several processes with the standard library's
concurrent.futures.ProcessPoolExecutor.

For each angle theta from 0 to pi in steps of pi/8, ry(theta) on qubit 0 and a
cnot onto qubit 1 leave |00> with probability cos(theta/2)**2 and |11> with
sin(theta/2)**2. Each task measures SHOTS fresh copies of the circuit in a
worker process and sends back its counts; the parent adds up the tasks of each
angle and checks the sum against the exact probability from god_observe().

Every process, a forked one too, keys its own generator from the operating
system at its first measurement, so no two tasks share draws. The task function
takes only plain arguments and returns plain counts, so it runs unchanged under
any process-based executor: pass a start method ("fork", "spawn",
"forkserver") as the first argument to pick one, or none for the default.
"""

import concurrent.futures
import math
import multiprocessing
import sys
from collections import Counter

import zentrova

ANGLES = 9
TASKS_PER_ANGLE = 4
SHOTS = 2500  # per task: 10,000 per angle
# A sampled share this many standard deviations off is a failure; by chance
# that happens about once in two million runs.
LIMIT = 5.0


def prepare(reg: zentrova.QuantumRegister, theta: float) -> zentrova.QuantumRegister:
    return reg.ry(0, theta).cnot(0, 1)


def shots(theta: float, count: int) -> Counter[str]:
    """Runs in a worker: count measurements of the circuit on one register."""
    reg = zentrova.QuantumRegister(2)
    seen: Counter[str] = Counter()
    for _ in range(count):
        ket = repr(prepare(reg, theta).observe())
        seen[ket] += 1
        # The collapse left the basis state just read: flip its ones back to |00>.
        for q, bit in enumerate(reversed(ket[1:-1])):
            if bit == "1":
                reg.x(q)
    return seen


def main() -> None:
    context = multiprocessing.get_context(sys.argv[1] if len(sys.argv) > 1 else None)
    thetas = [k * math.pi / (ANGLES - 1) for k in range(ANGLES)]
    with concurrent.futures.ProcessPoolExecutor(mp_context=context) as pool:
        tasks = [(theta, pool.submit(shots, theta, SHOTS))
                 for theta in thetas for _ in range(TASKS_PER_ANGLE)]
        totals: dict[float, Counter[str]] = {theta: Counter() for theta in thetas}
        for theta, task in tasks:
            totals[theta] += task.result()
    shots_per_angle = TASKS_PER_ANGLE * SHOTS
    print(f"{len(tasks)} tasks of {SHOTS} shots, {context.get_start_method()} start method")
    matched = 0
    for k, theta in enumerate(thetas):
        p = prepare(zentrova.QuantumRegister(2), theta).god_observe()[0b11]
        seen = totals[theta]
        share = seen["|11>"] / shots_per_angle
        sd = math.sqrt(p * (1 - p) / shots_per_angle)
        off = abs(share - p) / sd if sd > 0 else (0.0 if share == p else math.inf)
        ok = set(seen) <= {"|00>", "|11>"} and off <= LIMIT
        matched += ok
        print(f"theta {k}pi/{ANGLES - 1}  P(|11>) {p:.6f}  sampled {share:.4f}  "
              f"{off:3.1f} sd  {'ok' if ok else 'FAILED'}")
    print(f"{matched} of {ANGLES} angles match the exact probabilities")
    if matched != ANGLES:
        sys.exit(1)


if __name__ == "__main__":
    main()
