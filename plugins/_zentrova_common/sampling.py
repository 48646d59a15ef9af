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


def measure(reg, qubit: int, rng: np.random.Generator, reset: bool = False) -> int:
    """Measures one qubit of a zentrova register: the outcome drawn by rng from the qubit's
    marginal probabilities, the state collapsed onto it and renormalised by one `u` whose
    matrix does both (and, with reset, also turns an outcome of 1 back to |0>)."""
    p = np.asarray(zentrova_readout.probabilities(reg)).reshape(-1, 2, 1 << qubit)
    p0, p1 = float(p[:, 0, :].sum()), float(p[:, 1, :].sum())
    bit = int(rng.random() * (p0 + p1) >= p0)
    scale = complex(1.0 / math.sqrt(p1 if bit else p0))
    if not bit:
        reg.u(qubit, scale, 0j, 0j, 0j)
    elif reset:
        reg.u(qubit, 0j, scale, 0j, 0j)
    else:
        reg.u(qubit, 0j, 0j, 0j, scale)
    return bit
