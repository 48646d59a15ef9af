"""zentrova_readout: copies of a register's probabilities and amplitudes as
buffers, checked bit for bit against god_observe and the model; out= and its
refusals; the register's borrow, reference counts, threads and fork."""

import gc
import math
import os
import random
import struct
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import zentrova
import zentrova_readout as zr
from model import Model, hexes

QR = zentrova.QuantumRegister

# Factors that turn ordinary amplitudes into every corner of the doubles: signed
# zeros, subnormals, squares that underflow to subnormals or zero or overflow to
# infinity, infinities and NaN.
SPECIAL = [0.0, -0.0, 1e-310, -3e-320, 1e-158, -2e-160, 1e200, -1e160,
           math.inf, -math.inf, math.nan, 1.0, -0.5]


def special_state(seed: int, n: int):
    """A register and its model: ordinary amplitudes, then special factors on a few
    pairs (an mcu under every other qubit, its controls' values set by x)."""
    rng = random.Random(seed)
    reg, model = QR(n), Model(n)

    def both(name, *args):
        getattr(reg, name)(*args)
        getattr(model, name)(*args)

    for q in range(n):
        both("h", q)
        both("ry", q, rng.uniform(-3, 3))
    for k in range(n + 2):
        t = rng.randrange(n)
        others = [q for q in range(n) if q != t]
        flips = [q for q in others if rng.random() < 0.5]
        zero = lambda: complex(rng.choice((0.0, -0.0)), rng.choice((0.0, -0.0)))  # noqa: E731
        m = [complex(rng.choice(SPECIAL), rng.choice(SPECIAL)), zero(),
             zero(), complex(rng.choice(SPECIAL), rng.choice(SPECIAL))]
        if k % 3 == 0:  # (-0.0)a0 + (-0.0)a1 on real amplitudes: signed zeros
            m[0] = m[1] = complex(-0.0, 0.0)
        for q in flips:
            both("x", q)
        both("mcu", others, t, *m)
        for q in flips:
            both("x", q)
    return reg, model


def doubles(buf) -> bytes:
    return memoryview(buf).tobytes()


def packed(values: list[float]) -> bytes:
    return struct.pack(f"={len(values)}d", *values)


# Named for the test command's rerun against the scalar kernels ("gates").
@pytest.mark.parametrize("seed,n", [(s, n) for s, n in enumerate((1, 2, 3, 4, 5, 7, 9) * 2)])
def test_readouts_equal_god_observe_and_model_after_gates(seed, n):
    reg, model = special_state(seed, n)
    before = packed(reg.god_observe())
    expected_probs = [re * re + im * im for re, im in model.amps]

    probs = zr.probabilities(reg)
    assert doubles(probs) == before  # the very bits, NaN payloads included
    assert hexes(list(memoryview(probs))) == hexes(expected_probs)
    amps = np.asarray(zr.amplitudes(reg))
    assert amps.dtype == np.complex128 and amps.shape == (1 << n,)
    assert hexes([x for z in amps.tolist() for x in (z.real, z.imag)]) == \
        hexes([x for a in model.amps for x in a])

    # Into caller's memory at every offset from a vector boundary, and at none
    # that doubles could have: the same bits.
    wide = np.full((1 << n) + 8, 7.0)
    for offset in range(8):
        out = wide[offset:offset + (1 << n)]
        assert zr.probabilities(reg, out) is out and out.tobytes() == before
    odd = memoryview(bytearray(8 * (1 << n) + 1))[1:].cast("d")
    assert zr.probabilities(reg, out=odd) is odd and odd.tobytes() == before
    assert packed(reg.god_observe()) == before  # nothing was changed


def test_readouts_apply_the_gates_a_large_register_recorded():
    # Registers above one cache block record their gates; each read-out must
    # apply them first, whichever module reads.
    n = 17
    reg = QR(n).h(n - 1).x(0).rz(n - 1, 0.25)
    probs = np.asarray(zr.probabilities(reg))
    assert np.flatnonzero(probs).tolist() == [1, 1 + (1 << (n - 1))]
    assert abs(probs[1] - 0.5) < 1e-15 and abs(probs[1 + (1 << (n - 1))] - 0.5) < 1e-15
    reg.swap(0, n - 1)
    amps = np.asarray(zr.amplitudes(reg))
    assert np.flatnonzero(amps).tolist() == [1 << (n - 1), (1 << (n - 1)) + 1]
    assert packed(reg.god_observe()) == doubles(zr.probabilities(reg))


def test_numpy_takes_the_copy_without_copying_and_it_outlives_the_register():
    reg = QR(4).h(0).rx(2, 0.4)
    probs, amps = zr.probabilities(reg), zr.amplitudes(reg)
    assert (len(probs), len(amps)) == (16, 16)
    p = np.asarray(probs)
    a = np.asarray(amps)
    assert p.dtype == np.float64 and p.flags.writeable and p.shape == (16,)
    expected, amp_bytes = p.copy(), doubles(amps)
    p[3] = 5.0  # the array is a view of the copy, not a copy of it
    assert np.asarray(probs)[3] == 5.0
    reg.x(1)  # later gates reach neither copy
    del reg, p
    gc.collect()
    assert np.asarray(probs)[0] == expected[0] and np.asarray(probs)[3] == 5.0
    assert doubles(amps) == amp_bytes and a.base is not None
    # A copy can be handed back as out, and is filled in place.
    reg2 = QR(4)
    assert zr.probabilities(reg2, probs) is probs
    assert list(memoryview(probs)) == reg2.god_observe()
    assert zr.amplitudes(reg2, out=amps) is amps and np.asarray(amps)[0] == 1
    with pytest.raises(TypeError):
        type(probs)()


OUT_REFUSALS = [
    # (function, out, exception, message fragment)
    (zr.probabilities, np.zeros(8, np.float32), TypeError, "float64"),
    (zr.probabilities, np.zeros(8, np.complex128), TypeError, "not format 'Zd'"),
    (zr.probabilities, np.zeros(8, ">f8"), TypeError, "float64"),
    (zr.probabilities, bytearray(64), TypeError, "not format 'B'"),
    (zr.probabilities, np.zeros(9), ValueError, "must hold 8 items"),
    (zr.probabilities, np.zeros(16)[::2], ValueError, "C-contiguous"),
    (zr.probabilities, np.zeros((2, 8))[:, :4], ValueError, "C-contiguous"),
    (zr.probabilities, bytes(64), ValueError, "read-only"),
    (zr.probabilities, [0.0] * 8, TypeError, "must be a writable buffer of float64"),
    (zr.probabilities, 8, TypeError, "not int"),
    (zr.amplitudes, np.zeros(8), TypeError, "complex128"),
    (zr.amplitudes, np.zeros(8, np.complex64), TypeError, "complex128"),
    (zr.amplitudes, np.zeros(16), TypeError, "complex128"),
    (zr.amplitudes, np.zeros(7, np.complex128), ValueError, "must hold 8 items"),
]


@pytest.mark.parametrize("fn,out,exc,text", OUT_REFUSALS)
def test_out_refusals_write_nothing_and_change_nothing(fn, out, exc, text):
    reg = QR(3).h(0).ry(2, 0.3)
    before = packed(reg.god_observe())
    if isinstance(out, np.ndarray):
        out[...] = 3
    kept = bytes(memoryview(out)) if isinstance(out, (np.ndarray, bytearray, bytes)) else None
    with pytest.raises(exc, match=text):
        fn(reg, out)
    if kept is not None:
        assert bytes(memoryview(out)) == kept
    assert packed(reg.god_observe()) == before
    assert reg.h(1) is reg  # the borrow was given back


def test_read_only_array_and_shapes_that_fit():
    reg = QR(3).h(1)
    frozen = np.zeros(8)
    frozen.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        zr.probabilities(reg, frozen)
    # Any C-contiguous shape of 2**n items is taken, item by item in index order.
    cube = np.zeros((2, 2, 2))
    zr.probabilities(reg, cube)
    assert cube.ravel().tolist() == reg.god_observe()
    little = np.zeros(8, "<f8")
    assert zr.probabilities(reg, little) is little


def test_argument_faults():
    reg = QR(1)
    cases = [
        (lambda: zr.probabilities(3), "probabilities() argument 'reg' must be "
         "zentrova.QuantumRegister, not int"),
        (lambda: zr.amplitudes(None), "amplitudes() argument 'reg' must be "
         "zentrova.QuantumRegister, not NoneType"),
        (lambda: zr.amplitudes(reg.observe()), "not PyDiracKet"),
        (lambda: zr.probabilities(), "probabilities() missing 1 required positional argument: 'reg'"),
        (lambda: zr.probabilities(reg, None, 1), "takes from 1 to 2 positional arguments but 3 were"),
        (lambda: zr.probabilities(reg, outt=None), "unexpected keyword argument 'outt'"),
        (lambda: zr.amplitudes(reg, reg=reg), "multiple values for argument 'reg'"),
    ]
    for call, text in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert text in str(info.value)
    assert list(memoryview(zr.probabilities(reg=reg, out=None))) == [1.0, 0.0]
    assert zr.probabilities(reg) is not zr.probabilities(reg)
    assert np.asarray(zr.amplitudes(QR(0))).tolist() == [1 + 0j]


def test_a_register_in_use_is_already_borrowed():
    reg = QR(2).h(0)
    before = packed(reg.god_observe())
    seen = []

    class Reentrant:  # an index whose conversion reads the register mid-gate
        def __index__(self):
            try:
                zr.probabilities(reg)
            except RuntimeError as e:
                seen.append(str(e))
            zr.amplitudes(reg)  # escapes
            return 0

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        reg.x(Reentrant())
    assert seen == ["Already borrowed"]

    class Exporter:  # an out whose export calls a gate mid-read-out
        def __buffer__(self, flags):
            reg.h(0)
            return memoryview(bytearray(32)).cast("d")

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        zr.probabilities(reg, Exporter())
    assert packed(reg.god_observe()) == before
    assert doubles(zr.probabilities(reg)) == before


def test_reference_counts_stay_flat():
    reg = QR(3).h(2)
    out, bad = np.zeros(8), np.zeros(5)
    objs = (reg, out, bad, zr.ProbabilityBuffer, zr.AmplitudeBuffer)
    gc.collect()  # copies left by earlier tests hold their type
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(2000):
        zr.probabilities(reg)
        np.asarray(zr.amplitudes(reg)).sum()
        zr.probabilities(reg, out)
        for call in (lambda: zr.probabilities(reg, bad), lambda: zr.amplitudes(reg, out),
                     lambda: zr.probabilities(bad)):
            try:
                call()
            except (TypeError, ValueError):
                pass
    gc.collect()
    assert [sys.getrefcount(o) for o in objs] == before


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_threads_and_forked_children_read_their_own_registers():
    def work(n: int) -> bytes:
        reg = QR(n).h(0).ry(n - 1, 0.1 * n)
        assert doubles(zr.probabilities(reg)) == packed(reg.god_observe())
        return doubles(zr.amplitudes(reg))

    forked = None
    if hasattr(os, "fork"):
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                os.write(write, work(6))
            finally:
                os._exit(0)
        os.close(write)
        with os.fdopen(read, "rb") as f:
            forked = f.read()
        assert os.waitpid(pid, 0)[1] == 0
    results = {}
    threads = [threading.Thread(target=lambda n=n: results.__setitem__(n, work(n)))
               for n in range(2, 10)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(results) == list(range(2, 10))
    assert forked in (None, results[6])


def test_both_modules_use_zentrova_s_one_kernel_table():
    import engine_table
    table = engine_table.head(engine_table.shared()[engine_table.NAME.decode()])
    chosen = table.kernel_set()
    module, readout = (open(m.__file__, "rb").read() for m in (zentrova, zr))
    # The chosen table lives in zentrova; the read-out holds no table and no
    # dispatcher to choose one, so all it reads goes through zentrova's.
    assert chosen + b"\0" in module
    for name in {b"scalar", b"avx2", b"avx512", chosen}:
        assert name + b"\0" not in readout
    assert 3 * len(readout) < len(module)


def test_the_companions_refuse_a_table_of_another_build():
    # Each field on its own: the version alone wrong, then the size alone.
    script = textwrap.dedent(f"""
        import sys
        sys.path[:0] = {[os.path.dirname(zentrova.__file__), os.path.dirname(__file__)]!r}
        import zentrova, engine_table
        key = engine_table.NAME.decode()
        shared = engine_table.shared()
        real = shared.pop(key)
        version, size = engine_table.head(real).abi_version, engine_table.head(real).size
        for table in (None, (version + 97, size), (version, size + 8), "real"):
            if table == "real":
                shared[key] = real
            elif table:
                shared[key], kept = engine_table.fake_capsule(*table)
            try:
                import zentrova_readout
                print("imported", len(zentrova_readout.probabilities(zentrova.QuantumRegister(2))))
            except ImportError as e:
                print(type(e).__name__, e)
            try:
                import zentrova_gradients
                print("imported", zentrova_gradients.jacobian(1, [], [[(1.0, "Z", [0])]])[0])
            except ImportError as e:
                print(type(e).__name__, e)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    refusals = [f"ImportError {name} does not match the zentrova module it found: "
                "install both from the same build" for name in ("zentrova_readout",
                                                                "zentrova_gradients")]
    assert done.stdout.splitlines() == refusals * 3 + ["imported 4", "imported [1.]"], done.stderr
