"""Idle qubits: a circuit transpiled for a large device acts on a few of its qubits. Only
those are simulated, on a register of their own, and results are mapped back: an idle
qubit reads 0.

Qubits are numbered as in zentrova: qubit q is bit q of a basis-state index."""

import numpy as np

from .errors import RefusedError, check_memory


class Layout:
    """The qubits `used` out of `n`, packed in their order: qubit used[i] is qubit i of the
    smaller register (dense[q] gives i)."""

    def __init__(self, n: int, used):
        self.n = n
        self.used = sorted(set(used))
        self.dense = {q: i for i, q in enumerate(self.used)}

    @property
    def width(self) -> int:
        """The qubits of the register that is simulated."""
        return len(self.used)

    @property
    def is_identity(self) -> bool:
        return self.width == self.n

    def bits(self, indices: np.ndarray, qubit: int) -> np.ndarray:
        """Bit `qubit` (of the full register) of each dense basis index: 0 for an idle qubit."""
        if qubit not in self.dense:
            return np.zeros(len(indices), dtype=np.int64)
        return (indices >> self.dense[qubit]) & 1

    def full_indices(self) -> np.ndarray:
        """The full register's index of each basis state of the dense one."""
        dense = np.arange(1 << self.width, dtype=np.uint64)
        out = np.zeros_like(dense)
        for i, q in enumerate(self.used):
            out |= ((dense >> np.uint64(i)) & np.uint64(1)) << np.uint64(q)
        return out

    def expand(self, values: np.ndarray, what: str = "a result",
               error_type=RefusedError) -> np.ndarray:
        """Probabilities or amplitudes of the dense register as those of all n qubits (zero
        wherever an idle qubit reads 1); refused with error_type when 2**n of them would
        not fit in memory."""
        values = np.asarray(values)
        if self.is_identity:
            return values
        check_memory(self.n, what, values.itemsize, error_type)
        out = np.zeros(1 << self.n, dtype=values.dtype)
        out[self.full_indices()] = values
        return out
