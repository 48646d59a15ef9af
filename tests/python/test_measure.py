"""Measurements from Python: outcomes, exact collapse, statistics and faults."""

import random
import threading

import pytest

import zentrova
from conftest import PanicException
from model import (Model, collapse_observe, collapse_observe_mul, collapse_observe_one, hexes,
                   marginal_table)
from test_gates import random_call

QR = zentrova.QuantumRegister


def random_state(seed: int, n: int):
    """A register and its model after a random circuit of valid gates."""
    rng = random.Random(seed)
    reg, model = QR(n), Model(n)
    for q in range(n):
        reg.h(q)
        model.h(q)
    for _ in range(3 * n):
        name, args = random_call(rng, n)
        try:
            getattr(model, name)(*args)
        except Exception:
            continue
        getattr(reg, name)(*args)
    return reg, model


def ket_value(ket) -> int:
    text = repr(ket)
    assert text[0] == "|" and text[-1] == ">"
    return int(text[1:-1], 2)


@pytest.mark.parametrize("seed", range(8))
def test_collapse_matches_model_bit_for_bit(seed):
    rng = random.Random(100 + seed)
    n = rng.randrange(1, 9)
    reg, model = random_state(seed, n)
    assert hexes(reg.god_observe()) == hexes(model.god_observe())

    target = rng.randrange(n)
    ket = reg.observe_one(target)
    assert len(repr(ket)) == 3
    collapse_observe_one(model, target, ket_value(ket))
    assert hexes(reg.god_observe()) == hexes(model.god_observe())

    reg.h(target)
    model.h(target)
    targets = [rng.randrange(n) for _ in range(rng.randrange(n + 1))]
    ket = reg.observe_mul(targets)
    assert len(repr(ket)) == max(len(targets), 1) + 2
    collapse_observe_mul(model, targets, ket_value(ket))
    assert hexes(reg.god_observe()) == hexes(model.god_observe())

    ket = reg.observe()
    assert len(repr(ket)) == max(n, 1) + 2
    collapse_observe(model, ket_value(ket))
    assert hexes(reg.god_observe()) == hexes(model.god_observe())


def test_deterministic_outcomes():
    assert repr(QR(3).observe()) == "|000>"
    assert repr(QR(3).x(0).observe()) == "|001>"
    assert repr(QR(3).x(0).observe_one(0)) == "|1>"
    assert repr(QR(3).x(2).observe_mul([2, 0])) == "|10>"
    assert repr(QR(0).observe()) == "|0>"
    assert repr(QR(2).observe_mul([])) == "|0>"
    assert repr(QR(4).x(1).observe_mul([1, 1])) == "|11>"
    assert repr(QR(4).observe_mul([3, 3, 0])) == "|000>"
    reg = QR(2).u(1, 0j, 0j, 0j, 1j).x(1)  # amplitude 2 is i: the phase is dropped
    assert repr(reg.observe()) == "|00>"


def test_repeated_targets_agree():
    for _ in range(50):
        value = ket_value(QR(2).h(1).observe_mul([1, 1]))
        assert value in (0, 3)


def test_observe_mul_renormalises_with_no_targets():
    reg = QR(1).u(0, 0.5 + 0j, 0j, 0j, 1 + 0j)  # norm 0.25
    assert repr(reg.observe_mul([])) == "|0>"
    assert reg.god_observe() == [1.0, 0.0]


def test_zero_norm_state_gives_no_nan():
    reg = QR(2).u(0, 0j, 0j, 0j, 0j)
    assert repr(reg.observe_mul([0, 1])) == "|00>"
    assert reg.god_observe() == [0.0] * 4


def test_observe_one_certain_outcomes():
    for _ in range(20):
        assert repr(QR(2).x(1).observe_one(1)) == "|1>"
        assert repr(QR(2).observe_one(1)) == "|0>"


def test_each_measurement_returns_a_new_ket():
    reg = QR(1)
    a, b = reg.observe(), reg.observe()
    assert a is not b and repr(a) == repr(b) and a != b
    assert str(a) == repr(a)
    assert type(a) is zentrova.PyDiracKet


@pytest.mark.parametrize("call", [
    lambda r: r.observe_one(3),
    lambda r: r.observe_one(2**64 - 1),
    lambda r: r.observe_mul([0, 3]),
    lambda r: r.observe_mul([3, 0]),
])
def test_out_of_range_target_is_fatal_and_harmless(call):
    reg = QR(3).h(0).rx(1, 0.4)
    before = hexes(reg.god_observe())
    with pytest.raises(PanicException) as info:
        call(reg)
    assert str(info.value) == "target out of scope!"
    assert hexes(reg.god_observe()) == before
    assert reg.h(2) is reg


def test_too_many_targets():
    reg = QR(1).h(0)
    before = hexes(reg.god_observe())
    with pytest.raises(PanicException, match="^capacity overflow$"):
        reg.observe_mul([0] * 60)
    assert hexes(reg.god_observe()) == before
    with pytest.raises(PanicException, match="Not enough memory"):
        reg.observe_mul([0] * 59)  # 2^59 doubles: more than any host here has
    assert hexes(reg.god_observe()) == before


def test_measurement_argument_faults():
    reg = QR(2)
    with pytest.raises(TypeError, match=r"^argument 'targets': Can't extract `str` to `Vec`$"):
        reg.observe_mul("01")
    with pytest.raises(TypeError, match=r"^argument 'targets': 'int' object is not an instance of 'Sequence'$"):
        reg.observe_mul(5)
    with pytest.raises(TypeError, match="'set' object is not an instance of 'Sequence'"):
        reg.observe_mul({0, 1})
    with pytest.raises(OverflowError):
        reg.observe_mul([0, -1])
    assert repr(reg.observe_mul(b"\x00\x01")) == "|00>"


# -- statistics: bounds are many standard deviations wide, so never flaky ------

def test_observe_one_on_an_even_superposition():
    ones = sum(ket_value(QR(1).h(0).observe_one(0)) for _ in range(4000))
    assert 1700 < ones < 2300  # sd ~32


def test_chi_square_over_three_qubits():
    shots = 8000
    expected = QR(3).h(0).ry(1, 1.1).rx(2, 2.3).cnot(0, 2).god_observe()
    counts = [0] * 8
    for _ in range(shots):
        reg = QR(3).h(0).ry(1, 1.1).rx(2, 2.3).cnot(0, 2)
        counts[ket_value(reg.observe())] += 1
    chi2 = sum((c - shots * p) ** 2 / (shots * p) for c, p in zip(counts, expected) if p > 0)
    assert chi2 < 60  # 7 degrees of freedom; p < 1e-9 beyond this
    assert all(c == 0 for c, p in zip(counts, expected) if p == 0)


def test_threads_draw_different_streams():
    streams = {}

    def draw(name):
        streams[name] = "".join(repr(QR(1).h(0).observe_one(0))[1] for _ in range(128))

    threads = [threading.Thread(target=draw, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(set(streams.values())) == 4


def test_marginal_table_model_is_consistent():
    # Guards the test model itself: the table sums the whole distribution.
    _, model = random_state(3, 4)
    assert sum(marginal_table(model, [0, 2])) == pytest.approx(sum(model.god_observe()))
