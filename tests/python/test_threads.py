"""The module under many Python threads: registers of their own, checked bit
for bit against the model while the interpreter switches threads as often as
it can; one register shared by threads whose gates commute exactly; and the
borrow flag seen from another thread while an argument hook has let go of the
interpreter lock."""

import random
import sys
import threading

import pytest

import zentrova
from model import Model, ModelError, collapse_observe_one, collapse_observe_mul, hexes
from test_gates import random_call

QR = zentrova.QuantumRegister

THREADS = 8
ROUNDS = 150


@pytest.fixture(autouse=True)
def frequent_switches():
    # Switch threads every microsecond, so calls interleave as finely as they can.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(target, count):
    errors = []

    def guarded(i):
        try:
            target(i)
        except BaseException as e:  # noqa: BLE001 - reported to the main thread
            errors.append((i, e))

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors


def test_threads_with_their_own_registers_match_the_model():
    outcomes = {}
    calls = [0] * THREADS

    def work(i):
        rng = random.Random(1000 + i)
        n = 3 + i % 3
        reg, model = QR(n), Model(n)
        bits = []
        for _ in range(ROUNDS):
            name, args = random_call(rng, n)
            try:
                getattr(model, name)(*args)
            except ModelError as e:
                with pytest.raises(ValueError) as info:
                    getattr(reg, name)(*args)
                assert str(info.value) == str(e)
            else:
                assert getattr(reg, name)(*args) is reg
            target = rng.randrange(n)
            reg.h(target)
            model.h(target)
            outcome = int(repr(reg.observe_one(target))[1])
            collapse_observe_one(model, target, outcome)
            bits.append(outcome)
            targets = [rng.randrange(n) for _ in range(rng.randrange(3))]
            ket = repr(reg.observe_mul(targets))
            collapse_observe_mul(model, targets, int(ket[1:-1], 2))
            calls[i] += 6
            assert hexes(reg.god_observe()) == hexes(model.god_observe())
        outcomes[i] = "".join(map(str, bits))

    run_threads(work, THREADS)
    print(f"\nthreads with own registers: {THREADS} threads, {sum(calls)} calls")
    # Each thread draws from a generator of its own: no two streams agree.
    assert len(set(outcomes.values())) == THREADS


def test_threads_sharing_a_register_lose_no_update():
    # x gates are exact moves and commute with each other, so however the
    # threads interleave, the state ends as the serial replay: the start state
    # with the XOR of all flipped masks applied. A lost or repeated update, or a
    # torn one, shows up as a different permutation or as mixed amplitudes.
    n = 6
    reg, model = QR(n), Model(n)
    for q in range(n):
        reg.ry(q, 0.3 + 0.4 * q)
        model.ry(q, 0.3 + 0.4 * q)
    start = model.god_observe()
    assert len(set(start)) == 1 << n  # distinct values: every permutation tells
    flips = [random.Random(i).choices(range(n), k=400) for i in range(THREADS)]
    snapshots = []
    borrowed = []

    def work(i):
        for k, q in enumerate(flips[i]):
            try:
                assert reg.x(q) is reg
                if k % 50 == 0:
                    snapshots.append(reg.god_observe())
            except RuntimeError as e:  # never: plain calls cannot find the flag taken
                borrowed.append(str(e))

    run_threads(work, THREADS)
    assert borrowed == []
    # Every state seen on the way was a permutation of the start, never a torn one.
    for snap in snapshots:
        assert sorted(snap) == sorted(start)
    for qubits in flips:
        for q in qubits:
            model.x(q)
    assert hexes(reg.god_observe()) == hexes(model.god_observe())
    print(f"\nshared register: {THREADS} threads, {THREADS * 400} x gates, "
          f"{len(snapshots)} read-outs in between, 0 'Already borrowed'")


def test_measuring_threads_sharing_a_register():
    # Measurements on one register from several threads: each collapses the
    # state the previous one left, so the outcomes of each round agree.
    reg = QR(4)
    results = [[] for _ in range(THREADS)]

    def work(i):
        for _ in range(100):
            results[i].append(repr(reg.observe()))

    reg.h(0).h(1).h(2).h(3)
    run_threads(work, THREADS)
    seen = {r for rs in results for r in rs}
    assert len(seen) == 1  # once collapsed, every later observe returns the same ket
    probs = reg.god_observe()
    assert sorted(probs) == [0.0] * 15 + [1.0]


def test_another_thread_sees_the_register_borrowed_while_a_hook_waits():
    reg = QR(2)
    inside, proceed = threading.Event(), threading.Event()
    seen = []

    class Waits:
        def __index__(self):
            inside.set()
            proceed.wait(10)  # lets go of the interpreter lock while the flag is taken
            return 1

    def other():
        inside.wait(10)
        for call in (lambda: reg.h(0), reg.god_observe, reg.observe):
            try:
                call()
                seen.append("returned")
            except RuntimeError as e:
                seen.append(str(e))
        proceed.set()

    t = threading.Thread(target=other)
    t.start()
    assert reg.x(Waits()) is reg
    t.join()
    assert seen == ["Already borrowed"] * 3
    # Only the x(1) of the hook's owner ran; the refused calls changed nothing.
    assert reg.god_observe() == QR(2).x(1).god_observe()
