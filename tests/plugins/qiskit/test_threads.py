"""threads=: the same bits on one thread and two, from the size where the
register shares a pass out over threads; bad values refused when the object is
made; a pool's tasks on one thread each unless threads is given."""

import concurrent.futures

import numpy as np
import pytest
from conftest import random_circuit, random_observable

from zentrova_qiskit import ZentrovaBackend, ZentrovaEstimator, ZentrovaSampler
from zentrova_qiskit import _worker


def test_same_bits_on_one_and_two_threads():
    n = 17
    qc = random_circuit(n, 60, np.random.default_rng(36))
    measured = qc.copy()
    measured.measure_all()
    out = {}
    for threads in (1, 2):
        backend = ZentrovaBackend(threads=threads)
        result = backend.run(measured, shots=300, seed_simulator=5, save_statevector=True).result()
        sampler = ZentrovaSampler(seed=5, threads=threads)
        estimator = ZentrovaEstimator(threads=threads)
        obs = random_observable(n, 6, np.random.default_rng(7))
        out[threads] = (result.get_counts(), np.asarray(result.get_statevector()).tobytes(),
                        sampler.run([(measured, None, 200)]).result()[0].data.meas.get_counts(),
                        estimator.run([(qc, obs)]).result()[0].data.evs.tobytes())
    assert out[1] == out[2]


class Pool(concurrent.futures.Executor):
    """Runs each task here, recording the thread count it was given."""

    def __init__(self):
        self.threads = []

    def submit(self, fn, *args, **kwargs):
        self.threads.append(fn.keywords["threads"])
        future = concurrent.futures.Future()
        future.set_result(fn(*args, **kwargs))
        return future


def test_threads_setting(monkeypatch):
    for bad in (0, -1, 1.5, "2", True):
        for make in (lambda t: ZentrovaBackend(threads=t), lambda t: ZentrovaSampler(threads=t),
                     lambda t: ZentrovaEstimator(threads=t)):
            with pytest.raises(ValueError, match="threads"):
                make(bad)
    qc = random_circuit(3, 5, np.random.default_rng(1))
    qc.measure_all()
    seen = []
    real = _worker.run_batch
    monkeypatch.setattr(_worker, "run_batch",
                        lambda k, t, threads=1: seen.append(threads) or real(k, t, threads))
    monkeypatch.setattr("zentrova_qiskit._dispatch.check_threads",
                        lambda t: 4 if t is None else t)  # as if the process had four cores
    for threads, here, pooled in ((None, 4, 1), (3, 3, 3)):
        seen.clear()
        ZentrovaBackend(threads=threads).run(qc, shots=10).result()
        pool = Pool()
        ZentrovaSampler(threads=threads, executor=pool).run([qc]).result()
        assert seen[0] == here and set(pool.threads) == {pooled}, (threads, seen, pool.threads)
