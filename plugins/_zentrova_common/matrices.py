"""One-qubit matrices with the same bits on every machine, and controls that fire on 0.

A matrix is four complex entries, row by row: (m00, m01, m10, m11), the argument order of
QuantumRegister.u and .mcu.

The platform's maths library rounds differently on different machines for some angles; the
engine's rotations do not. rz(2a) on |0> leaves e^(-ia) in amplitude 0, its parts exactly
the engine's cosine and minus its sine, so every matrix built here from cos_sin has the same
bits wherever it is built, signed zeros included: sin(-0.0) is -0.0."""

import functools
import math

import numpy as np
import zentrova
import zentrova_readout

ONE = 1 + 0j
ZERO = 0j
K = math.sqrt(0.5)  # 0.7071067811865476, correctly rounded as sqrt always is: the module's own Hadamard entry

# The fixed one-qubit gates, by their usual lower-case names.
FIXED = {
    "x": (ZERO, ONE, ONE, ZERO),
    "y": (ZERO, -1j, 1j, ZERO),
    "z": (ONE, ZERO, ZERO, -ONE),
    "h": (complex(K, 0), complex(K, 0), complex(K, 0), complex(-K, 0)),
    "s": (ONE, ZERO, ZERO, 1j),
    "sdg": (ONE, ZERO, ZERO, -1j),
    # e^(±iπ/4) rounded part by part; cmath.exp would be one unit off in the imaginary part.
    "t": (ONE, ZERO, ZERO, complex(K, K)),
    "tdg": (ONE, ZERO, ZERO, complex(K, -K)),
    "sx": (0.5 + 0.5j, 0.5 - 0.5j, 0.5 - 0.5j, 0.5 + 0.5j),
    "sxdg": (0.5 - 0.5j, 0.5 + 0.5j, 0.5 + 0.5j, 0.5 - 0.5j),
}


def cos_sin(a: float) -> tuple[float, float]:
    """cos(a) and sin(a), correctly rounded, from the engine's own rotation."""
    # -0.0 == 0.0 and both hash alike: the sign is part of the cache key.
    return _cos_sin(a, math.copysign(1.0, a))


@functools.lru_cache(maxsize=4096)
def _cos_sin(a: float, sign: float) -> tuple[float, float]:
    if a == 0.0:  # the rotation below gives sin(-0.0) as +0.0
        return 1.0, a
    if not math.isfinite(a):
        return math.nan, math.nan
    if not math.isfinite(2.0 * a):  # beyond 2**1023: the library's rounding it is
        return math.cos(a), math.sin(a)
    a0 = np.asarray(zentrova_readout.amplitudes(zentrova.QuantumRegister(1).rz(0, 2.0 * a)))[0]
    return float(a0.real), -float(a0.imag)


def expi(a: float) -> complex:
    """e^(ia) as cos(a) + i sin(a), each part correctly rounded."""
    c, s = cos_sin(a)
    return complex(c, s)


def rx(theta: float) -> tuple:
    c, s = cos_sin(theta / 2)
    return (complex(c, 0.0), complex(0.0, -s), complex(0.0, -s), complex(c, 0.0))


def ry(theta: float) -> tuple:
    c, s = cos_sin(theta / 2)
    return (complex(c, 0.0), complex(-s, 0.0), complex(s, 0.0), complex(c, 0.0))


def rz(theta: float) -> tuple:
    c, s = cos_sin(theta / 2)
    return (complex(c, -s), ZERO, ZERO, complex(c, s))


def phase(phi: float) -> tuple:
    """diag(1, e^(i phi))."""
    return (ONE, ZERO, ZERO, expi(phi))


def rot(phi: float, theta: float, omega: float) -> tuple:
    """RZ(omega) RY(theta) RZ(phi) in one matrix: one pass over the state instead of three."""
    c, s = cos_sin(theta / 2)
    return (
        expi(-(phi + omega) / 2) * c,
        -expi((phi - omega) / 2) * s,
        expi(-(phi - omega) / 2) * s,
        expi((phi + omega) / 2) * c,
    )


def u3(theta: float, phi: float, lam: float) -> tuple:
    """[[cos, -e^(i lam) sin], [e^(i phi) sin, e^(i(phi+lam)) cos]] of theta/2: the general
    one-qubit gate as both frameworks define it (U3, U)."""
    c, s = cos_sin(theta / 2)
    el, ep, epl = expi(lam), expi(phi), expi(phi + lam)
    return (complex(c), complex(-el.real * s, -el.imag * s),
            complex(ep.real * s, ep.imag * s), complex(epl.real * c, epl.imag * c))


def controlled_calls(controls, control_values, target: int, matrix: tuple) -> list[tuple]:
    """The register calls, as (method name, args), of a one-qubit `matrix` on `target` under
    `controls`, each firing when its qubit reads its value in `control_values` (None: all 1).
    A control on 0 is a control on 1 between two x gates; no controls is a plain `u`."""
    controls = list(controls)
    if not controls:
        return [("u", (target, *matrix))]
    values = control_values if control_values is not None else [1] * len(controls)
    flips = [("x", (c,)) for c, v in zip(controls, values) if not v]
    return flips + [("mcu", (controls, target, *matrix))] + flips
