"""The eleven gates from Python, checked bit for bit against the model."""

import math
import random
import struct

import numpy as np
import pytest

import zentrova
import zentrova_readout as zr
from model import BAD, CCNOT_BAD, ArrayModel, Model, ModelError, hexes, sin_cos

QR = zentrova.QuantumRegister

GATES_1Q = ("x", "h", "rx", "ry", "rz", "u")


def random_complex(rng: random.Random) -> complex:
    pick = rng.random()
    if pick < 0.1:
        return complex(0.0, -0.0)
    return complex(rng.uniform(-1.5, 1.5), rng.uniform(-1.5, 1.5))


def random_call(rng: random.Random, n: int):
    """A gate call with mostly valid, sometimes refused, arguments."""
    name = rng.choice(GATES_1Q + ("cnot", "swap", "ccnot", "csswap", "mcu"))
    q = lambda: rng.randrange(n + 1) if rng.random() < 0.05 else rng.randrange(n)  # noqa: E731
    if name in ("x", "h"):
        return name, (q(),)
    if name in ("rx", "ry", "rz"):
        return name, (q(), rng.uniform(-10, 10))
    if name == "u":
        return name, (q(), *(random_complex(rng) for _ in range(4)))
    if name in ("cnot", "swap"):
        return name, (q(), q())
    if name in ("ccnot", "csswap"):
        return name, (q(), q(), q())
    controls = [q() for _ in range(rng.randrange(min(n, 4)))]
    return name, (controls, q(), *(random_complex(rng) for _ in range(4)))


@pytest.mark.parametrize("seed", range(12))
def test_random_circuits_match_model_bit_for_bit(seed):
    rng = random.Random(seed)
    n = rng.randrange(1, 11)
    reg, model = QR(n), Model(n)
    refused = 0
    for _ in range(30 if n > 7 else 60):
        name, args = random_call(rng, n)
        try:
            getattr(model, name)(*args)
            expected = None
        except ModelError as e:
            expected = str(e)
        before = reg.god_observe()
        if expected is None:
            assert getattr(reg, name)(*args) is reg
        else:
            refused += 1
            with pytest.raises(ValueError) as info:
                getattr(reg, name)(*args)
            assert info.value.args == (expected,)
            assert hexes(reg.god_observe()) == hexes(before)
        assert hexes(reg.god_observe()) == hexes(model.god_observe()), (name, args)


def test_gates_grouped_into_passes_match_the_model_bit_for_bit():
    """From 17 qubits on, a register records its gates and applies them in groups, each
    group's gates meeting the array tile by tile (2^15 amplitudes, sub-tiles of 2^11 inside):
    a gate on qubit 15 or 16 needs a gathered tile, and a gate too many in a group, or one out
    of order, changes the bits."""
    rng = random.Random(17)
    reg, model = QR(17), ArrayModel(17)
    for _ in range(150):
        name, args = random_call(rng, 17)
        try:
            getattr(model, name)(*args)
        except ModelError:
            continue
        getattr(reg, name)(*args)
    amps = np.asarray(zr.amplitudes(reg))
    assert amps.real.tobytes() == model.amps.re.tobytes()
    assert amps.imag.tobytes() == model.amps.im.tobytes()


def test_chaining_returns_the_same_object():
    reg = QR(3)
    assert reg.h(0).cnot(0, 1) is reg
    probs = reg.god_observe()
    assert probs[0] == probs[3] and probs[0] == pytest.approx(0.5)


def test_worked_examples():
    assert QR(1).h(0).god_observe() == [0.5000000000000001, 0.5000000000000001]
    twice = QR(1).h(0).h(0).god_observe()
    assert twice == [1.0000000000000002 ** 2, 0.0]
    rx = QR(1).rx(0, math.pi).god_observe()
    assert rx == [6.123233995736766e-17 ** 2, 1.0]
    # A non-unitary matrix is applied as given: the norm becomes 2.
    assert QR(1).u(0, 1 + 0j, 1 + 0j, 1 + 0j, 1 + 0j).god_observe() == [1.0, 1.0]
    nan = QR(2).h(1).rx(0, float("nan")).god_observe()
    assert all(math.isnan(p) for p in nan)
    # Zero matrix under controls zeroes only the controlled amplitudes.
    reg = QR(2).h(0).h(1).mcu([1], 0, 0j, 0j, 0j, 0j)
    assert reg.god_observe()[:2] == QR(2).h(0).h(1).god_observe()[:2]
    assert reg.god_observe()[2:] == [0.0, 0.0]


def test_rotations_take_the_nearest_doubles_to_cos_and_sin():
    """On |0>, rx and ry give exactly [c*c, s*s], c and s the doubles nearest to
    cos and sin of theta/2: the same bits wherever the module runs. A maths
    library that misses the nearest double for one angle in a few hundred fails
    here."""
    rng = random.Random(13)
    halves = [float.fromhex("0x1.8612eee514c70p-1"), 1e22, 2.0**-1074]
    halves += [rng.uniform(-4.0, 4.0) for _ in range(1500)]
    halves += [rng.uniform(-1.0, 1.0) * 2.0 ** rng.randrange(-40, 1023) for _ in range(300)]
    for half in halves:
        s, c = sin_cos(half)
        for gate in ("rx", "ry"):
            assert getattr(QR(1), gate)(0, half * 2.0).god_observe() == [c * c, s * s], (gate, half.hex())


def test_basis_state_moves():
    def basis(n, k):
        reg = QR(n)
        for q in range(n):
            if (k >> q) & 1:
                reg.x(q)
        return reg

    def where(reg):
        probs = reg.god_observe()
        assert sorted(probs) == [0.0] * (len(probs) - 1) + [1.0]
        return probs.index(1.0)

    assert where(QR(3).x(0)) == 1 and where(QR(3).x(2)) == 4
    assert where(basis(2, 1).cnot(0, 1)) == 3 and where(basis(2, 1).cnot(1, 0)) == 1
    assert where(basis(3, 1).swap(0, 2)) == 4 and where(basis(3, 1).swap(2, 0)) == 4
    for k in range(8):
        expect_ccnot = {3: 7, 7: 3}.get(k, k)
        assert where(basis(3, k).ccnot(0, 1, 2)) == expect_ccnot
        assert where(basis(3, k).ccnot(2, 0, 1)) == {5: 7, 7: 5}.get(k, k)
        assert where(basis(3, k).csswap(0, 1, 2)) == {3: 5, 5: 3}.get(k, k)
        assert where(basis(3, k).mcu([0, 1], 2, 0j, 1 + 0j, 1 + 0j, 0j)) == expect_ccnot
        assert where(basis(3, k).mcu([1, 0], 2, 0j, 1 + 0j, 1 + 0j, 0j)) == expect_ccnot


def test_mcu_without_controls_equals_u():
    rng = random.Random(7)
    for _ in range(20):
        m = [random_complex(rng) for _ in range(4)]
        m[rng.randrange(4)] = complex(float("inf"), rng.choice([0.0, float("nan")]))
        a = QR(3).h(0).h(1).rx(2, 0.3)
        b = QR(3).h(0).h(1).rx(2, 0.3)
        t = rng.randrange(3)
        assert hexes(a.u(t, *m).god_observe()) == hexes(b.mcu([], t, *m).god_observe())


REFUSALS = [
    ("h", (2,), BAD), ("x", (5,), BAD), ("rx", (2, 1.0), BAD), ("u", (2, 1j, 1j, 1j, 1j), BAD),
    ("cnot", (0, 0), BAD), ("cnot", (0, 2), BAD), ("cnot", (2, 0), BAD),
    ("swap", (1, 1), BAD), ("swap", (0, 9), BAD),
    ("ccnot", (0, 0, 1), CCNOT_BAD), ("ccnot", (0, 1, 1), CCNOT_BAD), ("ccnot", (1, 0, 1), CCNOT_BAD),
    ("ccnot", (0, 1, 2), CCNOT_BAD),
    ("csswap", (0, 0, 1), BAD), ("csswap", (0, 1, 5), BAD),
    ("mcu", ([0], 0, 1j, 1j, 1j, 1j), BAD), ("mcu", ([5], 0, 1j, 1j, 1j, 1j), BAD),
    ("mcu", ([], 2, 1j, 1j, 1j, 1j), BAD),
    ("mcu", ([1, 1], 0, 1j, 1j, 1j, 1j), BAD),  # a repeated control is refused
]


@pytest.mark.parametrize("name,args,text", REFUSALS)
def test_refusals_leave_the_state_alone(name, args, text):
    reg = QR(2).h(0).ry(1, 0.7)
    before = hexes(reg.god_observe())
    with pytest.raises(ValueError) as info:
        getattr(reg, name)(*args)
    assert info.value.args == (text,)
    assert hexes(reg.god_observe()) == before
    assert reg.h(1) is reg


def test_zero_qubit_register_refuses_every_gate():
    reg = QR(0)
    for name in ("x", "h"):
        with pytest.raises(ValueError, match=r"^\.\.\.$"):
            getattr(reg, name)(0)
    assert reg.god_observe() == [1.0]


def test_god_observe_returns_a_new_list_and_keeps_the_state():
    reg = QR(2)
    first = reg.god_observe()
    assert first == [1.0, 0.0, 0.0, 0.0]
    first[0] = 5.0
    assert reg.god_observe() == [1.0, 0.0, 0.0, 0.0]
    assert all(type(p) is float for p in reg.god_observe())
    # Signed zeros of the amplitudes square to +0.0.
    z = QR(1).u(0, complex(-0.0, -0.0), 0j, 0j, 1j).god_observe()
    assert [struct.pack("<d", p) for p in z] == [struct.pack("<d", 0.0)] * 2
