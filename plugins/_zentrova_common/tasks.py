"""Independent circuits as tasks: each with a seed of its own, spread over an executor in
batches; and what a task does with its final state to give expectation values of Pauli
terms, with the same bits wherever it runs."""

import itertools

import numpy as np

MAX_BATCHES = 64


def task_rng(seed) -> np.random.Generator:
    """The generator of a task whose seed is (entropy, spawn key): the key is the task's
    position, so its draws do not depend on how tasks were batched or where they ran."""
    entropy, key = seed
    return np.random.default_rng(np.random.SeedSequence(entropy, spawn_key=key))


def submit_batches(executor, fn, kind: str, tasks, total: int) -> list:
    """Futures of fn(kind, batch) for `total` tasks (an iterable, consumed as the batches
    go out, so workers start while later tasks are still being made) in at most
    MAX_BATCHES batches of in-order tasks: a sweep of thousands of points does not pay a
    round trip each. Concatenating the futures' results gives the tasks' in order."""
    batches = min(total, MAX_BATCHES)
    size, extra = divmod(total, batches)
    stream = iter(tasks)
    futures = [executor.submit(fn, kind, list(itertools.islice(stream, size + (b < extra))))
               for b in range(batches)]
    # Run the producer to its end, whatever it still does after its last task.
    if next(stream, None) is not None:
        raise RuntimeError("more tasks than announced")
    return futures


def qubitwise_groups(terms) -> list[tuple[dict, list[int]]]:
    """Qubit-wise commuting groups of terms, each term its (qubit, basis letter) pairs:
    (the group's basis by qubit, the indices of its terms), first fit in the order the
    terms come."""
    groups: list[tuple[dict, list[int]]] = []
    for t, term in enumerate(terms):
        term = dict(term)
        for basis, members in groups:
            if all(basis.get(q, b) == b for q, b in term.items()):
                basis.update(term)
                members.append(t)
                break
        else:
            groups.append((term, [t]))
    return groups


def fold(p: np.ndarray, top: int, terms: list[tuple[int, tuple[int, ...]]], out: list) -> None:
    """Fills out[i] for each (i, codes) in terms from probabilities p of qubits 0..top:
    codes[q] says how qubit q is folded away, 0 adding both halves, 1 subtracting them
    (Z's +1 and -1), 2 keeping the half reading 0, 3 the half reading 1. The highest qubit
    goes first, each step one elementwise addition or subtraction, so no library chooses
    the order of a sum; terms that agree on the higher qubits share the work done for
    them, so a group of k terms costs about log2(k) + 2 passes over p rather than k."""
    if top < 0:
        value = float(p[0])
        for i, _ in terms:
            out[i] = value
        return
    half = p.shape[0] // 2
    lo, hi = p[:half], p[half:]
    by_code: dict[int, list] = {}
    for term in terms:
        by_code.setdefault(term[1][top], []).append(term)
    for code in sorted(by_code):
        if code == 0:
            part = lo + hi
        elif code == 1:
            part = lo - hi
        else:
            part = lo if code == 2 else hi
        fold(part, top - 1, by_code[code], out)
