"""Repeated calls and refusals neither leak memory nor references."""

import gc
import os
import sys

import pytest

import zentrova
from conftest import SANITIZED, PanicException

QR = zentrova.QuantumRegister


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def repeat(call, times):
    for _ in range(times):
        try:
            call()
        except BaseException:  # noqa: BLE001 - refusals are the point
            pass


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs Linux /proc")
@pytest.mark.skipif(SANITIZED, reason="resident size is meaningless under AddressSanitizer")
def test_refused_constructions_keep_memory_flat():
    calls = [lambda: QR(-1), lambda: QR(1.5), lambda: QR(), lambda: QR(70),
             lambda: QR(60), lambda: QR(59), lambda: QR(n="x")]
    for call in calls:
        repeat(call, 2000)  # warm up caches and free lists
    gc.collect()
    before = rss_bytes()
    for call in calls:
        repeat(call, 100_000 // len(calls))
    gc.collect()
    assert rss_bytes() - before < 2 << 20


def test_argument_and_register_refcounts_stay_flat():
    reg = QR(3)
    target = 10**30  # a big int, so its count is ours alone
    controls = [0, 1]
    matrix = (1j, 0j, 0j, 1j)
    objs = (reg, target, controls, *matrix)
    before = [sys.getrefcount(o) for o in objs]
    calls = [
        lambda: reg.mcu(controls, 2, *matrix),
        lambda: reg.mcu(controls, target, *matrix),
        lambda: reg.u(target, *matrix),
        lambda: reg.observe_mul(controls),
        lambda: reg.observe_one(target),
        lambda: reg.h(target),
        lambda: reg.god_observe(),
        lambda: repr(reg.observe()),
    ]
    for call in calls:
        repeat(call, 3000)
    assert [sys.getrefcount(o) for o in objs] == before


def test_panic_type_is_shared():
    types = set()
    for n in (60, 61, 62, 63):
        with pytest.raises(PanicException) as info:
            QR(n)
        types.add(type(info.value))
    assert types == {PanicException}
