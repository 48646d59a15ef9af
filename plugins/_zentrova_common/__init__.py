"""What every zentrova plugin shares, knowing no framework: it imports only zentrova, its
read-out module and numpy, so a worker process can use it without PennyLane, Qiskit or Cirq.

Conventions: a one-qubit matrix is four complex entries row by row, (m00, m01, m10, m11), the
argument order of QuantumRegister.u and .mcu; qubit q is bit q of a basis-state index.

Matrices (same bits on every machine: sines and cosines come from the engine's rotation)
    FIXED                    the fixed gates by name: x y z h s sdg t tdg sx sxdg
    cos_sin(a), expi(a)      correctly rounded cos/sin and e^(ia); sin(-0.0) is -0.0
    rx, ry, rz, phase        rotations and diag(1, e^(i phi))
    rot(phi, theta, omega)   RZ(omega) RY(theta) RZ(phi)
    u3(theta, phi, lam)      the general one-qubit gate (U3, U)
    controlled_calls(controls, control_values, target, matrix)
                             the register calls, as (method, args), of a matrix under
                             controls that may fire on 0 (x gates around them)
Sampling (numpy Generator; a seeded run repeats)
    sample_indices(probs, shots, rng, in_place=False)
                             basis-state indices drawn from exact probabilities, normalised
                             by their total (in_place: their cumulative sums made in probs)
    measure(reg, qubit, draw, reset=False)
                             a mid-circuit measurement: outcome from the marginal with draw()
                             (uniform in [0, 1)), collapse and renormalisation in one `u`
    measurer(n, draw)        (queue, measure, new_shot): one program run shot by shot on n
                             qubits, gates queued and marginals remembered along each shot's
                             outcomes; the bits of running every call with measure()
    uniform_draws(rng)       rng.random's numbers one at a time, drawn in batches
Tasks (one circuit each; the same bits wherever they run)
    task_rng(seed)           the generator of a task seeded (entropy, spawn key)
    submit_batches(executor, fn, kind, tasks, total)
                             futures of fn(kind, batch), tasks in at most MAX_BATCHES batches
    qubitwise_groups(terms)  first-fit qubit-wise commuting groups of Pauli terms
    fold(p, top, terms, out) expectation values of terms from probabilities, folding qubits
                             away in a fixed order of elementwise additions
Errors (all derive from Exception and pickle)
    RefusedError             zentrova refused a circuit (memory, or the module's fatal error)
    panics_as(error_type, prefix)  context manager: PanicException -> error_type(message)
    is_panic(error)
    check_memory(qubits, what, bytes_per_entry, error_type)
                             refuses before the module is asked: qubits, bytes needed, bytes
                             available in the message
    available_memory()       the host's figure, as the module reads it, or None
    max_qubits(bytes_per_entry=16)  the largest register that figure allows, or None
    check_finite(values, what)     ValueError naming `what` for NaN or infinite values
    check_max_workers(value)       ValueError unless an int >= 1 or None
    check_threads(value)     the thread count a plugin's threads= setting asks for (None:
                             usable_cores()); ValueError unless an int >= 1 or None
    usable_cores()           the cores the process may use: affinity mask and cgroup CPU quota
Noise (the submodule _zentrova_common.noise, imported on its own: it needs zentrova_program)
    mixture_branch, trajectory_branch   a trajectory's branch at a channel
    density_ops, density_matrix         a density matrix as a state of twice the qubits
    fused_density_ops                   the same, each run of one-qubit gates and channels
                                        on a qubit one 4x4 superoperator
Idle qubits
    Layout(n, used)          used qubits packed densely: .width, .dense, .used, .bits(indices,
                             qubit), .full_indices(), .expand(values, what, error_type)
"""

from .errors import (
    RefusedError,
    available_memory,
    check_finite,
    check_max_workers,
    check_memory,
    check_threads,
    is_panic,
    max_qubits,
    panics_as,
    usable_cores,
)
from .layout import Layout
from .matrices import (
    FIXED,
    K,
    ONE,
    ZERO,
    controlled_calls,
    cos_sin,
    expi,
    phase,
    rot,
    rx,
    ry,
    rz,
    u3,
)
from .sampling import measure, measurer, sample_indices, uniform_draws
from .tasks import MAX_BATCHES, fold, qubitwise_groups, submit_batches, task_rng

__all__ = [
    "FIXED", "K", "MAX_BATCHES", "ONE", "ZERO", "Layout", "RefusedError", "available_memory",
    "check_finite", "check_max_workers", "check_memory", "check_threads", "controlled_calls",
    "cos_sin", "expi", "fold", "is_panic", "max_qubits", "measure", "measurer", "panics_as",
    "phase", "qubitwise_groups", "rot", "rx", "ry", "rz", "sample_indices", "submit_batches",
    "task_rng", "u3", "uniform_draws", "usable_cores",
]
