"""A pure-Python model of the engine's arithmetic, for bit-for-bit comparison.

Python floats are IEEE doubles and every operation is rounded on its own, so
writing each formula out in the same order gives exactly the engine's bits.
"""

from __future__ import annotations

import functools
import math

import mpmath
import numpy as np

K = 0.7071067811865476
BAD = "..."
CCNOT_BAD = "input out of scope."
OUT_OF_SCOPE = "target out of scope!"


def sin_cos(x: float) -> tuple[float, float]:
    """sin and cos of x, each the double nearest the exact value, as the engine's."""
    if not math.isfinite(x):
        return math.nan, math.nan
    if x == 0.0:
        return x, 1.0  # before the cache, which takes -0.0 for 0.0; mpmath has no -0.0
    return _nearest_sin_cos(x)


@functools.lru_cache(maxsize=4096)
def _nearest_sin_cos(x: float) -> tuple[float, float]:
    with mpmath.workprec(300):  # mpmath widens it further to reduce large arguments
        exact = mpmath.sin(x), mpmath.cos(x)
    with mpmath.workprec(53):  # rounds to nearest, ties to even; no double is near a tie
        return float(+exact[0]), float(+exact[1])


def cmul(x: tuple[float, float], y: tuple[float, float]) -> tuple[float, float]:
    return (x[0] * y[0] - x[1] * y[1], x[0] * y[1] + x[1] * y[0])


def cadd(x: tuple[float, float], y: tuple[float, float]) -> tuple[float, float]:
    return (x[0] + y[0], x[1] + y[1])


class ModelError(Exception):
    """The message of a refused gate."""


class Model:
    def __init__(self, n: int) -> None:
        self.n = n
        self.amps: list[tuple[float, float]] = [(0.0, 0.0)] * (1 << n)
        self.amps[0] = (1.0, 0.0)

    # -- helpers --------------------------------------------------------
    def _pairs(self, target: int, controls: tuple[int, ...] = ()):
        cmask = 0
        for c in controls:
            cmask |= 1 << c
        t = 1 << target
        for i0 in range(1 << self.n):
            if i0 & t == 0 and i0 & cmask == cmask:
                yield i0, i0 | t

    def _apply(self, target: int, m, controls: tuple[int, ...] = ()) -> None:
        u00, u01, u10, u11 = m
        for i0, i1 in self._pairs(target, controls):
            a, b = self.amps[i0], self.amps[i1]
            self.amps[i0] = cadd(cmul(u00, a), cmul(u01, b))
            self.amps[i1] = cadd(cmul(u10, a), cmul(u11, b))

    def _check(self, *qubits: int) -> None:
        if any(q >= self.n for q in qubits):
            raise ModelError(BAD)

    # -- gates ----------------------------------------------------------
    def x(self, target: int) -> None:
        self._check(target)
        for i0, i1 in self._pairs(target):
            self.amps[i0], self.amps[i1] = self.amps[i1], self.amps[i0]

    def h(self, target: int) -> None:
        self._check(target)
        for i0, i1 in self._pairs(target):
            (ar, ai), (br, bi) = self.amps[i0], self.amps[i1]
            self.amps[i0] = ((ar + br) * K, (ai + bi) * K)
            self.amps[i1] = ((ar - br) * K, (ai - bi) * K)

    def u(self, target: int, u00: complex, u01: complex, u10: complex, u11: complex) -> None:
        self._check(target)
        self._apply(target, [(z.real, z.imag) for z in (u00, u01, u10, u11)])

    def rx(self, target: int, theta: float) -> None:
        self._check(target)
        s, c = sin_cos(theta * 0.5)
        self._apply(target, [(c, 0.0), (0.0, -s), (0.0, -s), (c, 0.0)])

    def ry(self, target: int, theta: float) -> None:
        self._check(target)
        s, c = sin_cos(theta * 0.5)
        self._apply(target, [(c, 0.0), (-s, -0.0), (s, 0.0), (c, 0.0)])

    def rz(self, target: int, theta: float) -> None:
        self._check(target)
        s, c = sin_cos(theta * 0.5)
        sm, cm = sin_cos(theta * -0.5)
        for i0, i1 in self._pairs(target):
            self.amps[i0] = cmul((cm, sm), self.amps[i0])
            self.amps[i1] = cmul((c, s), self.amps[i1])

    def cnot(self, control: int, target: int) -> None:
        if control == target:
            raise ModelError(BAD)
        self._check(target, control)
        for i0, i1 in self._pairs(target, (control,)):
            self.amps[i0], self.amps[i1] = self.amps[i1], self.amps[i0]

    def swap(self, q1: int, q2: int) -> None:
        if q1 == q2:
            raise ModelError(BAD)
        self._check(q1, q2)
        for i in range(1 << self.n):
            if (i >> q1) & 1 == 1 and (i >> q2) & 1 == 0:
                j = i ^ (1 << q1) ^ (1 << q2)
                self.amps[i], self.amps[j] = self.amps[j], self.amps[i]

    def ccnot(self, control1: int, control2: int, target: int) -> None:
        qs = (control1, control2, target)
        if any(q >= self.n for q in qs) or len(set(qs)) < 3:
            raise ModelError(CCNOT_BAD)
        for i0, i1 in self._pairs(target, (control1, control2)):
            self.amps[i0], self.amps[i1] = self.amps[i1], self.amps[i0]

    def csswap(self, control: int, target_1: int, target_2: int) -> None:
        qs = (control, target_1, target_2)
        if any(q >= self.n for q in qs) or len(set(qs)) < 3:
            raise ModelError(BAD)
        for i in range(1 << self.n):
            if (i >> control) & 1 and (i >> target_1) & 1 and not (i >> target_2) & 1:
                j = i ^ (1 << target_1) ^ (1 << target_2)
                self.amps[i], self.amps[j] = self.amps[j], self.amps[i]

    def mcu(self, control, target: int, u00: complex, u01: complex, u10: complex,
            u11: complex) -> None:
        control = list(control)
        if target >= self.n or any(c >= self.n or c == target for c in control):
            raise ModelError(BAD)
        if len(set(control)) != len(control):
            raise ModelError(BAD)
        self._apply(target, [(z.real, z.imag) for z in (u00, u01, u10, u11)], tuple(control))

    # -- read-outs ------------------------------------------------------
    def god_observe(self) -> list[float]:
        return [re * re + im * im for re, im in self.amps]


def hexes(values: list[float]) -> list[str]:
    """Exact texts: -0.0, NaN payload-free, infinities and every last bit show."""
    return [v.hex() for v in values]


def kahan(values) -> float:
    total = 0.0
    c = 0.0
    for x in values:
        y = x - c
        t = total + y
        c = (t - total) - y
        total = t
    return total


def collapse_observe(model: Model, value: int) -> None:
    model.amps = [(0.0, 0.0)] * len(model.amps)
    model.amps[value] = (1.0, 0.0)


def collapse_observe_one(model: Model, target: int, outcome: int) -> None:
    probs = model.god_observe()
    p1 = kahan(p for i, p in enumerate(probs) if (i >> target) & 1)
    h = math.sqrt(p1) if outcome else math.sqrt(1.0 - p1)
    for i, (re, im) in enumerate(model.amps):
        if (i >> target) & 1 == outcome:
            model.amps[i] = (re / h, im / h)
        else:
            model.amps[i] = (0.0, 0.0)


def marginal_table(model: Model, targets) -> list[float]:
    ts = sorted(targets)
    table = [0.0] * (1 << len(ts))
    for j, p in enumerate(model.god_observe()):
        t = sum(((j >> q) & 1) << k for k, q in enumerate(ts))
        table[t] = table[t] + p
    return table


def collapse_observe_mul(model: Model, targets, outcome: int) -> None:
    ts = sorted(targets)
    table = marginal_table(model, ts)
    mask = 0
    want = 0
    for k, q in enumerate(ts):
        mask |= 1 << q
        if (outcome >> k) & 1:
            want |= 1 << q
    h = math.sqrt(table[outcome])
    for i, (re, im) in enumerate(model.amps):
        if i & mask != want:
            model.amps[i] = (0.0, 0.0)
        elif h != 0.0:  # an outcome of probability 0 leaves the survivors as they are
            model.amps[i] = (re / h, im / h)


class ArrayModel(Model):
    """The same model on numpy arrays, each gate's pairs at once: every amplitude meets the
    same operations in the same order, each rounded on its own, so the bits are the same, at
    sizes where the loops above take too long. Reads go through amps.re and amps.im."""

    class Amps:
        def __init__(self, n: int) -> None:
            self.re, self.im = np.zeros(1 << n), np.zeros(1 << n)
            self.re[0] = 1.0

        def __getitem__(self, i):
            return self.re[i], self.im[i]

        def __setitem__(self, i, value) -> None:
            self.re[i], self.im[i] = value

    def __init__(self, n: int) -> None:
        self.n = n
        self.amps = ArrayModel.Amps(n)
        self._index = np.arange(1 << n)

    def _where(self, ones: int, zeros: int):
        i = self._index
        return i[(i & ones == ones) & (i & zeros == 0)]

    def _pairs(self, target: int, controls: tuple[int, ...] = ()):
        i0 = self._where(sum(1 << c for c in controls), 1 << target)
        yield i0, i0 | 1 << target

    def swap(self, q1: int, q2: int, controls: int = 0) -> None:
        if q1 == q2:
            raise ModelError(BAD)
        self._check(q1, q2)
        i = self._where(controls | 1 << q1, 1 << q2)
        j = i ^ (1 << q1 | 1 << q2)
        self.amps[i], self.amps[j] = self.amps[j], self.amps[i]

    def csswap(self, control: int, target_1: int, target_2: int) -> None:
        qs = (control, target_1, target_2)
        if any(q >= self.n for q in qs) or len(set(qs)) < 3:
            raise ModelError(BAD)
        self.swap(target_1, target_2, 1 << control)
