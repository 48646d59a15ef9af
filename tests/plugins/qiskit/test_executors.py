"""The backend and both primitives on a process pool and on a Dask cluster of
two worker processes: the same results as in-process, bit for bit where they
are exact or seeded; and the two Qiskit examples."""

import re
import subprocess
import sys
import tomllib
from pathlib import Path

import numpy as np
import pytest
from conftest import parameters, random_circuit, random_observable
from qiskit import QuantumCircuit
from zentrova_qiskit import ZentrovaBackend, ZentrovaEstimator, ZentrovaSampler

EXAMPLES = Path(__file__).resolve().parents[3] / "examples"


@pytest.fixture(params=["process pool", "Dask"])
def executor(request):
    if request.param == "Dask":
        return request.getfixturevalue("dask_client").get_executor()
    return request.getfixturevalue("process_pool")


def _bits(a: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(a).view(np.int64)


def test_estimator_same_bits(executor):
    rng = np.random.default_rng(11)
    params = parameters(2)
    pubs = []
    for _ in range(8):
        circuit = random_circuit(5, 30, rng, params)
        values = rng.uniform(-3, 3, (3, len(circuit.parameters)))
        pubs.append((circuit, [random_observable(5, 5, rng) for _ in range(2)], values[:, None]))
    for precision, seed in ((0.0, None), (0.05, 9)):
        local = ZentrovaEstimator(seed=seed).run(pubs, precision=precision).result()
        remote = ZentrovaEstimator(seed=seed, executor=executor).run(pubs, precision=precision)
        for a, b in zip(local, remote.result()):
            assert a.data.evs.shape == (3, 2)
            assert np.array_equal(_bits(a.data.evs), _bits(b.data.evs))


def test_sampler_same_shots(executor):
    rng = np.random.default_rng(12)
    circuit = random_circuit(4, 30, rng, parameters(2)).measure_all(inplace=False)
    values = rng.uniform(-3, 3, (5, len(circuit.parameters)))
    pubs = [(circuit, values), (circuit, values[0])]
    local = ZentrovaSampler(seed=4).run(pubs).result()
    remote = ZentrovaSampler(seed=4, executor=executor).run(pubs).result()
    for a, b in zip(local, remote):
        assert np.array_equal(a.data.meas.array, b.data.meas.array)


def test_backend_combined(executor):
    """Seeded end-measured circuits give the same shots; a shot-by-shot circuit,
    split over the workers, gives all its shots back, each consistent."""
    rng = np.random.default_rng(13)
    circuits = [random_circuit(4, 20, rng).measure_all(inplace=False) for _ in range(4)]
    mid = QuantumCircuit(2, 2)
    mid.h(0)
    mid.measure(0, 0)
    with mid.if_test((mid.clbits[0], 1)):
        mid.x(1)
    mid.measure(1, 1)
    local = ZentrovaBackend().run(circuits + [mid], shots=1000, seed_simulator=5, memory=True)
    remote = ZentrovaBackend(executor=executor).run(circuits + [mid], shots=1000,
                                                    seed_simulator=5, memory=True)
    local, remote = local.result(), remote.result()
    for i in range(4):
        assert local.get_memory(i) == remote.get_memory(i)
    counts = remote.get_counts(4)
    assert set(counts) == {"00", "11"} and sum(counts.values()) == 1000


def _run(name: str, *args: str) -> str:
    done = subprocess.run([sys.executable, str(EXAMPLES / name), *args], capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_example_bell_ghz():
    out = _run("qiskit_bell_ghz.py")
    assert out.splitlines()[-1] == "2 of 2 circuits: every shot's bits agree"
    rows = re.findall(r"^  ([01]+) +(\d+) ", out, re.M)
    assert [key for key, _ in rows] == ["00", "11", "000000", "111111"]
    assert sum(int(n) for _, n in rows) == 4000


def test_example_dask_scan(dask_client):
    # The example starts its own local cluster; given the address of the
    # test's cluster it runs unchanged against that one too.
    address = dask_client.scheduler.address
    for args in ((), (address,)):
        out = _run("qiskit_dask_scan.py", *args).splitlines()
        assert out[0] == "576 points on 2 Dask workers"
        assert re.fullmatch(r"lowest energy -9\.\d+ at a = \S+, b = \S+", out[1])
        assert out[2] == "exact ground energy -9.837951: bound holds"
        assert out[3] == "same bits as the scan in this process: yes"


def test_readme_section():
    readme = (EXAMPLES.parent / "README.md").read_text()
    section = readme.split("## Using zentrova from Qiskit")[1].split("\n## ")[0]
    code = re.search(r"^```py\n(.*?)^```$", section, re.M | re.S)[1]
    printed = re.search(r"^prints\n\n```text\n(.*?)^```$", section, re.M | re.S)[1]
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == printed


def test_install_line_names_the_extras_the_examples_need():
    root = EXAMPLES.parent
    pyproject = tomllib.loads((root / "pyproject.toml").read_text())
    provides = {re.match(r"[\w-]+", req)[0]: extra for extra, reqs in
                pyproject["project"]["optional-dependencies"].items() for req in reqs}
    readme = (root / "README.md").read_text()
    installed = re.search(r'pip install "/path/to/zentrova\[([\w,]+)\]"', readme)[1].split(",")
    for example in EXAMPLES.glob("*.py"):
        imported = set(re.findall(r"^(?:from|import) (\w+)", example.read_text(), re.M))
        needed = {provides[name] for name in imported if name in provides}
        row = next(line for line in readme.splitlines() if line.startswith(f"| `{example.name}`"))
        assert needed <= set(installed) and all(f"`{e}`" in row for e in needed), example.name
    # A plain pip install builds in a temporary folder, not in build/ of the source tree.
    assert "build-dir" not in pyproject["tool"]["scikit-build"]


def test_worker_needs_no_qiskit():
    """What a worker imports runs a task with Qiskit unimportable."""
    code = """
import sys
sys.modules["qiskit"] = None
from zentrova_qiskit import _worker
task = (2, 2, ("final", [("h", (0,)), ("cnot", (0, 1))], [(0, 0), (1, 1)]), 50, (1, (0,)), False)
(bits, _), = _worker.run_batch("sample", [task])
assert (bits[:, 0] == bits[:, 1]).all() and 0 < bits[:, 0].sum() < 50
(ev,), = _worker.run_batch("estimate", [(2, [("h", (0,)), ("cnot", (0, 1))], [((1.0, "XX", (0, 1)),)], 0.0, (1, (0,)))])
assert abs(ev - 1) < 1e-12
print("ok")
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.stdout == "ok\n", done.stderr
