"""ZentrovaSimulator against cirq.Simulator (in double precision): final states,
amplitudes and expectation values to 1e-12, samples by a statistical test,
on random circuits over every gate family the plugin maps."""

import concurrent.futures
import itertools
import math
import multiprocessing
import pickle
import re
import subprocess
import sys
from pathlib import Path

import cirq
import numpy as np
import pytest
import sympy
import zentrova
from scipy import stats
from zentrova_cirq import RefusedError, UnsupportedOperation, ZentrovaSimulator

ROOT = Path(__file__).resolve().parents[3]
Q = cirq.LineQubit.range(4)
REF = cirq.Simulator(dtype=np.complex128)
t = sympy.Symbol("t")

# Every family of the README's table, powers at awkward exponents and shifts.
GATES = {
    cirq.X: 1, cirq.H: 1, cirq.Y: 1, cirq.Z: 1, cirq.S: 1, cirq.T: 1,
    cirq.rx(0.3): 1, cirq.ry(-1.1): 1, cirq.rz(2.2): 1,
    cirq.XPowGate(exponent=0.37, global_shift=0.21): 1, cirq.YPowGate(exponent=-1.3, global_shift=0.4): 1,
    cirq.ZPowGate(exponent=0.7, global_shift=-0.3): 1, cirq.HPowGate(exponent=0.41, global_shift=0.13): 1,
    cirq.PhasedXPowGate(phase_exponent=0.3, exponent=0.7): 1,
    cirq.PhasedXZGate(x_exponent=0.2, z_exponent=0.3, axis_phase_exponent=0.1): 1,
    cirq.MatrixGate(cirq.testing.random_unitary(2, random_state=3)): 1,
    cirq.CNOT: 2, cirq.CZ: 2, cirq.SWAP: 2, cirq.ISWAP: 2,
    cirq.CXPowGate(exponent=0.3, global_shift=0.2): 2, cirq.CZPowGate(exponent=1.3, global_shift=0.1): 2,
    cirq.SwapPowGate(exponent=0.3): 2, cirq.ISwapPowGate(exponent=0.6, global_shift=0.3): 2,
    cirq.FSimGate(0.2, 0.7): 2, cirq.XXPowGate(exponent=0.3): 2, cirq.ry(0.4).controlled(1, control_values=[0]): 2,
    cirq.MatrixGate(cirq.testing.random_unitary(4, random_state=4)): 2,
    cirq.CCX: 3, cirq.CCZPowGate(exponent=0.4): 3, cirq.CSWAP: 3, cirq.CCX**0.5: 3,
    cirq.X.controlled(2, control_values=[0, 1]): 3,
    cirq.CCXPowGate(exponent=0.3, global_shift=0.2): 3, cirq.ZZPowGate(exponent=0.4, global_shift=0.3): 2,
    cirq.PhasedISwapPowGate(exponent=0.3): 2, cirq.QubitPermutationGate([2, 0, 1]): 3,
    cirq.ControlledGate(cirq.SWAP, num_controls=1): 3, cirq.MatrixGate(cirq.testing.random_unitary(8, random_state=5)): 3,
}


def random_circuit(seed: int) -> cirq.Circuit:
    c = cirq.testing.random_circuit(Q, 14, 0.8, gate_domain=GATES, random_state=seed)
    return c + cirq.GlobalPhaseGate(np.exp(0.3j)).on()


def random_order(seed: int) -> list:
    return list(np.random.default_rng(seed).permutation(Q))


@pytest.mark.parametrize("seed", range(12))
def test_states_amplitudes_expectations(seed):
    circuit, order = random_circuit(seed), random_order(seed)
    want = REF.simulate(circuit, qubit_order=order).final_state_vector
    got = ZentrovaSimulator().simulate(circuit, qubit_order=order)
    assert got.final_state_vector.dtype == np.complex128
    np.testing.assert_allclose(got.final_state_vector, want, rtol=0, atol=1e-12)
    assert got.qubit_map == {q: i for i, q in enumerate(order)}
    bits = [0, 5, 15]
    np.testing.assert_allclose(ZentrovaSimulator().compute_amplitudes(circuit, bits, qubit_order=order),
                               want[bits], rtol=0, atol=1e-12)
    rng = np.random.default_rng(seed)
    observables = [sum((float(rng.normal()) * cirq.PauliString(
        {q: p for q, p in zip(Q, rng.choice([cirq.I, cirq.X, cirq.Y, cirq.Z], 4))})
        for _ in range(5)), cirq.PauliSum()) for _ in range(3)]
    np.testing.assert_allclose(ZentrovaSimulator().simulate_expectation_values(circuit, observables),
                               REF.simulate_expectation_values(circuit, observables), rtol=0, atol=1e-12)


def test_powers_with_global_shifts_plain_and_controlled():
    """A shift is a phase of the whole gate: kept on the state when the gate is plain,
    relative under a control (closed or open, as a ControlledGate or a controlled
    operation); exponent 1 included, where a gate without shift is the module's own."""
    prefix = cirq.Circuit([cirq.ry(0.3 + 0.4 * i)(q) for i, q in enumerate(Q)], cirq.CZ(Q[0], Q[3]))
    for family, exponent, shift in itertools.product(
            (cirq.XPowGate, cirq.YPowGate, cirq.ZPowGate, cirq.HPowGate, cirq.CXPowGate,
             cirq.CZPowGate, cirq.CCXPowGate, cirq.CCZPowGate),
            (1, -1, 2, 0.5, 0.3), (0, 0.5, -0.5, 0.25)):
        gate = family(exponent=exponent, global_shift=shift)
        k = cirq.num_qubits(gate)
        ops = [gate.on(*Q[:k]), gate.controlled(control_values=[0]).on(Q[3], *Q[:k]),
               gate.on(*Q[:k]).controlled_by(Q[3], control_values=[0])]
        if k < 3:
            ops.append(gate.controlled(2, control_values=[1, 0]).on(Q[2], Q[3], *Q[:k]))
        for op in ops:
            circuit = prefix + op
            np.testing.assert_allclose(ZentrovaSimulator().simulate(circuit).final_state_vector,
                                       cirq.final_state_vector(circuit, dtype=np.complex128),
                                       rtol=0, atol=1e-12, err_msg=repr(op))


def test_initial_states_idle_qubits_and_sweeps():
    circuit = cirq.Circuit(cirq.rx(t)(Q[0]), cirq.CNOT(Q[0], Q[1]), cirq.XPowGate(exponent=t)(Q[2]))
    order = [Q[2], Q[3], Q[0], Q[1]]  # Q[3] idle
    psi = cirq.testing.random_superposition(16, random_state=2)
    sweep = cirq.Linspace("t", -1.0, 2.0, 4)
    for initial in (None, 11, psi):
        for got, want in zip(ZentrovaSimulator().simulate_sweep(circuit, sweep, order, initial),
                             REF.simulate_sweep(circuit, sweep, order, initial)):
            assert got.params == want.params
            np.testing.assert_allclose(got.final_state_vector, want.final_state_vector, rtol=0, atol=1e-12)


def test_idle_qubits():
    """Only qubits some gate touches are simulated: 40 qubits, two of them used."""
    wide = cirq.LineQubit.range(40)
    circuit = cirq.Circuit(cirq.H(wide[0]), cirq.CNOT(wide[0], wide[39]), cirq.measure(*wide, key="m"))
    bits = ZentrovaSimulator(seed=1).run(circuit, repetitions=200).records["m"][:, 0, :]
    assert not bits[:, 1:39].any() and (bits[:, 0] == bits[:, 39]).all() and 0 < bits[:, 0].sum() < 200
    observables = [cirq.Z(wide[0]) * cirq.Z(wide[39]), cirq.Z(wide[5]) + 0.5 * cirq.X(wide[7]),
                   cirq.X(wide[0]) * cirq.X(wide[39]) * cirq.Z(wide[3])]
    got = ZentrovaSimulator().simulate_expectation_values(circuit[:-1], observables)
    np.testing.assert_allclose(got, [1, 1, 1], rtol=0, atol=1e-12)


def chi2_agree(a: np.ndarray, b: np.ndarray) -> bool:
    """Whether two samples of integers could come from one distribution."""
    values = np.union1d(a, b)
    table = np.array([[np.sum(x == v) for v in values] for x in (a, b)])
    return len(values) == 1 or stats.chi2_contingency(table)[1] > 1e-3


def test_samples():
    mid = cirq.Circuit(cirq.H(Q[0]), cirq.ry(1.0)(Q[1]), cirq.measure(Q[0], key="a"),
                       cirq.X(Q[2]).with_classical_controls("a").with_tags("tagged"), cirq.CNOT(Q[1], Q[0]),
                       cirq.H(Q[3]).with_classical_controls(sympy.Eq(sympy.Symbol("a"), 0)),
                       cirq.measure(Q[0], Q[1], key="b", invert_mask=(True,)),
                       cirq.measure(Q[1], Q[2], key="d"),  # bit mask 1: Q[2], the last
                       cirq.X(Q[3]).with_classical_controls(cirq.BitMaskKeyCondition("d", bitmask=1)),
                       cirq.reset(Q[1]), cirq.measure(*Q, key="c"))
    for circuit in (random_circuit(0) + cirq.measure(*Q[:3], key="m") + cirq.measure(Q[3], key="n"), mid):
        got = ZentrovaSimulator(seed=7).run(circuit, repetitions=2000)
        want = cirq.Simulator(seed=7).run(circuit, repetitions=2000)
        for key, records in want.records.items():
            assert got.records[key].shape == records.shape, key
            assert chi2_agree(got.data[key].to_numpy(), want.data[key].to_numpy()), key


def test_conditions_read_the_instance_their_index_names():
    """A key measured three times, each time a value the circuit fixes (every pattern
    of three bits): a condition with an index reads that instance, as cirq.Simulator's
    does, in a final state and in repetitions run shot by shot."""
    source, wide = Q[0], cirq.LineQubit.range(1, 9)
    indices = (0, 1, 2, -1, -2, -3)
    for pattern in range(8):
        bits, circuit = [0] + [pattern >> i & 1 for i in range(3)], cirq.Circuit()
        for i in range(3):
            circuit += [cirq.X(source) ** (bits[i] ^ bits[i + 1]), cirq.measure(source, key="m")]
        for target, index in zip(wide, indices):
            circuit += cirq.X(target).with_classical_controls(
                cirq.KeyCondition(cirq.MeasurementKey("m"), index=index))
        for target, index in zip(wide[6:], (0, -2)):
            circuit += cirq.X(target).with_classical_controls(
                cirq.BitMaskKeyCondition("m", index=index, bitmask=1, target_value=0))
        want = REF.simulate(circuit).final_state_vector
        got = ZentrovaSimulator().simulate(circuit).final_state_vector
        np.testing.assert_array_equal(got, want, err_msg=str(pattern))
        measured = circuit + cirq.measure(*wide, key="w")
        runs = (ZentrovaSimulator(seed=1).run(measured, repetitions=3), REF.run(measured, repetitions=3))
        for key in ("m", "w"):
            assert np.array_equal(runs[0].records[key], runs[1].records[key]), (pattern, key)


def test_unseeded_single_repetition():
    """Unseeded, one repetition is the engine's own measurement of the final
    state: its bits go to the right keys and qubits, idle ones and inverted
    ones included, and follow the state's probabilities."""
    circuit = cirq.Circuit(cirq.X(Q[0]), cirq.Z(Q[3]), cirq.H(Q[1]),
                           cirq.measure(Q[3], Q[2], key="a", invert_mask=(False, True)),
                           cirq.measure(Q[0], Q[1], key="b"))
    sim = ZentrovaSimulator()
    runs = [sim.run(circuit) for _ in range(400)]
    assert all(r.records["a"].tolist() == [[[0, 1]]] for r in runs)
    b = np.array([r.records["b"][0, 0] for r in runs])
    assert (b[:, 0] == 1).all() and 140 < b[:, 1].sum() < 260


def test_seeds():
    circuit = random_circuit(1) + cirq.measure(*Q, key="m")
    mid = cirq.Circuit(cirq.H(Q[0]), cirq.measure(Q[0], key="a"), cirq.H(Q[0]), cirq.measure(Q[0], key="b"))
    for c in (circuit, mid):
        for seed in (3, lambda: np.random.default_rng(3)):
            make = (lambda: ZentrovaSimulator(seed=seed())) if callable(seed) else (lambda: ZentrovaSimulator(seed=seed))
            first, second = make(), make()
            runs = [first.run(c, repetitions=50) for _ in range(2)]
            assert runs == [second.run(c, repetitions=50) for _ in range(2)]
            assert runs[0] != runs[1]  # the generator goes on, as cirq.Simulator's does
    # Each point of a sweep draws from its own seed, even where points agree.
    first, second = ZentrovaSimulator(seed=4).run_sweep(circuit, cirq.Points("t", [1.0, 1.0]), 50)
    assert first.records["m"].tolist() != second.records["m"].tolist()
    assert ZentrovaSimulator().run(mid, repetitions=0).records["a"].shape == (0, 1, 1)
    states = [ZentrovaSimulator(seed=2).simulate(mid).measurements for _ in range(2)]
    assert states[0] == states[1]


def test_refusals():
    a = Q[0]
    sim = ZentrovaSimulator()
    class Opaque(cirq.Gate):  # neither unitary nor a channel, and no decomposition
        def _num_qubits_(self):
            return 1

    for circuit in (cirq.Circuit(cirq.H(a), Opaque().on(a), cirq.measure(a)),
                    cirq.Circuit(Opaque().on(a).with_classical_controls("x"), cirq.measure(a))):
        with pytest.raises(UnsupportedOperation, match="Opaque"):
            sim.run(circuit)
    for value in (float("nan"), float("inf")):
        with pytest.raises(ValueError, match="non-finite"):
            sim.simulate(cirq.Circuit(cirq.rx(t)(a)), {"t": value})
    qutrit = cirq.LineQid(0, dimension=3)
    with pytest.raises(UnsupportedOperation, match="qudits"):
        sim.simulate(cirq.Circuit(cirq.XPowGate(dimension=3).on(qutrit)))
    with pytest.raises(ValueError, match="unresolved parameters: t"):
        sim.simulate(cirq.Circuit(cirq.rx(t)(a)))
    with pytest.raises(ValueError, match="terminal measurements"):
        sim.simulate_expectation_values(cirq.Circuit(cirq.measure(a)), cirq.Z(a))
    big = cirq.Circuit(cirq.H.on_each(*cirq.LineQubit.range(45)))
    with pytest.raises(RefusedError, match="45 qubits") as caught:
        sim.simulate(big)
    for error in (caught.value, UnsupportedOperation("x")):
        assert str(pickle.loads(pickle.dumps(error))) == str(error)


def test_complex_values_are_checked_in_both_parts():
    """A global phase, a matrix entry (plain and controlled) and a complex parameter
    whose real part is finite: refused, where cirq.Simulator would give NaN."""
    c = sympy.Symbol("c")
    sim = ZentrovaSimulator()
    for value in (complex(1, math.nan), complex(0, math.inf), complex(math.nan, 1)):
        matrix = cirq.MatrixGate(np.diag([1, value]), unitary_check=False)
        circuits = [(cirq.Circuit(cirq.H(Q[1]), matrix.on(Q[0])), {}),
                    (cirq.Circuit(cirq.H(Q[1]), matrix.on(Q[0]).controlled_by(Q[1])), {}),
                    (cirq.Circuit(cirq.H(Q[1]), matrix.controlled(1, [0]).on(Q[1], Q[0])), {})]
        if math.isnan(abs(value)):  # Cirq itself refuses a phase of infinite modulus
            circuits += [(cirq.Circuit(cirq.H(Q[0]), cirq.GlobalPhaseGate(value).on()), {}),
                         (cirq.Circuit(cirq.H(Q[0]), cirq.GlobalPhaseGate(c).on()), {"c": value})]
        for circuit, resolver in circuits:
            with pytest.raises(ValueError, match="non-finite value"):
                sim.simulate(circuit, resolver)
        with pytest.raises(ValueError, match="non-finite value"):
            sim.simulate_expectation_values(cirq.Circuit(cirq.H(Q[0])), value * cirq.Z(Q[0]))


def test_unoffered_calls_say_so_as_cirq_does():
    circuit = cirq.Circuit(cirq.H(Q[0]), cirq.CNOT(Q[0], Q[1]))
    want = "must be input as a 1-dimensional array of ints. Got an array with shape (1, 2)."
    for sim in (REF, ZentrovaSimulator()):
        with pytest.raises(ValueError, match=re.escape(want)):
            sim.compute_amplitudes(circuit, np.array([[0, 0]]))
    with pytest.raises(NotImplementedError, match="simulate_sweep"):
        ZentrovaSimulator().simulate_moment_steps(circuit)


@pytest.fixture(scope="module")
def process_pool():
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        yield pool


def test_executor_same_bits(process_pool):
    circuit = cirq.Circuit(cirq.ry(t)(Q[0]), cirq.CNOT(Q[0], Q[1]), cirq.rx(t)(Q[2]),
                           cirq.measure(Q[0], key="a"), cirq.X(Q[3]).with_classical_controls("a"))
    sweep = cirq.Linspace("t", 0, 3, 5)
    obs = [cirq.Z(Q[0]) * cirq.Z(Q[1]), 0.5 * cirq.X(Q[2]) + cirq.Z(Q[3])]
    here = ZentrovaSimulator(seed=11)
    there = ZentrovaSimulator(seed=11, executor=process_pool)
    measured = circuit + cirq.measure(*Q, key="m")
    assert here.run_sweep(measured, sweep, 100) == there.run_sweep(measured, sweep, 100)
    # The measurement collapses the state: a draw of each point's seed.
    assert here.simulate_expectation_values_sweep(circuit, obs, sweep, permit_terminal_measurements=True) == \
        there.simulate_expectation_values_sweep(circuit, obs, sweep, permit_terminal_measurements=True)
    # Refused in a worker, the error comes back through the pool as it is.
    from zentrova_cirq import _worker
    with pytest.raises(RefusedError, match="45 qubits"):
        process_pool.submit(_worker.run_batch, "state", [(45, [], 0, (1, (0,)))]).result()
    with pytest.raises(RefusedError, match="45 qubits"):
        there.run(cirq.Circuit(cirq.H.on_each(*cirq.LineQubit.range(45)), cirq.measure(Q[0])))


def test_shots_as_fresh_registers():
    # Repetitions run shot by shot give the bits of the plain way: each on a
    # fresh register, every measurement drawn in turn from one generator.
    from _zentrova_common import uniform_draws
    from zentrova_cirq import _worker
    rng = np.random.default_rng(8)
    ops = []
    for i in range(4):
        ops += [("ry", (q, float(rng.random() * 3))) for q in range(4)] + [("cnot", (i % 4, (i + 1) % 4))]
        ops += [("measure", (i % 4, None, 3), i % 2, (False, True, False)),
                ("if", (("nonzero", i % 2, -1),), [("x", ((i + 2) % 4,)), ("reset", (i + 3) % 4)]),
                ("if", (("mask", 0, 0, 0b101, 0b100, False), ("table", (0,), {(0,), (2,)})), [("h", (2,))]),
                ("reset", (i + 1) % 4)]
    ops.append(("measure", (0, 1, 2, 3), 2, (False,) * 4))
    for seed in (1, 2):
        draw, want = uniform_draws(_worker._rng((seed, ()))), []
        for _ in range(300):
            records = [[], [], []]
            _worker._execute(zentrova.QuantumRegister(4), ops, draw, records)
            want.append(records)
        got = _worker.sample((4, ops, 3, 300, (seed, ())))
        for slot in range(3):
            assert np.array_equal(got[slot], np.array([r[slot] for r in want], dtype=np.uint8))


def test_worker_needs_no_cirq():
    code = """
import sys
sys.modules["cirq"] = None
sys.modules["sympy"] = None
from zentrova_cirq import _worker
task = (2, [("h", (1,)), ("cnot", (1, 0)), ("measure", (1, 0), 0, (False, False))], 1, 50, (1, (0,)))
(bits,), = _worker.run_batch("sample", [task])
assert bits.shape == (50, 1, 2) and (bits[:, 0, 0] == bits[:, 0, 1]).all() and 0 < bits.sum() < 100
print("ok")
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.stdout == "ok\n", done.stderr


def test_readme_section_and_example():
    readme = (ROOT / "README.md").read_text()
    section = readme.split("## Using zentrova from Cirq")[1].split("\n## ")[0]
    code = re.search(r"^```py\n(.*?)^```$", section, re.M | re.S)[1]
    printed = re.search(r"^prints\n\n```text\n(.*?)^```$", section, re.M | re.S)[1]
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == printed
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "cirq_vqe.py")],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "energies match cirq.Simulator: yes"
