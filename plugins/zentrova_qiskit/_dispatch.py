"""Spreading tasks over an executor, and the seeds each task gets.

Tasks are plain tuples for _worker; with an executor they go out in batches
(at most MAX_BATCHES per call, so that a sweep of thousands of points does not
pay a round trip each) and come back in the order they were given. Every task
carries its own seed, derived from the caller's seed and the task's position
alone, so results do not depend on how tasks were batched or where they ran.
A refusal from a worker (a plain RefusedError, the worker knowing no Qiskit)
reaches the caller as a ZentrovaError, a QiskitError.
"""

import concurrent.futures
import functools
import gc

import numpy as np
from _zentrova_common import MAX_BATCHES, RefusedError, check_threads, submit_batches

from . import _worker
from ._translate import ZentrovaError


def collector_paused(fn):
    """fn with Python's cyclic garbage collector paused while it runs. Reading
    circuits and building results makes many small objects and no cycles, and
    the collections their number sets off walk every live object, the
    caller's circuits included: a quarter of a run of many small circuits.
    Left alone where the caller has paused it already."""
    @functools.wraps(fn)
    def paused(*args, **kwargs):
        if not gc.isenabled():
            return fn(*args, **kwargs)
        gc.disable()
        try:
            return fn(*args, **kwargs)
        finally:
            gc.enable()
    return paused


def root_entropy(seed) -> int:
    """An integer to derive every task's seed from: the caller's seed, a
    number drawn from a Generator given as seed, or fresh entropy for None."""
    if seed is None:
        return int(np.random.SeedSequence().entropy)
    if isinstance(seed, np.random.Generator):
        return int(seed.integers(2**63))
    if isinstance(seed, np.random.SeedSequence):
        return int(seed.generate_state(1, np.uint64)[0])
    return int(seed)


def submit(kind: str, tasks, executor: concurrent.futures.Executor | None,
           total: int | None = None, threads: tuple[int, int] = (1, 1)):
    """Starts the tasks; returns a function that waits for their results, in
    order, and whose done() tells whether it would wait. Without an executor
    the tasks run here, before submit returns. tasks may be an iterator of
    `total` tasks: each batch goes out as soon as it is made, so workers
    start while later tasks are still being prepared. threads: (here, on the
    executor) how many threads each task's runs may use."""
    if total is None:
        tasks = list(tasks)
        total = len(tasks)
    if executor is None or not total:
        results = _outcome(_worker.run_batch, kind, list(tasks), threads[0])

        def ready() -> list:
            return results
        ready.done = lambda: True  # type: ignore[attr-defined]
        return ready
    futures = submit_batches(executor, functools.partial(_worker.run_batch, threads=threads[1]),
                             kind, tasks, total)

    def collect() -> list:
        results: list = []
        for future in futures:
            results.extend(_outcome(future.result))
        return results
    collect.done = lambda: all(f.done() for f in futures)  # type: ignore[attr-defined]
    return collect


def _outcome(fn, *args):
    try:
        return fn(*args)
    except RefusedError as e:
        raise ZentrovaError(str(e)) from None


def run(kind: str, tasks, executor: concurrent.futures.Executor | None,
        total: int | None = None, threads: tuple[int, int] = (1, 1)) -> list:
    return submit(kind, tasks, executor, total, threads)()


def thread_counts(threads) -> tuple[int, int]:
    """A threads= setting checked (ValueError unless an int >= 1 or None) as
    (threads here, threads per executor task): None is every usable core here
    and one per task on a pool, whose workers share the cores already."""
    here = check_threads(threads)
    return here, (1 if threads is None else here)
