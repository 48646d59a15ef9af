"""Noise models: exact density matrices against qiskit.quantum_info's own
evolution under the same errors, trajectories and readout errors against the
exact distribution, and the noise a device's Target gives. The model is
duck-typed (to_dict(), as Aer's NoiseModel gives it), so no qiskit-aer."""

import concurrent.futures

import _zentrova_common.noise as common_noise
import numpy as np
import pytest
import zentrova_program
from qiskit import QuantumCircuit, transpile
from qiskit.circuit.library import PauliGate
from qiskit.providers.fake_provider import GenericBackendV2
from qiskit.quantum_info import (
    DensityMatrix,
    Kraus,
    SparsePauliOp,
    SuperOp,
    average_gate_fidelity,
    random_unitary,
)
from scipy.stats import chisquare

from zentrova_qiskit import UnsupportedInstruction, ZentrovaBackend, ZentrovaEstimator, ZentrovaSampler
from zentrova_qiskit import _worker
from zentrova_qiskit._translate import read
from zentrova_qiskit.backend import noisy_program
from zentrova_qiskit.noise import NoiseTable


def _q(branches, probs, ops, qubits=None):
    d = {"type": "qerror", "operations": ops, "instructions": branches, "probabilities": probs}
    if qubits:
        d["gate_qubits"] = qubits
    return d


def _one(name, q=0, **kw):
    return [{"name": name, "qubits": [q], **kw}]


class Model:
    """What the plugin reads of an Aer NoiseModel."""

    def __init__(self):
        g, lam = 0.25, 0.3
        damp = [np.array([[1, 0], [0, np.sqrt(1 - g)]]), np.array([[0, np.sqrt(g)], [0, 0]])]
        damp = [np.sqrt(1 - lam) * k for k in damp] + [np.sqrt(lam) * np.diag([1, -1]) @ k for k in damp]
        u = random_unitary(4, seed=3).data
        self.errors = [
            _q([_one("id"), _one("x"), _one("y"), _one("z")], [0.85, 0.05, 0.05, 0.05], ["h", "sx"]),
            _q([_one("kraus", params=damp)], [1.0], ["rx", "ry"]),
            _q([_one("id"), _one("z"), _one("reset")], [0.7, 0.1, 0.2], ["x"], [(1,)]),
            _q([[{"name": "pauli", "qubits": [0, 1], "params": ["IX"]}],
                [{"name": "pauli", "qubits": [0, 1], "params": ["ZY"]}],
                [{"name": "unitary", "qubits": [0, 1], "params": [u]}],
                [{"name": "cx", "qubits": [1, 0]}, *_one("reset", 1)]],
               [0.7, 0.1, 0.1, 0.1], ["cx", "rzz", "unitary"]),
            _q([_one("id"), _one("x")], [0.9, 0.1], ["measure"]),
            {"type": "roerror", "operations": ["measure"], "probabilities": [[0.95, 0.05], [0.1, 0.9]]},
            {"type": "roerror", "operations": ["measure"], "probabilities": [[0.8, 0.2], [0.3, 0.7]],
             "gate_qubits": [(0,)]},
        ]

    def to_dict(self):
        return {"errors": self.errors}


def _superop(error) -> SuperOp:
    """An error as qiskit builds its channel: each branch a circuit of its instructions."""
    k = 1 + max(q for b in error["instructions"] for i in b for q in i["qubits"])
    total = 0
    for p, branch in zip(error["probabilities"], error["instructions"]):
        qc = QuantumCircuit(k)
        for i in branch:
            if i["name"] == "kraus":
                qc.append(Kraus(i["params"]).to_instruction(), i["qubits"])
            elif i["name"] == "pauli":
                qc.append(PauliGate(i["params"][0]), i["qubits"])
            elif i["name"] == "unitary":
                qc.unitary(i["params"][0], i["qubits"])
            else:
                getattr(qc, i["name"])(*i["qubits"])
        total = total + p * SuperOp(qc)
    return total


def reference(qc: QuantumCircuit, model: Model) -> DensityMatrix:
    """rho of qc (no measurements) under the model, by qiskit.quantum_info."""
    default, local = {}, {}
    for e in model.errors:
        if e["type"] == "qerror":
            for name in e["operations"]:
                if "gate_qubits" in e:
                    for qubits in e["gate_qubits"]:
                        local[(name, tuple(qubits))] = _superop(e)
                else:
                    default[name] = _superop(e)
    rho = DensityMatrix.from_label("0" * qc.num_qubits)
    for inst in qc.data:
        qubits = [qc.find_bit(q).index for q in inst.qubits]
        sub = QuantumCircuit(len(qubits))
        sub.append(inst.operation, range(len(qubits)))
        rho = rho.evolve(SuperOp(sub), qargs=qubits)
        error = local.get((inst.name, tuple(qubits)), default.get(inst.name))
        if error is not None:
            rho = rho.evolve(error, qargs=qubits)
    return rho


def random_noisy(n, depth, rng) -> QuantumCircuit:
    qc = QuantumCircuit(n)
    for q in range(n):
        qc.h(q)
    for _ in range(depth):
        a, b = (int(v) for v in rng.permutation(n)[:2])
        kind = int(rng.integers(9))
        if kind == 0:
            qc.sx(a)
        elif kind == 1:
            qc.x(a)
        elif kind == 2:
            getattr(qc, str(rng.choice(["rx", "ry"])))(float(rng.uniform(-3, 3)), a)
        elif kind in (3, 4):
            qc.cx(a, b)
        elif kind == 5:
            qc.cz(a, b)
        elif kind == 6:
            qc.rzz(float(rng.uniform(-3, 3)), a, b)
        elif kind == 7:
            qc.unitary(random_unitary(4, seed=int(rng.integers(99))), [a, b])
        else:
            qc.reset(a)
    return qc


def test_density_matrices_and_expectations_match_qiskit():
    model = Model()
    table = NoiseTable.from_model(model)
    rng = np.random.default_rng(37)
    for trial in range(12):
        n = 2 + trial % 3
        qc = random_noisy(n, 14, rng)
        _, gates, _ = noisy_program(read(qc, table), "density_matrix")
        rho = common_noise.density_matrix(_worker.density_vector(n, gates), n)
        ref = reference(qc, model)
        assert np.abs(rho - ref.data).max() < 1e-10, trial
        obs = SparsePauliOp(["".join(rng.choice(list("IXYZ"), n)) for _ in range(4)], rng.normal(size=4))
        ev = ZentrovaEstimator(noise_model=model).run([(qc, obs)]).result()[0].data.evs
        assert abs(ev - ref.expectation_value(obs).real) < 1e-10, trial


def _exact(qc: QuantumCircuit, model: Model) -> np.ndarray:
    """The distribution of measure_all's outcomes: the measurement's own error
    before it, then each qubit's readout error."""
    n = qc.num_qubits
    error = _superop(next(e for e in model.errors if e["operations"] == ["measure"]
                          and e["type"] == "qerror"))
    rho = reference(qc, model)
    for q in range(n):
        rho = rho.evolve(error, qargs=[q])
    p = rho.probabilities().reshape((2,) * n)  # axis n-1-q is qubit q
    for q in range(n):
        ro = np.asarray(model.errors[-1 if q == 0 else -2]["probabilities"])
        p = np.moveaxis(np.tensordot(ro.T, p, axes=([1], [n - 1 - q])), 0, n - 1 - q)
    return p.ravel()


def _agrees(counts: dict, exact: np.ndarray, shots: int) -> bool:
    n = int(np.log2(len(exact)))
    observed = np.array([counts.get(format(i, f"0{n}b"), 0) for i in range(len(exact))])
    return chisquare(observed, exact * shots).pvalue > 1e-4


def test_trajectories_and_readout_follow_the_exact_distribution(monkeypatch):
    model = Model()
    qc = QuantumCircuit(3)
    qc.h(0)
    qc.rx(1.1, 1)
    qc.cx(0, 2)
    qc.ry(0.4, 1)
    qc.x(1)
    qc.ry(2.0, 2)
    qc.rx(0.3, 2)
    qc.rx(2.3, 1)
    qc.cx(1, 2)
    exact = _exact(qc, model)
    measured = qc.measure_all(inplace=False)
    shots = 4000

    def counts(method="statevector", seed=11):
        return ZentrovaBackend(noise_model=model, method=method).run(
            measured, shots=shots, seed_simulator=seed).result().get_counts()
    assert _agrees(counts(), exact, shots)
    assert _agrees(counts("density_matrix"), exact, shots)
    sampled = ZentrovaSampler(noise_model=model, seed=4).run([(measured, None, shots)])
    assert _agrees(sampled.result()[0].data.meas.get_counts(), exact, shots)
    # Seeds repeat, on an executor too (each circuit one task, its seed its own).
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        again = ZentrovaBackend(noise_model=model, executor=pool).run(
            [measured, measured], shots=shots, seed_simulator=11).result()
    assert again.get_counts(0) == counts() and again.get_counts(1) != counts()

    def plant(wrong_probability: bool):
        def branch(reg, op, draw):  # trajectory_branch, a fault planted
            _, qubits, _, mats = op
            w = list(zentrova_program.expectations(reg, [[(m.conj().T @ m, qubits)] for m in mats[:-1]]))
            w = np.maximum(np.asarray(w + [1.0 - sum(w)]), 0.0)
            # every possible branch drawn alike; or the right one, left unnormalised
            k = common_noise.branch_index((w > 1e-12) * 1.0 if wrong_probability else w, draw)
            zentrova_program.run(reg, (("matrix", (qubits, mats[k] / (np.sqrt(w[k]) if wrong_probability else 1.0))),))
        return branch
    for wrong_probability in (True, False):
        monkeypatch.setattr(common_noise, "trajectory_branch", plant(wrong_probability))
        assert not _agrees(counts(), exact, shots), wrong_probability
        monkeypatch.undo()
    assert _agrees(counts(), exact, shots)


def test_refusals_and_shot_by_shot():
    mid = QuantumCircuit(1, 2)
    mid.h(0)
    mid.measure(0, 0)
    mid.h(0)
    mid.measure(0, 1)
    with pytest.raises(UnsupportedInstruction, match="end"):
        ZentrovaBackend(method="density_matrix").run(mid)
    with pytest.raises(ValueError, match="method"):
        ZentrovaBackend(method="mps")
    with pytest.raises(TypeError, match="NoiseModel"):
        ZentrovaBackend(noise_model=object())
    plain = QuantumCircuit(1)
    plain.h(0)
    with pytest.raises(ValueError, match="noise"):
        ZentrovaBackend(noise_model=Model()).run(plain, save_statevector=True)
    # under noise, shot by shot: a mid-circuit measurement, a condition, a reset
    cond = QuantumCircuit(2, 2)
    cond.h(0)
    cond.measure(0, 0)
    with cond.if_test((cond.clbits[0], 1)):
        cond.x(1)
    cond.reset(0)
    cond.measure([0, 1], [0, 1])
    counts = ZentrovaBackend(noise_model=Model()).run(cond, shots=500, seed_simulator=2).result().get_counts()
    assert sum(counts.values()) == 500 and len(counts) == 4


def test_from_backend():
    device = GenericBackendV2(num_qubits=3, seed=5)
    backend = ZentrovaBackend.from_backend(device)
    table, target = backend.noise_model, device.target
    both = 0
    for name in ("sx", "x", "cx"):
        for qargs, ip in target[name].items():
            channels = table.local[(name, tuple(qargs))]
            total = Kraus(channels[0][2])
            for ch in channels[1:]:
                total = total.compose(Kraus(ch[2]))
            # the gate's error is the average infidelity of its noise, as Aer makes it,
            # unless relaxation alone is more (then there is no depolarizing part)
            infidelity = 1 - average_gate_fidelity(total)
            if len(channels) == 2:
                assert abs(infidelity - ip.error) < 1e-9, (name, qargs)
                both += 1
            else:
                assert infidelity > ip.error, (name, qargs)
    assert both
    for q in range(3):
        e = target["measure"][(q,)].error
        assert table.readout[q] == (1 - e, 1 - e)
    # relaxation over a gate's time t: the excited state decays as exp(-t/T1), coherence as exp(-t/T2)
    props, t = target.qubit_properties[0], target["x"][(0,)].duration
    rho = DensityMatrix(np.full((2, 2), 0.5)).evolve(Kraus(table.local[("x", (0,))][-1][2]))
    assert abs(rho.data[1, 1] - 0.5 * np.exp(-t / props.t1)) < 1e-12
    assert abs(abs(rho.data[0, 1]) - 0.5 * np.exp(-t / min(props.t2, 2 * props.t1))) < 1e-12
    qc = QuantumCircuit(2)
    qc.h(0)
    qc.cx(0, 1)
    qc.measure_all()
    counts = backend.run(transpile(qc, device), shots=2000, seed_simulator=1).result().get_counts()
    assert 0 < counts.get("01", 0) + counts.get("10", 0) < 400
