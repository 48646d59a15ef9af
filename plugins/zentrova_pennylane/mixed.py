"""The zentrova.mixed device: exact density matrices, a drop-in for default.mixed.

A density matrix on n wires is a state vector of 2n qubits (_zentrova_common.noise): a gate U
runs as U on the row half and conj(U) on the column half, a channel as its superoperator on
the pair, so the register's kernels do the whole circuit in one program run. The final rho
is read back once and every measurement is taken from it: PennyLane's own
process_density_matrix for state measurements, the trace of rho with the observable for
expectation values, and with shots samples drawn from the diagonal of rho turned to each
group's measurement basis."""

from dataclasses import replace

import numpy as np
import zentrova
import zentrova_program
import zentrova_readout
from pennylane.devices import Device, ExecutionConfig
from pennylane.devices.default_qubit import (
    accepted_analytic_measurement,
    accepted_sample_measurement,
)
from pennylane.devices.modifiers import simulator_tracking, single_tape_support
from pennylane.devices.preprocess import decompose, validate_device_wires, validate_measurements
from pennylane.exceptions import DeviceError
from pennylane.measurements import DensityMatrixMP, ExpectationMP, StateMP
from pennylane.operation import Channel, StatePrepBase
from pennylane.tape import QuantumScript
from pennylane.transforms import broadcast_expand, defer_measurements
from pennylane.transforms.core import CompilePipeline
from pennylane.wires import Wires

from _zentrova_common import check_finite, check_memory, panics_as, sample_indices
from _zentrova_common import noise

# A matrix on k wires is two k-qubit operations on the 2n-qubit vector, a channel one on 2k;
# beyond these, PennyLane's decompositions are cheaper than the dense matrix.
MAX_GATE_WIRES = 5
MAX_CHANNEL_WIRES = 5
MAX_PREP_WIRES = 10

# Gates the register runs by name (their conjugates too: noise._conj_gate); the rest as
# matrices.
_NAMED = {"PauliX": "x", "Hadamard": "h", "CNOT": "cnot", "SWAP": "swap", "Toffoli": "ccnot"}
_ROTATIONS = {"RX": "rx", "RY": "ry", "RZ": "rz"}
_SKIPPED = {"Identity", "GlobalPhase", "Snapshot", "Barrier"}  # nothing a density matrix sees


def _supported(op) -> bool:
    if op.name in _SKIPPED:
        return True
    if isinstance(op, Channel):
        return len(op.wires) <= MAX_CHANNEL_WIRES
    if op.name == "QubitDensityMatrix":
        return len(op.wires) <= MAX_CHANNEL_WIRES
    if isinstance(op, StatePrepBase):
        return False  # only the first of a circuit is kept (decompose skips it), the rest decompose
    return op.has_matrix and 0 < len(op.wires) <= MAX_GATE_WIRES


def _prep_unitary(psi: np.ndarray) -> np.ndarray:
    """A unitary taking |0...0> to psi: the Householder reflection exchanging psi and
    e^(i phi)|0> (phi the phase of psi_0, so that their overlap is real), times e^(i phi)."""
    psi = np.asarray(psi, dtype=np.complex128).ravel()
    psi = psi / np.linalg.norm(psi)
    phase = psi[0] / abs(psi[0]) if abs(psi[0]) > 0 else 1.0
    w = psi.copy()
    w[0] -= phase
    norm2 = np.vdot(w, w).real
    u = np.eye(len(psi), dtype=np.complex128)
    if norm2 > 0:
        u -= (2.0 / norm2) * np.outer(w, w.conj())
    return phase * u


def _program(circuit, qubit) -> list:
    """The circuit's operations as gates and channels on zentrova qubits (qubit[w] for wire w),
    in noise.density_ops' vocabulary."""
    ops, kraus = [], {}
    operations = list(circuit.operations)
    first = operations[0] if operations else None
    if isinstance(first, StatePrepBase) and first.name != "QubitDensityMatrix":
        # At the start every wire reads 0: a basis state is x gates, a state vector one
        # unitary taking |0...0> to it.
        prep = operations.pop(0)
        if prep.name == "BasisState":
            bits = np.asarray(prep.parameters[0]).ravel()
            ops += [("x", (qubit[w],)) for w, b in zip(prep.wires, bits) if int(b)]
        elif len(prep.wires) > MAX_PREP_WIRES:
            operations = _decomposed(prep) + operations
        else:
            psi = prep.state_vector(wire_order=prep.wires)
            targets = tuple(qubit[w] for w in prep.wires)
            ops.append(("matrix", (targets, _prep_unitary(psi).ravel())))
    for op in operations:
        if op.name in _SKIPPED:
            continue
        targets = tuple(qubit[w] for w in op.wires)
        check_finite(op.data, lambda: f"zentrova.mixed: {op.name} on wires {op.wires.tolist()}")
        if op.name == "QubitDensityMatrix":
            # Its wires replaced by the given state, wherever it stands: the channel
            # sigma -> Tr_W(sigma) (x) rho_W, whose superoperator is |rho>><<1|.
            rho = np.asarray(op.data[0], dtype=np.complex128)
            sup = np.outer(rho.ravel(), np.eye(len(rho)).ravel())
            ops.append(("superoperator", targets, sup))
        elif isinstance(op, Channel):
            # One list of matrices for equal channels, so that density_ops forms the
            # superoperator of a noise model's repeated channel once.
            key = (op.name, tuple(np.asarray(d).tobytes() for d in op.data))
            mats = kraus.get(key)
            if mats is None:
                mats = kraus[key] = [np.asarray(k, dtype=np.complex128) for k in op.kraus_matrices()]
            ops.append(("channel", targets, None, mats))
        elif op.name in _NAMED:
            ops.append((_NAMED[op.name], targets))
        elif op.name in _ROTATIONS:
            ops.append((_ROTATIONS[op.name], (targets[0], float(op.data[0]))))
        else:
            m = np.asarray(op.matrix(), dtype=np.complex128)
            ops.append(("matrix", (targets, m.ravel())))
    return ops


def _decomposed(op) -> list:
    tapes, _ = decompose(QuantumScript([op]), stopping_condition=_supported,
                         skip_initial_state_prep=False, name="zentrova.mixed")
    return list(tapes[0].operations)


def final_density_matrix(circuit, wires) -> np.ndarray:
    """rho over `wires` (PennyLane's order: wires[0] the most significant bit) after the
    circuit's operations, from |0...0>."""
    n = len(wires)
    # The register and the copy of it read back: 32 bytes an entry.
    check_memory(2 * n, f"zentrova.mixed: a density matrix of {n} wires, a vector",
                 bytes_per_entry=32, error_type=DeviceError)
    qubit = {w: n - 1 - k for k, w in enumerate(wires)}
    ops = _program(circuit, qubit)
    with panics_as(DeviceError):
        reg = zentrova.QuantumRegister(2 * n)
        zentrova_program.run(reg, noise.fused_density_ops(ops, n))
        amps = np.asarray(zentrova_readout.amplitudes(reg))
    return noise.density_matrix(amps, n)


def reduced(rho: np.ndarray, wires, keep) -> np.ndarray:
    """rho over `wires` reduced to the wires `keep`, in keep's order."""
    n, k = len(wires), len(keep)
    if list(keep) == list(wires):
        return rho
    pos = [wires.index(w) for w in keep]
    rest = [i for i in range(n) if i not in pos]
    t = rho.reshape((2,) * (2 * n))
    t = t.transpose(pos + rest + [n + i for i in pos] + [n + i for i in rest])
    t = t.reshape(1 << k, 1 << (n - k), 1 << k, 1 << (n - k))
    return np.einsum("iaja->ij", t)


def _rotated(rho, wires, keep, gates) -> np.ndarray:
    """rho reduced to `keep` and turned by the gates (diagonalising gates acting on keep)."""
    r = reduced(rho, wires, keep)
    for g in gates:
        m = g.matrix(wire_order=keep)
        r = m @ r @ m.conj().T
    return r


def _expval(mp, rho, wires):
    """Tr(rho_W O) on the observable's wires W: a sparse matrix for sums of Pauli words."""
    obs = mp.obs
    keep = list(obs.wires)
    r = reduced(rho, wires, keep)
    if obs.pauli_rep is not None and len(keep) > 3:
        o = obs.pauli_rep.to_mat(wire_order=keep, format="csr")
        return np.float64(np.real(o.multiply(r.T).sum()))
    o = obs.matrix(wire_order=keep)
    return np.float64(np.real(np.einsum("ij,ji->", r, o)))


def _analytic(mp, rho, wires):
    if isinstance(mp, StateMP) and not isinstance(mp, DensityMatrixMP):
        mp = DensityMatrixMP(wires=mp.raw_wires or Wires(wires))  # qml.state(): rho itself
    if mp.obs is None:
        return mp.process_density_matrix(rho, Wires(wires))
    if isinstance(mp, ExpectationMP):
        return _expval(mp, rho, wires)
    keep = list(mp.wires)
    return mp.process_density_matrix(_rotated(rho, wires, keep, mp.diagonalizing_gates()),
                                     Wires(keep))


def _basis(mp, wires) -> dict:
    """Each measured wire's basis: the diagonalising gates on it (None for Z). A measurement
    of no wires (on a device without wires) measures them all."""
    sig = {w: None for w in (mp.wires or wires)}
    for g in mp.diagonalizing_gates():
        key = (g.name, tuple(g.wires), tuple(np.asarray(d).tobytes() for d in g.data))
        for w in g.wires:
            sig[w] = (sig[w] or ()) + (key,)
    return sig


def _groups(mps, wires) -> list:
    """The measurements in groups that share a basis on every wire they share, so that each
    group's are read off the same samples (correlated as on hardware)."""
    groups = []  # (basis by wire, [(index, mp)])
    for i, mp in enumerate(mps):
        sig = _basis(mp, wires)
        for basis, members in groups:
            if all(basis.get(w, sig[w]) == sig[w] for w in sig):
                basis.update(sig)
                members.append((i, mp))
                break
        else:
            groups.append((dict(sig), [(i, mp)]))
    return groups


def _sampled(mps, shots, rho, wires, rng):
    total = shots.total_shots
    out = [None] * len(mps)
    for basis, members in _groups(mps, wires):
        keep = [w for w in wires if w in basis]
        gates, seen = [], set()
        for _, mp in members:
            for g in mp.diagonalizing_gates():
                key = (g.name, tuple(g.wires), tuple(np.asarray(d).tobytes() for d in g.data))
                if key not in seen:
                    seen.add(key)
                    gates.append(g)
        r = _rotated(rho, wires, keep, gates)
        probs = np.maximum(np.real(np.diag(r)), 0.0)
        idx = sample_indices(probs, total, rng)
        k = len(keep)
        samples = ((idx[:, None] >> np.arange(k - 1, -1, -1)) & 1).astype(np.int64)
        for i, mp in members:  # one draw for all the bins, as many shots as they add up to
            out[i] = [mp.process_samples(samples[lo:hi], Wires(keep)) for lo, hi in shots.bins()]
    if shots.has_partitioned_shots:
        bins = tuple(tuple(out[i][b] for i in range(len(mps))) for b in range(shots.num_copies))
        return tuple(b[0] if len(mps) == 1 else b for b in bins)
    results = tuple(o[0] for o in out)
    return results[0] if len(mps) == 1 else results


def simulate(circuit, device_wires, rng):
    """The circuit's results, from its final density matrix."""
    used = circuit.wires
    wires = [w for w in device_wires if w in used] if device_wires is not None else list(used)
    rho = final_density_matrix(circuit, wires)
    # Measurements on wires 0..n-1, the rows' order: PennyLane's entropies take wire labels
    # for indices into rho.
    labels = {w: k for k, w in enumerate(wires)}
    mps = [mp.map_wires(labels) for mp in circuit.measurements]
    wires = list(range(len(wires)))
    if circuit.shots:
        return _sampled(mps, circuit.shots, rho, wires, rng)
    results = tuple(_analytic(mp, rho, wires) for mp in mps)
    return results[0] if len(results) == 1 else results


@simulator_tracking
@single_tape_support
class ZentrovaMixed(Device):
    """PennyLane device computing exact density matrices with zentrova, a drop-in for
    default.mixed: gates, noise channels (any with Kraus matrices) and qml.add_noise models.

    Args:
        wires (int, Iterable): the number of wires, or their labels. Without them, each
            circuit runs on as many wires as it has.
        shots: the default number of shots (PennyLane prefers ``qml.set_shots``).
        seed: seeds the numpy generator that draws samples: an int, a numpy Generator or
            SeedSequence, None for fresh entropy, or "global" (the default), a seed taken from
            numpy's global generator.
        readout_prob: refused unless None (default.mixed's readout error; BitFlip channels
            before the measurements do the same, explicitly).

    A density matrix of n wires takes the memory of a state of 2n qubits; a circuit that would
    not fit is refused with DeviceError before anything runs. Gradients come from PennyLane's
    parameter shift (finite differences where it falls back); there is no backprop.
    """

    def __init__(self, wires=None, shots=None, seed="global", readout_prob=None):
        if readout_prob is not None:
            # default.mixed's own fails at the first measurement in PennyLane 0.45 (it
            # iterates the float as a list of channels), and skips some measurements (an
            # expectation value of a Hermitian): channels say what is meant.
            raise DeviceError(
                "zentrova.mixed takes no readout_prob: put BitFlip channels on the measured "
                "wires at the end of the circuit (qml.add_noise) instead")
        super().__init__(wires=wires, shots=shots)
        if isinstance(seed, str) and seed == "global":
            seed = np.random.randint(0, high=10000000)
        self._rng = np.random.default_rng(seed)

    @property
    def name(self):
        return "zentrova.mixed"

    def setup_execution_config(self, config=None, circuit=None):
        config = config or ExecutionConfig()
        for option in config.device_options:
            raise DeviceError(f"device option {option} not present on {self}")
        method = config.mcm_config.mcm_method
        if method not in (None, "deferred"):
            method = getattr(method, "value", method)  # PennyLane's enum, named by its value
            raise DeviceError(
                f"mcm_method {method!r} is not supported on zentrova.mixed; it defers "
                "mid-circuit measurements (mcm_method='deferred')"
            )
        return replace(config, mcm_config=replace(config.mcm_config, mcm_method="deferred"))

    def preprocess_transforms(self, execution_config=None):
        program = CompilePipeline()
        program.add_transform(defer_measurements, allow_postselect=False)
        program.add_transform(validate_device_wires, self.wires, name=self.name)
        program.add_transform(decompose, stopping_condition=_supported,
                              skip_initial_state_prep=True, name=self.name)
        program.add_transform(
            validate_measurements,
            analytic_measurements=accepted_analytic_measurement,
            sample_measurements=accepted_sample_measurement,
            name=self.name,
        )
        program.add_transform(broadcast_expand)
        return program

    def execute(self, circuits, execution_config=None):
        return tuple(simulate(c, self.wires, self._rng) for c in circuits)
