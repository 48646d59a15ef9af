"""Shared by the Qiskit plugin's tests: random circuits over every kind of
gate the plugin reads (its own, matrices under controls, gates replaced by
their definitions), and executors to run them on."""

import concurrent.futures
import multiprocessing

import numpy as np
import pytest
from qiskit import QuantumCircuit
from qiskit.circuit import Parameter
from qiskit.circuit import library as lib
from qiskit.quantum_info import SparsePauliOp, random_unitary

ONE = ["h", "x", "y", "z", "s", "sdg", "t", "tdg", "sx", "sxdg"]
ANGLE1 = ["rx", "ry", "rz", "p"]
TWO = ["cx", "cy", "cz", "ch", "swap", "cs", "csx", "iswap", "ecr", "dcx"]
ANGLE2 = ["crx", "cry", "crz", "cp", "rzz", "rxx"]


def random_circuit(n: int, depth: int, rng: np.random.Generator, params=None) -> QuantumCircuit:
    """A circuit of `depth` random instructions on n >= 3 qubits. With params
    (a list of Parameters), angles are drawn from them, sometimes in an
    expression."""
    qc = QuantumCircuit(n)
    qc.global_phase = rng.uniform(0, 6)

    def angle():
        if params and rng.random() < 0.6:
            p = params[rng.integers(len(params))]
            return p if rng.random() < 0.5 else 2 * p - 0.3
        return float(rng.uniform(-7, 7))

    for _ in range(depth):
        q = [int(v) for v in rng.permutation(n)]
        kind = int(rng.integers(13))
        if kind == 0:
            getattr(qc, str(rng.choice(ONE)))(q[0])
        elif kind == 1:
            getattr(qc, str(rng.choice(ANGLE1)))(angle(), q[0])
        elif kind == 2:
            getattr(qc, str(rng.choice(TWO)))(q[0], q[1])
        elif kind == 3:
            getattr(qc, str(rng.choice(ANGLE2)))(angle(), q[0], q[1])
        elif kind == 4:
            qc.u(angle(), angle(), angle(), q[0])
        elif kind == 5:
            qc.r(angle(), angle(), q[0])
        elif kind == 6:
            qc.cu(angle(), angle(), angle(), angle(), q[0], q[1])
        elif kind == 7:
            qc.ccx(q[0], q[1], q[2]) if rng.random() < 0.5 else qc.cswap(q[0], q[1], q[2])
        elif kind == 8:
            k = int(rng.integers(1, n))
            qc.mcx(q[:k], q[k]) if rng.random() < 0.5 else qc.mcp(angle(), q[:k], q[k])
        elif kind == 9:  # controls that fire on 0, as a gate or an annotation
            state, annotated = int(rng.integers(3)), bool(rng.random() < 0.5)
            qc.append(lib.RYGate(angle()).control(2, ctrl_state=state, annotated=annotated), q[:3])
        elif kind == 10:
            qc.unitary(random_unitary(2, seed=rng), [q[0]])
        elif kind == 11:  # no gate of zentrova's: read through its definition
            qc.unitary(random_unitary(4, seed=rng), q[:2])
        else:
            qc.barrier()
            qc.ccz(q[0], q[1], q[2])
    return qc


def random_observable(n: int, terms: int, rng: np.random.Generator) -> SparsePauliOp:
    labels = ["".join(rng.choice(list("IXYZ"), n)) for _ in range(terms)]
    return SparsePauliOp(labels, rng.normal(size=terms)).simplify()


@pytest.fixture(scope="session")
def process_pool():
    # spawn: the primitives submit from a thread of their own, and forking a
    # process that runs threads is unsafe
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        yield pool


@pytest.fixture(scope="session")
def dask_client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


def parameters(count: int) -> list[Parameter]:
    return [Parameter(f"a{i}") for i in range(count)]
