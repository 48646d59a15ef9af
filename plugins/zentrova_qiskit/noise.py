"""Noise models for the Qiskit plugin, read from an Aer NoiseModel through its
public to_dict() (qiskit-aer is never imported), or built from a BackendV2's
Target as AerSimulator.from_backend documents.

A quantum error becomes one channel, ("channel", (targets, probs, branches,
kraus)): the error's circuits as branches, each a list of Kraus matrices
(one unitary for a unitary branch) with qiskit's qubit order, so targets are
the instruction's qubits reversed (targets[0] the most significant bit of a
row index, as zentrova_program's matrices have it); probs the branches'
probabilities; kraus every branch's operators scaled by sqrt(probability),
the channel as one Kraus set for density matrices. A trajectory draws its
branch from probs without reading the state, and reads the state only inside
a branch of several Kraus operators (a reset, amplitude damping).

Errors follow the instruction they belong to (a measurement's come before
it, as Aer applies them); an error given for an instruction on given qubits
replaces the one given for all qubits. Readout errors are (P(read 0 | 0),
P(read 1 | 1)) pairs, flipping measured bits with the generator's draws.
"""

import math

import numpy as np
from qiskit.circuit import Instruction, QuantumCircuit
from qiskit.circuit.library import get_standard_gate_name_mapping
from qiskit.quantum_info import Kraus, Operator, Pauli

from ._translate import UnsupportedInstruction

_RESET = [np.array([[1, 0], [0, 0]], dtype=complex), np.array([[0, 1], [0, 0]], dtype=complex)]


def _instruction_kraus(inst: dict) -> list:
    """The Kraus matrices of one instruction of an error's circuit, qiskit's qubit order."""
    name, params = inst["name"], inst.get("params") or []
    if name == "kraus":
        return [np.asarray(m, dtype=complex) for m in params]
    if name == "reset":
        return list(_RESET)
    if name == "pauli":
        label = params[0]
        return [Pauli(label if isinstance(label, str) else label.to_label()).to_matrix()]
    if name == "unitary":
        return [np.asarray(params[0], dtype=complex)]
    if name in ("id", "delay", "barrier"):
        return [np.eye(1 << len(inst["qubits"]), dtype=complex)]
    gate = get_standard_gate_name_mapping().get(name)
    if gate is None:
        raise UnsupportedInstruction(
            f"the noise model's error instruction '{name}' is not one zentrova simulates")
    if params:
        gate = type(gate)(*params)
    return [Operator(gate).data]


def _branch(instructions: list, k: int) -> list:
    """One circuit of an error as Kraus matrices on its k qubits."""
    total = Kraus(np.eye(1 << k, dtype=complex))
    for inst in instructions:
        mats = _instruction_kraus(inst)
        total = total.compose(Kraus(mats), qargs=list(inst["qubits"]))
    data = total.data
    return [np.asarray(m) for m in (data if isinstance(data, list) else [data])]


def channel_of(error: dict) -> tuple:
    """(probs, branches, kraus, k) of a quantum error's to_dict(), on k qubits."""
    k = 1 + max(q for branch in error["instructions"] for inst in branch for q in inst["qubits"])
    probs = [float(p) for p in error["probabilities"]]
    branches = [_branch(b, k) for b in error["instructions"]]
    # A branch of unitaries composes to one matrix (Kraus keeps it one operator), which a
    # trajectory applies without reading the state; a reset or a Kraus instruction gives several.
    kraus = [math.sqrt(p) * m for p, b in zip(probs, branches) for m in b if p > 0]
    return probs, branches, kraus, k


class NoiseTable:
    """Quantum errors by instruction name (all qubits) and by (name, qubits),
    and readout errors for all qubits and by qubit."""

    def __init__(self):
        self.default: dict = {}
        self.local: dict = {}
        self.readout_default = None
        self.readout: dict = {}

    @classmethod
    def from_model(cls, model) -> "NoiseTable | None":
        if model is None:
            return None
        if isinstance(model, NoiseTable):
            return model
        to_dict = getattr(model, "to_dict", None)
        if to_dict is None:
            raise TypeError(f"noise_model must be a qiskit_aer NoiseModel (or None), not "
                            f"{type(model).__name__}")
        table = cls()
        for error in to_dict()["errors"]:
            if error["type"] == "roerror":
                p = np.asarray(error["probabilities"], dtype=float)
                if p.shape != (2, 2):
                    raise UnsupportedInstruction("zentrova simulates readout errors on one "
                                                 "qubit only, not correlated ones")
                pair = (float(p[0, 0] / p[0].sum()), float(p[1, 1] / p[1].sum()))
                if "gate_qubits" in error:
                    for qubits in error["gate_qubits"]:
                        table.readout[int(qubits[0])] = pair
                else:
                    table.readout_default = pair
                continue
            probs, branches, kraus, k = channel_of(error)
            for name in error["operations"]:
                if "gate_qubits" in error:
                    for qubits in error["gate_qubits"]:
                        table.local[(name, tuple(int(q) for q in qubits))] = [
                            (probs, branches, kraus, k)]
                else:
                    table.default[name] = [(probs, branches, kraus, k)]
        return table

    @property
    def empty(self) -> bool:
        return not (self.default or self.local or self.readout or self.readout_default)

    def errors(self, name: str, qubits: tuple) -> list:
        """The channels that follow the instruction on these qubits, in order."""
        return self.local.get((name, qubits)) or self.default.get(name) or []

    def readout_of(self, qubit: int):
        return self.readout.get(qubit, self.readout_default)


class _Channel(Instruction):
    """A quantum error's place in a circuit, for the reader to turn into a channel."""

    def __init__(self, channel, k: int):
        super().__init__("zentrova_channel", k, 0, [])
        self.channel = channel


def noisy_circuit(circuit: QuantumCircuit, table: NoiseTable) -> QuantumCircuit:
    """circuit with each quantum error placed after its instruction (before a
    measurement), inside if_else blocks too."""
    from qiskit.circuit import IfElseOp
    index = {q: i for i, q in enumerate(circuit.qubits)}
    out = circuit.copy_empty_like()
    for inst in circuit.data:
        op = inst.operation
        if isinstance(op, IfElseOp):
            blocks = [None if b is None else _block(b, inst, index, table) for b in op.blocks]
            op = op.replace_blocks([b for b in blocks if b is not None])
            out.append(op, inst.qubits, inst.clbits)
            continue
        qubits = tuple(index[q] for q in inst.qubits)
        errors = table.errors(op.name, qubits) if qubits else []
        for error in errors:
            # The error's qubit i is the instruction's qubit i; one whose circuits leave its
            # last qubits alone is read as narrower (their part is the identity).
            if error[3] > len(qubits):
                raise UnsupportedInstruction(
                    f"the noise model's error for '{op.name}' acts on {error[3]} qubits, the "
                    f"instruction on {len(qubits)}")
        before = op.name == "measure"  # Aer applies a measurement's errors before it
        for error in errors if before else ():
            out.append(_Channel(error, error[3]), inst.qubits[:error[3]])
        out.append(op, inst.qubits, inst.clbits)
        for error in () if before else errors:
            out.append(_Channel(error, error[3]), inst.qubits[:error[3]])
    return out


def _block(block: QuantumCircuit, inst, index: dict, table: NoiseTable) -> QuantumCircuit:
    """An if_else body with its errors, read on the outer circuit's qubits."""
    outer = dict(zip(block.qubits, (index[q] for q in inst.qubits)))
    mapped = NoiseTable()
    mapped.default = table.default
    # the body's qubit i is the outer circuit's outer[...]: local errors by outer number
    mapped.local = {}
    for (name, qubits), error in table.local.items():
        inner = {v: q for q, v in outer.items()}
        if all(q in inner for q in qubits):
            mapped.local[(name, tuple(block.find_bit(inner[q]).index for q in qubits))] = error
    return noisy_circuit(block, mapped)


def from_target(target, num_qubits: int | None = None) -> NoiseTable:
    """The noise AerSimulator.from_backend builds from a Target: T1/T2 thermal
    relaxation over every gate's and reset's duration, each gate's error as a
    depolarizing channel before it making up the rest of the gate's average
    infidelity (as Aer's device model solves it), and each measurement's
    error as a symmetric readout error."""
    table = NoiseTable()
    n = target.num_qubits if num_qubits is None else num_qubits
    props = [target.qubit_properties[q] if target.qubit_properties else None for q in range(n)]
    for name in target.operation_names:
        if name == "delay":
            continue
        for qargs, ip in (target[name] or {}).items():
            if qargs is None or ip is None:
                continue
            qargs = tuple(qargs)
            error = ip.error or 0.0
            duration = ip.duration or 0.0
            if name == "measure":  # its error is a readout error alone, as Aer takes it
                if error > 0:
                    table.readout[qargs[0]] = (1.0 - error, 1.0 - error)
                continue
            k = len(qargs)
            channels = []
            relax = _relaxation(qargs, props, duration)
            relax_fidelity = 1.0 if relax is None else _average_fidelity(relax, k)
            dep = _depolarizing(error, relax_fidelity, k)
            if dep is not None:  # depolarizing first, then relaxation, as Aer composes them
                channels.append(dep)
            if relax is not None:
                channels.append(([1.0], [relax], relax, k))
            if channels:
                table.local[(name, qargs)] = channels
    return table


def _relaxation(qargs, props, duration):
    """Kraus matrices of thermal relaxation on every qubit of qargs over
    duration (seconds), qiskit's order; None when there is none."""
    if not duration:
        return None
    total, any_ = Kraus(np.eye(1 << len(qargs), dtype=complex)), False
    for i, q in enumerate(qargs):
        p = props[q] if q < len(props) else None
        t1 = getattr(p, "t1", None)
        t2 = getattr(p, "t2", None)
        if not t1 and not t2:
            continue
        t1 = t1 or math.inf
        t2 = min(t2 or math.inf, 2 * t1)
        total = total.compose(Kraus(_thermal(t1, t2, duration)), qargs=[i])
        any_ = True
    return [np.asarray(m) for m in total.data] if any_ else None


def _thermal(t1: float, t2: float, time: float) -> list:
    """Thermal relaxation at zero temperature: amplitude damping of
    1 - exp(-t/T1) and the dephasing that brings coherence to exp(-t/T2)."""
    gamma = 1.0 - math.exp(-time / t1)
    coherence = math.exp(-time / t2)
    # after amplitude damping coherence is sqrt(1 - gamma); dephase the rest
    lam = 1.0 - (coherence / math.sqrt(1.0 - gamma)) ** 2 if gamma < 1 else 0.0
    lam = min(max(lam, 0.0), 1.0)
    a = [np.array([[1, 0], [0, math.sqrt(1 - gamma)]], dtype=complex),
         np.array([[0, math.sqrt(gamma)], [0, 0]], dtype=complex)]
    z = np.diag([1.0, -1.0]).astype(complex)
    p = (1 - math.sqrt(1 - lam)) / 2
    d = [math.sqrt(1 - p) * np.eye(2, dtype=complex), math.sqrt(p) * z]
    return [x @ y for x in d for y in a]


def _average_fidelity(mats, k: int) -> float:
    d = 1 << k
    process = sum(abs(np.trace(m)) ** 2 for m in mats) / d ** 2
    return (d * process + 1) / (d + 1)


def _depolarizing(error: float, relax_fidelity: float, k: int):
    """The depolarizing channel that, composed with the relaxation, gives the
    gate the average fidelity 1 - error (none when relaxation alone reaches
    it): p = d (F_relax - F) / (d F_relax - 1), as Aer's device model solves it."""
    relax_infidelity = 1.0 - relax_fidelity
    if error <= relax_infidelity:
        return None
    d = 1 << k
    error = min(error, d / (d + 1))
    p = min(d * (error - relax_infidelity) / (d * relax_fidelity - 1), 4 ** k / (4 ** k - 1))
    paulis = [Pauli("".join(s)).to_matrix() for s in _labels(k)]
    weights = [1 - p + p / 4 ** k] + [p / 4 ** k] * (4 ** k - 1)
    return (weights, [[m] for m in paulis],
            [math.sqrt(w) * m for w, m in zip(weights, paulis) if w > 0], k)


def _labels(k: int):
    import itertools
    return itertools.product("IXYZ", repeat=k)

