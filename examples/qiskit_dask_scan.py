"""A VQE-style energy scan through the plugin's estimator, spread over a Dask
cluster (pip install "zentrova[qiskit]" dask distributed).

The energy of a transverse-field Ising chain of 8 qubits,
H = -sum Z_i Z_(i+1) - sum X_i, in a two-angle trial state (ry(a) on every
qubit, a chain of cx, ry(b) on every qubit), on a 24 x 24 grid of angles: 24
PUBs of 24 points, each point a task on the cluster's workers. The scan's
lowest energy must lie above the exact ground energy (the variational bound),
and the same scan run in this process must give the same bits.

    python examples/qiskit_dask_scan.py                     # a local cluster, 2 workers
    python examples/qiskit_dask_scan.py tcp://host:8786     # a running cluster's scheduler
    ZENTROVA_DASK_SCHEDULER=tcp://host:8786 python examples/qiskit_dask_scan.py

The code is the same either way: the estimator is given the executor of a
Dask client. A cluster's workers need zentrova installed with the same
interpreter version; they never need Qiskit, as tasks are plain data.
"""

import os
import sys

import numpy as np
from distributed import Client, LocalCluster
from qiskit import QuantumCircuit
from qiskit.circuit import Parameter
from qiskit.quantum_info import SparsePauliOp

from zentrova_qiskit import ZentrovaEstimator

N = 8
GRID = 24


def hamiltonian() -> SparsePauliOp:
    terms = [("ZZ", [i, i + 1], -1.0) for i in range(N - 1)] + [("X", [i], -1.0) for i in range(N)]
    return SparsePauliOp.from_sparse_list(terms, num_qubits=N)


def ansatz() -> QuantumCircuit:
    a, b = Parameter("a"), Parameter("b")
    qc = QuantumCircuit(N)
    qc.ry(a, range(N))
    for q in range(N - 1):
        qc.cx(q, q + 1)
    qc.ry(b, range(N))
    return qc


def scan(estimator: ZentrovaEstimator) -> np.ndarray:
    angles = np.linspace(-np.pi, np.pi, GRID)
    circuit, h = ansatz(), hamiltonian()
    pubs = [(circuit, h, [[a, b] for b in angles]) for a in angles]
    return np.array([r.data.evs for r in estimator.run(pubs).result()])


def main() -> None:
    address = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("ZENTROVA_DASK_SCHEDULER")
    if address:
        client, cluster = Client(address), None
    else:
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None)
        client = Client(cluster)
    try:
        print(f"{GRID * GRID} points on {len(client.scheduler_info()['workers'])} Dask workers")
        energies = scan(ZentrovaEstimator(executor=client.get_executor()))
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    i, j = np.unravel_index(np.argmin(energies), energies.shape)
    angles = np.linspace(-np.pi, np.pi, GRID)
    exact = np.linalg.eigvalsh(hamiltonian().to_matrix())[0]
    print(f"lowest energy {energies[i, j]:.6f} at a = {angles[i]:+.4f}, b = {angles[j]:+.4f}")
    print(f"exact ground energy {exact:.6f}: bound {'holds' if energies.min() >= exact else 'FAILS'}")
    local = scan(ZentrovaEstimator())
    same = np.array_equal(local.view(np.int64), energies.view(np.int64))
    print("same bits as the scan in this process:", "yes" if same else "NO")


if __name__ == "__main__":
    main()
