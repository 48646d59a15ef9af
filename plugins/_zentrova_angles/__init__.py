"""Sines and cosines with the same bits on every machine, for the plugins' matrices.

The platform's maths library rounds differently on different machines for some
angles; the engine's rotations do not. rz(2a) on |0> leaves e^(-ia) in amplitude 0,
its parts exactly the engine's cosine and minus its sine, so every matrix the
plugins build from these has the same bits wherever it is built."""

import functools
import math

import numpy as np
import zentrova
import zentrova_readout

__all__ = ["cos_sin", "expi"]


@functools.lru_cache(maxsize=4096)
def cos_sin(a: float) -> tuple[float, float]:
    """cos(a) and sin(a), correctly rounded, from the engine's own rotation."""
    if not math.isfinite(a):
        return math.nan, math.nan
    if not math.isfinite(2.0 * a):  # beyond 2**1023: the library's rounding it is
        return math.cos(a), math.sin(a)
    a0 = np.asarray(zentrova_readout.amplitudes(zentrova.QuantumRegister(1).rz(0, 2.0 * a)))[0]
    return float(a0.real), -float(a0.imag) + 0.0


def expi(a: float) -> complex:
    """e^(ia) as cos(a) + i sin(a), each part correctly rounded."""
    c, s = cos_sin(a)
    return complex(c, s)
