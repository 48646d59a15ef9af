"""Repeated calls and refusals neither leak memory nor references."""

import gc
import os
import sys

import pytest

import zentrova
from conftest import SANITIZED, PanicException
from fuzz_model import ANGLE, ENTRY, LIST, PARAMS, QUBIT

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


# -- every method and every error path, many times over --------------------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IndexRaises:
    def __index__(self):
        raise LookupError("from __index__")


class FloatWrong:
    def __float__(self):
        return "not a float"


class LenRaises:
    def __len__(self):
        raise ValueError("from __len__")

    def __getitem__(self, i):
        if i < 2:
            return i
        raise IndexError(i)


class IterRaises(LenRaises):
    def __iter__(self):
        raise KeyError("from __iter__")


def leak_loop_calls(reg):
    """One call per path through the module, each with arguments it owns, so
    that their reference counts can be watched: (call, arguments)."""
    big = 10**30
    negative = -(10**30)
    angle = 0.123456789
    matrix = [complex(1, 2), complex(0.5, 0), complex(0, -0.25), complex(3, 4)]
    bad_entry = 1.5
    controls = [0, 1]
    targets = (2, 0, 2)
    reentrant = Index(0)

    def reenter():
        # An __index__ that calls back into the same register while it is borrowed.
        class Reenter:
            def __index__(self):
                try:
                    reg.x(reentrant)
                except RuntimeError:
                    pass
                return 0
        return Reenter()

    hooks = {"index": Index(1), "raises": IndexRaises(), "float": FloatWrong(),
             "len": LenRaises(), "iter": IterRaises(), "reenter": reenter()}
    table = [
        # Success of every method.
        (lambda: reg.x(0), ()), (lambda: reg.h(hooks["index"]), (hooks["index"],)),
        (lambda: reg.u(1, *matrix), tuple(matrix)),
        (lambda: reg.rx(2, angle), (angle,)), (lambda: reg.ry(0, angle), (angle,)),
        (lambda: reg.rz(1, angle), (angle,)), (lambda: reg.cnot(0, 2), ()),
        (lambda: reg.ccnot(0, 1, 2), ()), (lambda: reg.swap(q2=0, q1=1), ()),
        (lambda: reg.csswap(2, 0, 1), ()), (lambda: reg.mcu(controls, 2, *matrix),
                                             (controls, *matrix)),
        (lambda: reg.mcu(hooks["len"], 2, *matrix), (hooks["len"], *matrix)),
        (lambda: reg.observe(), ()), (lambda: reg.observe_one(1), ()),
        (lambda: reg.observe_mul(targets), (targets,)), (lambda: reg.god_observe(), ()),
        (lambda: repr(reg.observe_mul([])), ()),
        (lambda: reg.x(hooks["reenter"]), (hooks["reenter"],)),
        # Argument lists.
        (lambda: reg.h(), ()), (lambda: reg.h(0, 1), ()), (lambda: reg.h(qubit=big), (big,)),
        (lambda: reg.cnot(0, control=big), (big,)), (lambda: reg.observe(big), (big,)),
        (lambda: reg.god_observe(k=big), (big,)), (lambda: reg.u(0, *matrix[:2]), tuple(matrix)),
        # Conversions.
        (lambda: reg.x(big), (big,)), (lambda: reg.x(negative), (negative,)),
        (lambda: reg.x(angle), (angle,)), (lambda: reg.x(hooks["raises"]), (hooks["raises"],)),
        (lambda: reg.rx(0, hooks["float"]), (hooks["float"],)),
        (lambda: reg.rz(0, big**20), ()),
        (lambda: reg.u(0, matrix[0], bad_entry, *matrix[2:]), (bad_entry, *matrix)),
        (lambda: reg.mcu("01", 0, *matrix), tuple(matrix)),
        (lambda: reg.mcu({0}, 0, *matrix), tuple(matrix)),
        (lambda: reg.mcu([0, negative], 1, *matrix), (negative, *matrix)),
        (lambda: reg.mcu(hooks["iter"], 1, *matrix), (hooks["iter"], *matrix)),
        (lambda: reg.observe_mul([big]), (big,)),
        # Engine refusals.
        (lambda: reg.h(3), ()), (lambda: reg.ccnot(0, 0, 1), ()),
        (lambda: reg.mcu(controls, 0, *matrix), (controls, *matrix)),
        (lambda: reg.observe_one(3), ()), (lambda: reg.observe_mul(targets + (3,)), (targets,)),
        (lambda: reg.observe_mul([0] * 45), ()), (lambda: reg.observe_mul([0] * 60), ()),
        # A register made, measured and dropped, with its ket.
        (lambda: repr(QR(2).h(1).observe_one(1)), ()),
        # Constructor refusals.
        (lambda: QR(big), (big,)), (lambda: QR(40), ()), (lambda: QR(70), ()),
        (lambda: QR(n=angle), (angle,)), (lambda: QR(hooks["raises"]), (hooks["raises"],)),
    ]
    return table


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs Linux /proc")
def test_every_path_many_times_leaks_nothing():
    reg = QR(3).h(0).h(1).h(2)
    table = leak_loop_calls(reg)
    # The module's own objects too: each register and ket holds its type, and
    # every refusal of the engine raises PanicException.
    watched = [reg, QR, zentrova.PyDiracKet, PanicException]
    watched += [o for _, objs in table for o in objs]
    for call, _ in table:
        repeat(call, 200)  # warm up caches, free lists and the per-thread generator
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    before = rss_bytes()
    rounds = 1000  # about 50 paths: some 50,000 calls
    for _ in range(rounds):
        for call, _ in table:
            try:
                call()
            except BaseException:  # noqa: BLE001 - refusals are the point
                pass
    gc.collect()
    after = rss_bytes()
    print(f"\nleak loop: {rounds * len(table)} calls over {len(table)} paths, "
          f"resident {before} -> {after} bytes")
    assert [sys.getrefcount(o) for o in watched] == counts
    if not SANITIZED:
        assert after - before < 2 << 20
    # Still a working register with a usable borrow flag.
    assert reg.x(0) is reg


# -- objects handed in, or handed back by hooks, on every path of every method --

class Holds:
    def __init__(self, value):
        self.value = value


class Iterates(Holds):
    """A sequence whose iterator runs over the list it holds."""

    def __getitem__(self, i):
        return self.value[i]

    def __iter__(self):
        return iter(self.value)


class FloatReturns(Holds):
    def __float__(self):
        return self.value


def owned_arguments():
    """Per kind of argument, (argument, objects it hands over): none of them
    immortal, so a reference kept or dropped by mistake moves their counts.
    Qubits that convert are small ints, immortal: no success path to watch."""
    big = 2**40 + 12345  # a valid index of no qubit: refused by the engine
    huge = 2**64 + 12345  # beyond an index: OverflowError
    vast = 2**1100  # beyond a float
    angle = float("0.3125")
    entry = complex(0.5, -1.5)
    hooked = {name: Index(v) for name, v in (("big", big), ("huge", huge), ("angle", angle),
                                            ("vast", vast))}
    inner = [0]
    return {
        QUBIT: [(hooked["big"], big), (hooked["huge"], huge), (hooked["angle"], angle), (big,)],
        ANGLE: [(FloatReturns(angle), angle), (hooked["big"], big), (hooked["vast"], vast),
                (FloatReturns(inner), inner), (big,)],
        ENTRY: [(entry,), (angle,)],
        LIST: [([0],), (Iterates(inner), inner), ([hooked["big"]], big), ([huge],)],
    }


def test_objects_handed_over_keep_their_counts():
    reg = QR(3)
    owned = owned_arguments()
    calls, watched = [], []
    for name, params in PARAMS.items():
        if params is None:
            continue
        method = QR if name == "__new__" else getattr(reg, name)
        kinds = [kind for _, kind in params]
        qubits = iter((2, 1, 0))  # distinct, and apart from the list's 0
        defaults = [next(qubits) if k == QUBIT else {ANGLE: 0.5, ENTRY: 1 + 0j, LIST: [0]}[k]
                    for k in kinds]
        for i, kind in enumerate(kinds):
            for arg, *handed in owned[kind]:
                args = defaults[:i] + [arg] + defaults[i + 1:]
                calls.append(lambda method=method, args=args: method(*args))
                watched += [arg, *handed]
    counts = [sys.getrefcount(o) for o in watched]
    for call in calls:
        repeat(call, 50)
    assert [sys.getrefcount(o) for o in watched] == counts
