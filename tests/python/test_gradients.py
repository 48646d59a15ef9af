"""zentrova_gradients against one model: a numpy state vector for the same gate tuples, its
expectation values exact and its Jacobian by central differences, on random circuits of every
gate name (controls, shared and fixed columns included); the recorded bits of one Jacobian (the
scalar-kernel build runs this file too); and the refusals."""

import hashlib
import math
import random
import re
from pathlib import Path

import numpy as np
import pytest

import zentrova_gradients as zg

PAULI = {
    "I": np.eye(2),
    "X": np.array([[0, 1], [1, 0]]),
    "Y": np.array([[0, -1j], [1j, 0]]),
    "Z": np.diag([1, -1]),
}


def matrix_of(name, param):
    if name in ("rx", "ry", "rz"):
        return np.cos(param / 2) * np.eye(2) - 1j * np.sin(param / 2) * PAULI[name[1].upper()]
    if name == "phase":
        return np.diag([1, np.exp(1j * param)])
    if name in ("u", "mcu"):
        return np.asarray(param, dtype=complex)
    fixed = {"x": PAULI["X"], "h": np.array([[1, 1], [1, -1]]) / math.sqrt(2)}
    return fixed.get(name, PAULI["X"])  # cnot, ccnot: an X under controls


def apply(state, n, gate):
    """The gate on a state of n qubits, qubit 0 the least significant bit of an index."""
    name, wires = gate[0], gate[1]
    wires = [wires] if isinstance(wires, int) else list(wires)
    psi = state.reshape([2] * n)  # axis k holds qubit n-1-k
    axis = {q: n - 1 - q for q in range(n)}
    if name in ("swap", "csswap"):
        *controls, a, b = wires
        idx = [slice(None)] * n
        for c in controls:
            idx[axis[c]] = 1
        sub = psi[tuple(idx)].copy()
        ax = [axis[q] - sum(axis[c] < axis[q] for c in controls) for q in (a, b)]
        psi = psi.copy()
        psi[tuple(idx)] = np.swapaxes(sub, *ax)
        return psi.reshape(-1)
    *controls, target = wires
    m = matrix_of(name, gate[2] if len(gate) > 2 else None)
    idx = [slice(None)] * n
    for c in controls:
        idx[axis[c]] = 1
    psi = psi.copy()
    sub = psi[tuple(idx)]
    t = axis[target] - sum(axis[c] < axis[target] for c in controls)
    psi[tuple(idx)] = np.moveaxis(np.tensordot(m, sub, axes=([1], [t])), 0, t)
    return psi.reshape(-1)


def dense(n, observable):
    out = np.zeros((2**n, 2**n), dtype=complex)
    for term in observable:
        if len(term) == 3:
            c, word, wires = term
            letters = dict(zip(wires, word))
            m = np.array([[c]], dtype=complex)
            for q in range(n - 1, -1, -1):  # the most significant qubit first
                m = np.kron(m, PAULI[letters.get(q, "I")])
        else:
            matrix, wires = term
            k = len(wires)
            # Embed: the matrix's row bits (wires[0] first) onto the qubits, identity elsewhere.
            m = np.zeros((2**n, 2**n), dtype=complex)
            for r in range(2**n):
                for col in range(2**n):
                    rest = sum(1 << q for q in wires)
                    if r & ~rest != col & ~rest:
                        continue
                    rs = sum(((r >> q) & 1) << (k - 1 - b) for b, q in enumerate(wires))
                    cs = sum(((col >> q) & 1) << (k - 1 - b) for b, q in enumerate(wires))
                    m[r, col] = matrix[rs][cs]
        out += m
    return out


def model_values(n, gates, observables):
    state = np.zeros(2**n, dtype=complex)
    state[0] = 1
    for g in gates:
        state = apply(state, n, g)
    return np.array([np.vdot(state, dense(n, o) @ state).real for o in observables])


def random_case(rng, n):
    gates, params = [], []
    for _ in range(14):
        name = rng.choice(["h", "x", "rx", "ry", "rz", "phase", "u", "cnot", "swap",
                           "ccnot", "csswap", "mcu"])
        size = {"cnot": 2, "swap": 2, "ccnot": 3, "csswap": 3, "mcu": 2}.get(name, 1)
        if name in ("rx", "ry", "rz", "phase") and n > 1 and rng.random() < 0.4:
            size = 2  # a control
        if size > n:
            continue
        wires = rng.sample(range(n), size)
        if name in ("u", "mcu"):
            a, b = rng.uniform(-3, 3), rng.uniform(-3, 3)
            gates.append((name, wires, matrix_of("ry", a) @ matrix_of("rz", b)))
        elif name in ("rx", "ry", "rz", "phase"):
            column = rng.choice([None, 0, 1, 2, 3])  # shared, fixed
            gates.append((name, wires, rng.uniform(-3, 3), column))
            params.append(column)
        else:
            gates.append((name, wires))
    k = rng.randint(1, min(n, 3))
    herm = np.array([[rng.uniform(-1, 1) + 1j * rng.uniform(-1, 1) for _ in range(2**k)]
                     for _ in range(2**k)])
    herm = herm + herm.conj().T
    words = [(rng.uniform(-2, 2), "".join(rng.choice("IXYZ") for _ in range(m)),
              rng.sample(range(n), m)) for m in (1, min(n, 2), n)]
    return gates, [words, [(herm, rng.sample(range(n), k)), words[0]]]


@pytest.mark.parametrize("n", [1, 2, 3, 4])
def test_values_and_jacobian_match_the_model(n):
    rng = random.Random(n)
    for _ in range(8):
        gates, observables = random_case(rng, n)
        values, jac = zg.jacobian(n, gates, observables)
        assert np.allclose(values, model_values(n, gates, observables), atol=1e-12)
        for c in range(jac.shape[1]):
            shifted = []
            for h in (1e-6, -1e-6):
                moved = [g[:2] + (g[2] + h, g[3]) if len(g) == 4 and g[3] == c else g
                         for g in gates]
                shifted.append(model_values(n, moved, observables))
            assert np.allclose(jac[:, c], (shifted[0] - shifted[1]) / 2e-6, atol=1e-7)


def test_columns_count_the_angles_given_none():
    # Three angles without a column: parameters 0, 1, 2; one with None is fixed.
    gates = [("rx", 0, 0.1), ("ry", 0, 0.2, None), ("rz", 0, 0.3), ("phase", [1, 0], 0.4)]
    values, jac = zg.jacobian(2, gates, [[(1.0, "Y", [0])]])
    assert jac.shape == (1, 3) and jac.dtype == np.float64 and values.shape == (1,)


def test_the_recorded_bits_on_every_kernel_set():
    gates, observables = random_case(random.Random(99), 5)
    # numpy's sine may round differently on another processor: no matrices made with it.
    gates = [g for g in gates if g[0] not in ("u", "mcu")]
    values, jac = zg.jacobian(5, gates, observables)
    digest = hashlib.sha256(values.tobytes() + jac.tobytes()).hexdigest()[:16]
    assert digest == RECORDED_DIGEST


RECORDED_DIGEST = "2aca5ac930a696d0"


@pytest.mark.parametrize(
    "args, error, text",
    [
        ((2, [("rx", 5, 0.1)], [[(1.0, "Z", [0])]]), ValueError, "gate 0: qubits must be distinct"),
        ((2, [("cnot", [0, 0])], [[(1.0, "Z", [0])]]), ValueError, "distinct"),
        ((2, [("rot", 0, 0.1)], []), ValueError, "whose name is one of"),
        ((2, [("rx", 0)], []), ValueError, "gate 0 (rx): takes 3 to 4 items, not 2"),
        ((2, [("rx", 0, 0.1, -1)], []), ValueError, "a column must be None or at least 0"),
        ((2, [("u", 0, [[1, 0], [1]])], []), ValueError, "the matrix must be square"),
        ((2, [], [[(1.0, "ZZ", [0])]]), ValueError, "the word has 2 letters for 1 wires"),
        ((2, [], [[(1.0, "Q", [0])]]), ValueError, "I, X, Y and Z"),
        ((2, [], [[(1.0, "Z", [3])]]), ValueError, "observable 0: a Pauli word acts on a qubit"),
        ((2, [], [[(np.eye(4), [0])]]), ValueError, "the matrix must have 2 rows, not 4"),
        ((2, 5, []), TypeError, "gates must be a sequence"),
        ((2, [], [[(1.0, 3, [0])]]), TypeError, "the word must be a str"),
    ],
)
def test_refusals_name_the_gate_or_term(args, error, text):
    with pytest.raises(error) as caught:
        zg.jacobian(*args)
    assert text in str(caught.value)


def test_states_that_do_not_fit_are_refused_before_the_forward_pass():
    with pytest.raises(BaseException) as caught:
        zg.jacobian(44, [("rx", 0, 0.1)], [[(1.0, "Z", [0])], [(1.0, "X", [1])]])
    assert type(caught.value).__name__ == "PanicException"
    assert "the adjoint gradient's 3 states of 44 qubits" in str(caught.value)


def test_readme_snippet():
    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text()
    snippet = re.search(r"^## Gradients$.*?^```py\n(.*?)^```$", readme, re.M | re.S)[1]
    scope = {}
    exec(snippet, scope)
    assert scope["values"].shape == (2,) and scope["jac"].shape == (2, 2)


def test_trainable_matrices_on_several_wires_follow_their_generator():
    # U(p) = exp(i p G) on 2 or 3 wires (G a Pauli sum with words of several Y), between fixed
    # rotations; its column against central differences of the dense model, with the Jacobian
    # of an ordinary rotation sharing nothing.
    rng = random.Random(17)
    n = 4
    for trial in range(6):
        k = 2 + trial % 2
        wires = rng.sample(range(n), k)
        generator = [(rng.uniform(-1, 1), "".join(rng.choice("XYZ") for _ in range(k)), wires)
                     for _ in range(3)] + [(0.4, "Y" * k, wires)]
        g_dense = sum(c * np.kron(*(PAULI[x] for x in w)) if k == 2 else
                      c * np.kron(PAULI[w[0]], np.kron(PAULI[w[1]], PAULI[w[2]]))
                      for c, w, _ in generator)
        p = rng.uniform(-2, 2)
        vals, vecs = np.linalg.eigh(g_dense)

        def unitary(p):
            return (vecs * np.exp(1j * p * vals)) @ vecs.conj().T

        def circuit(p, q):
            gates = [("ry", [w], 0.3 + w, None) for w in range(n)] + [("cnot", [0, 1]), ("rx", [2], q, 0)]
            return gates + [("matrix", wires, unitary(p).tolist(), 1, generator),
                            ("ry", [wires[0]], 0.7, None)]

        observables = [[(1.0, "ZY", [0, 3]), (0.5, "X", [wires[1]])]]
        _, jac = zg.jacobian(n, circuit(p, 0.4), observables)

        def value(p, q):
            state = np.zeros(2**n, dtype=complex)
            state[0] = 1
            for g in circuit(p, q):
                if g[0] == "matrix":
                    state = apply_dense(state, n, g[1], np.asarray(g[2]))
                else:
                    state = apply(state, n, g[:3])
            return np.vdot(state, dense(n, observables[0]) @ state).real

        h = 1e-6
        assert abs(jac[0, 1] - (value(p + h, 0.4) - value(p - h, 0.4)) / (2 * h)) < 1e-7
        assert abs(jac[0, 0] - (value(p, 0.4 + h) - value(p, 0.4 - h)) / (2 * h)) < 1e-7


def apply_dense(state, n, wires, m):
    """A matrix on `wires` (wires[0] its row index's most significant bit)."""
    psi = state.reshape([2] * n)
    axes = [n - 1 - q for q in wires]
    k = len(wires)
    moved = np.moveaxis(psi, axes, range(k))
    out = (m @ moved.reshape(2**k, -1)).reshape(moved.shape)
    return np.moveaxis(out, range(k), axes).reshape(-1)


def test_threads_give_the_same_jacobian():
    # 17 qubits: the states record their gates, and the passes share tiles out among threads.
    n = 17
    gates = [("h", [q]) for q in range(n)] + [("cnot", [q, q + 1]) for q in range(n - 1)]
    gates += [("ry", [q], 0.1 * q + 0.2) for q in range(0, n, 3)] + [("rz", [16], 0.7)]
    observables = [[(1.0, "ZY", [0, 16]), (0.3, "X", [8])]]
    one = zg.jacobian(n, gates, observables)
    two = zg.jacobian(n, gates, observables, threads=2)
    assert all(np.asarray(a).tobytes() == np.asarray(b).tobytes() for a, b in zip(one, two))
    with pytest.raises(ValueError, match="threads must be an int from 1 to 1024"):
        zg.jacobian(1, [], [], threads=0)
