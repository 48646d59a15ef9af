"""Noise channels on zentrova registers, for every plugin's worker: a
trajectory's branch at each channel, and density matrices as state vectors of
twice the qubits. A channel is ("channel", qubits, probabilities, matrices): a
mixture of unitaries with its probabilities, or Kraus operators
(probabilities None), each matrix 2^k x 2^k with qubits[0] the most
significant bit of its row index; gates are zentrova_program's operations.

Trajectories: a mixture of unitaries picks its branch from its probabilities
with one draw, without reading the state (an identity branch does nothing);
any other channel reads the probability of its Kraus branches,
p_k = <psi|K_k^dagger K_k|psi>, off the state (one pass a branch but the last,
whose probability is the rest; zentrova_program.expectations), draws one, and
applies K_k / sqrt(p_k), which leaves the state normalised. The draws come from the
task's seeded generator, so a seeded run repeats its trajectories.

Density matrices: rho on n qubits is the vector sum_ij rho_ij |i>|j> on 2n
qubits, row index i on qubits 0..n-1 and column index j on n..2n-1. A gate U
on qubits T is U on T and conj(U) on T + n; a channel is its superoperator
sum_k K_k (x) conj(K_k) on T and T + n, one matrix on 2k qubits. So the same
operations and kernels serve it. fused_density_ops does the same with every run
of one-qubit gates and channels on a qubit as one superoperator (a noisy layer's
gate and its channels one pass over the vector instead of three).
"""

import numpy as np
import zentrova_program

from .matrices import FIXED, rx, ry, rz

_RUN = zentrova_program.run
_RESET = (np.array([[1, 0], [0, 0]], dtype=np.complex128), np.array([[0, 1], [0, 0]], dtype=np.complex128))


def _pick(weights, r: float) -> int:
    """The first branch whose running sum of weights exceeds r."""
    total = 0.0
    for k, w in enumerate(weights):
        total += w
        if r < total:
            return k
    return max(k for k, w in enumerate(weights) if w > 0)


def branch_index(probs, draw) -> int:
    """The branch of a mixture drawn with draw(), as mixture_branch draws it."""
    return _pick(probs, draw() * sum(probs))


def mixture_branch(op, draw):
    """The operation of a mixture's branch drawn with draw(), without reading
    the state; None for a branch that is the identity."""
    _, qubits, probs, mats = op
    k = _pick(probs, draw() * sum(probs))
    m = mats[k]
    if np.array_equal(m, np.eye(m.shape[0])):
        return None
    return ("matrix", (qubits, m))


def trajectory_branch(reg, op, draw) -> None:
    """One branch of the Kraus channel op on reg, drawn with draw(): the
    probability of every branch but the last read off the normalised state,
    one pass each, the last's the rest."""
    _, qubits, _, mats = op
    weights = list(zentrova_program.expectations(
        reg, [[((m.conj().T @ m), qubits)] for m in mats[:-1]]))
    weights = np.maximum(np.asarray(weights + [1.0 - sum(weights)], dtype=float), 0.0)
    k = _pick(weights, draw() * float(weights.sum()))
    _RUN(reg, (("matrix", (qubits, mats[k] / np.sqrt(weights[k]))),))


def _conj_gate(name: str, args: tuple, n: int) -> tuple:
    """The gate conj(U) on the column half (every qubit moved up by n)."""
    if name in ("x", "h", "cnot", "swap", "ccnot", "csswap"):
        return name, tuple(q + n for q in args)
    if name in ("rx", "rz"):
        return name, (args[0] + n, -args[1])
    if name == "ry":
        return name, (args[0] + n, args[1])
    if name == "u":
        return name, (args[0] + n, *(complex(z).conjugate() for z in args[1:]))
    if name == "mcu":
        return name, ([c + n for c in args[0]], args[1] + n,
                      *(complex(z).conjugate() for z in args[2:]))
    targets, entries, *rest = args
    controls, values = rest or ((), ())
    return name, (tuple(q + n for q in targets), np.conj(np.asarray(entries, dtype=np.complex128)),
                  tuple(c + n for c in controls), values)


def density_ops(ops, n: int) -> list:
    """ops (gates and channels on n qubits) as operations on the 2n-qubit
    vector of the density matrix."""
    out = []
    sups: dict = {}  # a channel repeated (a noise model's) is one matrix
    for op in ops:
        if op[0] == "reset":  # |0><0| and |0><1|: whatever it read, the qubit is |0>
            op = ("channel", (op[1],), None, _RESET)
        if op[0] == "channel":
            _, qubits, probs, mats = op
            sup = sups.get(id(mats))
            if sup is None:
                weights = probs if probs is not None else (1.0,) * len(mats)
                sup = sups[id(mats)] = sum(w * np.kron(m, m.conj()) for w, m in zip(weights, mats))
            out.append(("matrix", (tuple(qubits) + tuple(q + n for q in qubits), sup.ravel())))
        else:
            out.append(op)
            out.append(_conj_gate(op[0], op[1], n))
    return out


def density_matrix(amps: np.ndarray, n: int) -> np.ndarray:
    """rho from the 2n-qubit vector: rho[i, j] is amplitude i + j * 2^n."""
    return amps.reshape(1 << n, 1 << n).T


_ROTATIONS = {"rx": rx, "ry": ry, "rz": rz}
_QUBIT_ARGS = {"x": 1, "h": 1, "u": 1, "rx": 1, "ry": 1, "rz": 1,
               "cnot": 2, "swap": 2, "ccnot": 3, "csswap": 3}


def _one_qubit(op):
    """(qubit, 2x2 matrix) of a gate on one qubit under no controls, else None."""
    name, args = op
    if name in ("x", "h"):
        return args[0], np.array(FIXED[name]).reshape(2, 2)
    if name in _ROTATIONS:
        return args[0], np.array(_ROTATIONS[name](args[1])).reshape(2, 2)
    if name == "u":
        return args[0], np.array(args[1:5], dtype=np.complex128).reshape(2, 2)
    if name in ("matrix", "diagonal") and len(args[0]) == 1 and not (len(args) > 2 and len(args[2])):
        e = np.asarray(args[1], dtype=np.complex128).ravel()
        return args[0][0], (np.diag(e) if name == "diagonal" else e.reshape(2, 2))
    return None


def _touched(op):
    """The qubits a gate acts on, controls included; None where unknown."""
    name, args = op
    if name in _QUBIT_ARGS:
        return args[: _QUBIT_ARGS[name]]
    if name == "mcu":
        return (*args[0], args[1])
    if name in ("matrix", "diagonal"):
        return (*args[0], *(args[2] if len(args) > 2 else ()))
    return None


def fused_density_ops(ops, n: int) -> list:
    """density_ops(ops, n), taking also ("superoperator", qubits, S), a channel given by its
    matrix S = sum_k K_k (x) conj(K_k) on the qubits and their column twins; with each run of one-qubit gates and channels on a qubit (a run
    waits past operations on other qubits, which commute with it) as one superoperator on
    the qubit and its column twin, the product formed in double arithmetic. A run of one
    gate stays the gate and its conjugate, with their own arithmetic."""
    out: list = []
    runs: dict = {}  # qubit -> [(op, superoperator)]
    sups: dict = {}

    def superoperator(op):
        _, qubits, probs, mats = op
        sup = sups.get(id(mats))
        if sup is None:
            weights = probs if probs is not None else (1.0,) * len(mats)
            sup = sups[id(mats)] = sum(w * np.kron(m, m.conj()) for w, m in zip(weights, mats))
        return sup

    def flush(q):
        run = runs.pop(q, None)
        if not run:
            return
        if len(run) == 1 and run[0][0][0] != "channel":
            out.extend(density_ops([run[0][0]], n))
            return
        total = run[0][1]
        for _, sup in run[1:]:
            total = sup @ total
        out.append(("matrix", ((q, q + n), total.ravel())))

    for op in ops:
        if op[0] == "reset":
            op = ("channel", (op[1],), None, _RESET)
        if op[0] == "superoperator":  # ("superoperator", qubits, matrix on 2k qubits)
            qubits = tuple(op[1])
            for q in qubits:
                flush(q)
            sup = np.asarray(op[2], dtype=np.complex128)
            out.append(("matrix", (qubits + tuple(q + n for q in qubits), sup.ravel())))
            continue
        if op[0] == "channel":
            if len(op[1]) == 1:
                runs.setdefault(op[1][0], []).append((op, superoperator(op)))
                continue
            for q in op[1]:
                flush(q)
            qubits = tuple(op[1])
            out.append(("matrix", (qubits + tuple(q + n for q in qubits), superoperator(op).ravel())))
            continue
        one = _one_qubit(op)
        if one is not None:
            q, m = one
            runs.setdefault(q, []).append((op, np.kron(m, m.conj())))
            continue
        touched = _touched(op)
        for q in (touched if touched is not None else list(runs)):
            flush(q)
        out.append(op)
        out.append(_conj_gate(op[0], op[1], n))
    for q in list(runs):
        flush(q)
    return out
