"""Drawing outcomes from a register's exact probabilities with a numpy Generator, so that a
seeded run repeats bit for bit: shots at the end of a circuit, and single measurements in
its middle, whose collapse is one `u` call."""

import math

import numpy as np
import zentrova_readout


def sample_indices(probs, shots: int, rng: np.random.Generator) -> np.ndarray:
    """`shots` basis-state indices drawn from `probs`, which need not add up to exactly 1
    (rounding, or a state a projection has left unnormalised): the cumulative sums are
    divided by their total. cumsum adds in index order, so the same bits on every machine;
    the draws are those of rng.choice(len(probs), shots, p=probs) for the same generator."""
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


def _marginal(reg, qubit: int) -> tuple[float, float]:
    """The probabilities of reading 0 and 1 on `qubit`."""
    probs = zentrova_readout.probabilities(reg)
    if len(probs) <= 32:  # numpy's fixed costs outweigh a loop over a few values
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


def measure(reg, qubit: int, draw, reset: bool = False) -> int:
    """Measures one qubit of a zentrova register: the outcome drawn from the qubit's marginal
    probabilities with draw() (a uniform number in [0, 1): rng.random, or uniform_draws(rng)),
    the state collapsed onto it and renormalised by one `u` whose matrix does both (and, with
    reset, also turns an outcome of 1 back to |0>)."""
    p0, p1 = _marginal(reg, qubit)
    bit = int(draw() * (p0 + p1) >= p0)
    scale = complex(1.0 / math.sqrt(p1 if bit else p0))
    if not bit:
        reg.u(qubit, scale, 0j, 0j, 0j)
    elif reset:
        reg.u(qubit, 0j, scale, 0j, 0j)
    else:
        reg.u(qubit, 0j, 0j, 0j, scale)
    return bit
