"""zentrova_program against the exact model: random programs of every operation (the register's
gates, diagonals and matrices on several qubits under controls of both values) give the model's
bits; above one tile, where the register records its gates, a dense model agrees; refused
programs leave the state alone; and the interpreter lock is released while a program runs. The
scalar-kernel build runs this file too."""

import random
import threading

import numpy as np
import pytest

import zentrova
import zentrova_program as zp
import zentrova_readout as zr
from model import Model, cadd, cmul

QR = zentrova.QuantumRegister
ONE = 1 + 0j


class ProgramModel(Model):
    """The module's model with the program's operations, each written in the engine's order:
    row r of a matrix is m[r][0]*a_0 + m[r][1]*a_1 + ..., and a diagonal touches only the
    amplitudes whose entry is not exactly 1."""

    def _groups(self, targets, controls, values):
        k = len(targets)
        for i in range(1 << self.n):
            if any((i >> t) & 1 for t in targets):
                continue
            if any(((i >> c) & 1) != v for c, v in zip(controls, values)):
                continue
            # targets[0] is the most significant bit of a row index.
            yield [i | sum(1 << t for j, t in enumerate(targets) if (r >> (k - 1 - j)) & 1)
                   for r in range(1 << k)]

    def matrix(self, targets, entries, controls=(), values=()):
        size = 1 << len(targets)
        m = [(z.real, z.imag) for z in entries]
        for idx in self._groups(targets, controls, values):
            a = [self.amps[i] for i in idx]
            for r, i in enumerate(idx):
                acc = cmul(m[r * size], a[0])
                for c in range(1, size):
                    acc = cadd(acc, cmul(m[r * size + c], a[c]))
                self.amps[i] = acc

    def diagonal(self, targets, entries, controls=(), values=()):
        for idx in self._groups(targets, controls, values):
            for i, z in zip(idx, entries):
                if z != ONE:
                    self.amps[i] = cmul((z.real, z.imag), self.amps[i])


def amplitudes(reg) -> np.ndarray:
    return np.frombuffer(zr.amplitudes(reg), dtype=np.complex128).copy()


def random_program(rng: random.Random, n: int, count: int) -> list:
    def z():
        return complex(rng.uniform(-1, 1), rng.uniform(-1, 1))

    ops = []
    for _ in range(count):
        qs = rng.sample(range(n), n)
        kind = rng.choice(["x", "h", "u", "rx", "ry", "rz", "cnot", "swap", "ccnot", "csswap",
                           "mcu", "diagonal", "matrix", "matrix", "diagonal"])
        fixed = {"cnot": 2, "swap": 2, "ccnot": 3, "csswap": 3}.get(kind, 1)
        if fixed > n:
            continue
        if kind in ("x", "h", "cnot", "swap", "ccnot", "csswap"):
            ops.append((kind, tuple(qs[:fixed])))
        elif kind in ("rx", "ry", "rz"):
            ops.append((kind, (qs[0], rng.uniform(-7, 7))))
        elif kind == "u":
            ops.append((kind, (qs[0], z(), z(), z(), z())))
        elif kind == "mcu":
            ops.append((kind, (qs[1:1 + rng.randrange(n)], qs[0], z(), z(), z(), z())))
        else:
            k = rng.randint(0 if kind == "diagonal" else 1, min(n, 4))
            c = rng.randrange(n - k + 1)
            size = (1 << k) ** (2 if kind == "matrix" else 1)
            entries = [z() if rng.random() < 0.7 else ONE for _ in range(size)]
            args = (qs[:k], entries)
            if c or rng.random() < 0.5:
                args += (qs[k:k + c], [rng.randrange(2) for _ in range(c)])
            ops.append((kind, args))
    return ops


def test_programs_give_the_models_bits():
    rng = random.Random(7)
    for trial in range(60):
        n = 1 + trial % 6
        ops = random_program(rng, n, 12)
        model = ProgramModel(n)
        for name, args in ops:
            getattr(model, name)(*args)
        reg = zp.run(QR(n), ops)
        want = np.array([complex(*a) for a in model.amps])
        assert amplitudes(reg).view(np.uint64).tolist() == want.view(np.uint64).tolist(), ops


def test_a_matrix_on_one_qubit_is_u_and_the_gates_are_the_modules_calls():
    rng = random.Random(3)
    ops = [op for op in random_program(rng, 5, 60) if op[0] not in ("matrix", "diagonal")]
    one_by_one = QR(5)
    for name, args in ops:
        getattr(one_by_one, name)(*args)
    m = (0.6 + 0.1j, -0.2 + 0.7j, 0.3 - 0.5j, 0.1 + 0.9j)
    one_by_one.u(2, *m)
    whole = zp.run(QR(5), ops + [("matrix", ([2], m))])
    assert amplitudes(whole).view(np.uint64).tolist() == amplitudes(one_by_one).view(np.uint64).tolist()


def as_matrix(name, args):
    """h, rz and cnot as the matrix operations they are."""
    if name == "h":
        return [args[0]], np.array([[1, 1], [1, -1]]) / np.sqrt(2), (), ()
    if name == "rz":
        return [args[0]], np.diag(np.exp([-0.5j * args[1], 0.5j * args[1]])), (), ()
    if name == "cnot":
        return [args[1]], np.array([[0, 1], [1, 0]]), [args[0]], [1]
    entries = np.asarray(args[1], dtype=complex)
    k = len(args[0])
    m = entries.reshape(1 << k, 1 << k) if name == "matrix" else np.diag(entries)
    return args[0], m, *(args[2:] if len(args) == 4 else ((), ()))


def apply_dense(psi: np.ndarray, n: int, targets, m, controls, values) -> np.ndarray:
    t = psi.reshape([2] * n).copy()  # axis j is qubit n-1-j
    sel = [slice(None)] * n
    for c, v in zip(controls, values):
        sel[n - 1 - c] = v
    sub = t[tuple(sel)]
    free = [q for q in reversed(range(n)) if q not in controls]  # sub's axes, in order
    axes = [free.index(q) for q in targets]
    moved = np.moveaxis(sub, axes, range(len(targets)))
    out = (m @ moved.reshape(m.shape[0], -1)).reshape(moved.shape)
    t[tuple(sel)] = np.moveaxis(out, range(len(targets)), axes)
    return t.reshape(-1)


def test_large_registers_settle_recorded_gates_before_a_matrix():
    # Above one tile the register records its gates and applies them in passes, diagonals'
    # entries among them; a matrix must meet the state after every gate before it.
    n = 17
    rng = random.Random(11)
    ops = []
    for layer in range(3):
        u = np.linalg.qr(np.random.default_rng(layer).normal(size=(8, 8)))[0].astype(complex)
        ops += [("h", (q,)) for q in range(n)]
        ops += [("rz", (q, 0.3 * q + layer)) for q in range(0, n, 2)]
        ops.append(("matrix", (rng.sample(range(n), 3), u.ravel())))
        ops.append(("diagonal", ([n - 1, 0], [ONE, 1j, -1j, -ONE], [5], [0])))
        ops.append(("diagonal", (rng.sample(range(n), 3), np.exp(1j * np.arange(8)))))
        ops.append(("matrix", ([16], [0, 1j, 1j, 0], [3, 15], [1, 0])))
        ops += [("cnot", (q, q + 1)) for q in range(n - 1)]
    got = amplitudes(zp.run(QR(n), ops))
    psi = np.zeros(1 << n, dtype=complex)
    psi[0] = 1
    for name, args in ops:
        psi = apply_dense(psi, n, *as_matrix(name, args))
    assert np.allclose(got, psi, atol=1e-12)


@pytest.mark.parametrize("ops, error, text", [
    ([("x", (3,))], ValueError, "operation 0: qubit 3 is out of range for a register of 3 qubits"),
    ([("h", (0,)), ("matrix", ([1, 1], [1] * 16))], ValueError, "operation 1: qubit 1 is named twice"),
    ([("diagonal", ([0], [1, 1], [0], [1]))], ValueError, "operation 0: qubit 0 is named twice"),
    ([("matrix", ([0, 1], [1] * 15))], ValueError, "operation 0: it needs 16 entries, not 15"),
    ([("matrix", (list(range(11)), []))], ValueError,
     "operation 0: a matrix on 11 qubits is more than the 10 an operation may act on"),
    ([("diagonal", ([0], [1, 1], [1], [1, 0]))], ValueError, "controls and values must have the same length"),
    ([("cz", (0, 1))], ValueError, "operation 0: no operation is named 'cz'"),
    ([("cnot", (0,))], TypeError, "operation 0: cnot takes 2 arguments, not 1"),
    ([("rx", (0, "a"))], TypeError, "must be real number"),
])
def test_refused_programs_leave_the_state_alone(ops, error, text):
    reg = QR(3).h(0).cnot(0, 1)
    before = amplitudes(reg)
    with pytest.raises(error, match=text.replace("(", r"\(").replace(")", r"\)")):
        zp.run(reg, ops)
    assert amplitudes(reg).tobytes() == before.tobytes()
    reg.x(2)  # still usable


def test_the_interpreter_lock_is_released_while_a_program_runs():
    reg = QR(18)
    m = np.linalg.qr(np.random.default_rng(0).normal(size=(16, 16)))[0].astype(complex).ravel()
    ops = [("matrix", ([q, q + 1, q + 2, q + 3], m)) for q in range(0, 14, 2)] * 3
    done = threading.Event()
    worker = threading.Thread(target=lambda: (zp.run(reg, ops), done.set()))
    worker.start()
    spins = 0
    while not done.is_set():
        spins += 1
    worker.join()
    # Held, the lock would give this thread a few switch intervals at most.
    assert spins > 10_000


def test_fusion_keeps_the_state_to_within_rounding():
    rng = random.Random(23)
    for n in (1, 3, 6):
        ops = random_program(rng, n, 80)
        plain = amplitudes(zp.run(QR(n), ops))
        fused = amplitudes(zp.run(QR(n), ops, fuse=True))
        assert np.abs(plain - fused).max() < 1e-12 * max(1.0, np.abs(plain).max())


def test_expectations_are_the_dense_models():
    from test_gradients import dense  # the observables as full matrices
    rng = random.Random(29)
    for n in (1, 2, 4, 7):
        reg = zp.run(QR(n), [op for op in random_program(rng, n, 30) if op[0] != "diagonal"])
        psi = amplitudes(reg)
        observables = []
        for _ in range(4):
            terms = [(rng.uniform(-2, 2), "".join(rng.choice("IXYZ") for _ in range(m)),
                      rng.sample(range(n), m)) for m in range(1, n + 1)]
            k = rng.randint(1, min(n, 3))
            h = np.array([[complex(rng.uniform(-1, 1), rng.uniform(-1, 1)) for _ in range(1 << k)]
                          for _ in range(1 << k)])
            observables.append(terms + [((h + h.conj().T).tolist(), rng.sample(range(n), k))])
        got = zp.expectations(reg, observables)
        want = [np.vdot(psi, dense(n, o) @ psi).real for o in observables]
        scale = np.vdot(psi, psi).real
        assert np.allclose(got, want, atol=1e-12 * scale * 20), (got, want)
        assert amplitudes(reg).tobytes() == psi.tobytes()
    with pytest.raises(ValueError, match="a Pauli word acts on a qubit not below 2"):
        zp.expectations(QR(2), [[(1.0, "Z", [2])]])


def test_any_number_of_threads_gives_the_same_bits():
    # 17 qubits: the register records its gates and applies them tile by tile, the tiles shared
    # out among the threads; gathered tiles (gates on the top qubits) included.
    rng = random.Random(31)
    n = 17
    ops = [op for op in random_program(rng, n, 120) if op[0] != "matrix" or len(op[1][0]) == 1]
    ops += [("h", (16,)), ("cnot", (16, 15)), ("rz", (16, 0.3))]
    results = [amplitudes(zp.run(QR(n), ops, threads=t)).tobytes() for t in (1, 2, 3)]
    assert results[0] == results[1] == results[2]
    with pytest.raises(ValueError, match="threads must be an int from 1 to 1024"):
        zp.run(QR(1), [], threads=0)
