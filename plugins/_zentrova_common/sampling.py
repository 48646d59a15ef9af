"""Drawing outcomes from a register's exact probabilities with a numpy Generator, so that a
seeded run repeats bit for bit: shots at the end of a circuit, and single measurements in
its middle, whose collapse is one `u` call."""

import array
import math

import numpy as np
import zentrova
import zentrova_program
import zentrova_readout


def sample_indices(probs, shots: int, rng: np.random.Generator,
                   in_place: bool = False) -> np.ndarray:
    """`shots` basis-state indices drawn from `probs`, which need not add up to exactly 1
    (rounding, or a state a projection has left unnormalised): the cumulative sums are
    divided by their total. cumsum adds in index order, so the same bits on every machine;
    the draws are those of rng.choice(len(probs), shots, p=probs) for the same generator.
    in_place: probs, a float64 array of the caller's, becomes the cumulative sums (at 24
    qubits a second array of 128 MiB costs more than the sampling)."""
    if in_place:
        cdf = probs
        np.cumsum(cdf, out=cdf)
    else:
        cdf = np.cumsum(probs)
    cdf /= cdf[-1]
    return np.searchsorted(cdf, rng.random(shots), side="right").astype(np.int64)


def uniform_draws(rng: np.random.Generator, batch: int = 1024):
    """A function giving rng's uniform draws in [0, 1) one at a time, the same numbers as
    rng.random() called once each, taken `batch` at a time (a call of its own costs more than
    a small register's measurement)."""
    pending: list[float] = []

    def draw() -> float:
        if not pending:
            pending.extend(reversed(rng.random(batch).tolist()))
        return pending.pop()

    return draw


_SMALL = 32  # up to this many probabilities a loop over them beats numpy's fixed costs


def _marginal(reg, qubit: int) -> tuple[float, float]:
    """The probabilities of reading 0 and 1 on `qubit`."""
    probs = zentrova_readout.probabilities(reg)
    if len(probs) <= _SMALL:
        half, p0, p1 = 1 << qubit, 0.0, 0.0
        for k, v in enumerate(memoryview(probs).tolist()):
            if k & half:
                p1 += v
            else:
                p0 += v
        return p0, p1
    halves = np.asarray(probs).reshape(-1, 2, 1 << qubit)
    # Two sums: one over both axes at once is ten times slower for the lowest qubits.
    return float(halves[:, 0, :].sum()), float(halves[:, 1, :].sum())


def _outcome(qubit: int, p0: float, p1: float, u: float, reset: bool) -> tuple[int, tuple]:
    """The bit the draw u gives, and the arguments of the `u` call that collapses onto it."""
    bit = int(u * (p0 + p1) >= p0)
    scale = complex(1.0 / math.sqrt(p1 if bit else p0))
    if not bit:
        return bit, (qubit, scale, 0j, 0j, 0j)
    if reset:
        return bit, (qubit, 0j, scale, 0j, 0j)
    return bit, (qubit, 0j, 0j, 0j, scale)


def measure(reg, qubit: int, draw, reset: bool = False) -> int:
    """Measures one qubit of a zentrova register: the outcome drawn from the qubit's marginal
    probabilities with draw() (a uniform number in [0, 1): rng.random, or uniform_draws(rng)),
    the state collapsed onto it and renormalised by one `u` whose matrix does both (and, with
    reset, also turns an outcome of 1 back to |0>)."""
    bit, args = _outcome(qubit, *_marginal(reg, qubit), draw(), reset)
    reg.u(*args)
    return bit


_NODES = 1 << 16  # marginals remembered per measurer, at most: some 12 MB


def measurer(n: int, draw):
    """(queue, measure, new_shot) for running one program shot by shot on n qubits, with
    the outcomes and the states, bit for bit, of running it on a fresh register each shot
    with the register's own methods and measure(reg, qubit, draw, reset), at a fraction of
    the cost. new_shot() starts a shot; queue((name, args)) stands for the zentrova_program
    operation (a register method's name and its arguments, or a diagonal or a matrix);
    measure(qubit, reset=False) gives the outcome.

    Within a shot the state at a measurement is fixed by the outcomes before it, so its
    marginal probabilities are looked up along the path of those outcomes, and read out of a
    register only the first time a path gets there. Until then the shot's calls (gates and
    each measurement's collapse) are only queued: a shot whose every marginal is known makes
    no register at all, and one that needs a read-out makes its register then and replays
    the queue on it in one zentrova_program.run call, which gives the state, bit for bit,
    the calls in turn would have. A read-out goes
    into one buffer, each qubit's halves of it worked out once (the same additions in the
    same order as _marginal)."""
    size = 1 << n
    halves: dict[int, tuple] = {}
    if size <= _SMALL:
        buf = array.array("d", bytes(8 * size))

        def split(q):
            return (tuple(k for k in range(size) if not k >> q & 1),
                    tuple(k for k in range(size) if k >> q & 1))

        def marginal(reg, qubit):
            zentrova_readout.probabilities(reg, buf)
            lo, hi = halves.get(qubit) or halves.setdefault(qubit, split(qubit))
            p0 = p1 = 0.0
            for k in lo:
                p0 += buf[k]
            for k in hi:
                p1 += buf[k]
            return p0, p1
    else:
        flat = np.empty(size)
        add = np.add.reduce  # what ndarray.sum() calls, without its Python layers

        def split(q):
            h = flat.reshape(-1, 2, 1 << q)
            return h[:, 0, :], h[:, 1, :]

        def marginal(reg, qubit):
            zentrova_readout.probabilities(reg, flat)
            lo, hi = halves.get(qubit) or halves.setdefault(qubit, split(qubit))
            return float(add(lo, axis=None)), float(add(hi, axis=None))

    run = zentrova_program.run
    queued: list[tuple] = []
    queue = queued.append
    reg = None
    # A node: [what was measured (qubit, or ~qubit for a reset), p0, p1, after 0, after 1].
    root: list = [None]
    parent, slot, nodes = root, 0, 0

    def new_shot() -> None:
        nonlocal parent, slot, reg
        parent, slot, reg = root, 0, None
        queued.clear()

    def measure_one(qubit: int, reset: bool = False) -> int:
        nonlocal parent, slot, nodes, reg
        key = ~qubit if reset else qubit
        node = parent[slot]
        if node is None or node[0] != key:
            if reg is None:
                reg = zentrova.QuantumRegister(n)
            if queued:
                run(reg, queued)
                queued.clear()
            node = [key, *marginal(reg, qubit), None, None]
            if nodes < _NODES:
                parent[slot] = node  # replaces a node of another program: its paths go too
                nodes += 1
        bit, args = _outcome(qubit, node[1], node[2], draw(), reset)
        queue(("u", args))
        parent, slot = node, 3 + bit
        return bit

    return queue, measure_one, new_shot
