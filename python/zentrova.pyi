"""Type stubs for the zentrova extension module, for type checkers and editors.

The one source of the stubs: the build installs this file beside the module
(where editors look) and again as zentrova-stubs/__init__.pyi (the PEP 561
stub-only package, which is what mypy reads for a single-module extension).
Parameter names and order match the runtime signatures; tests check them.
"""

from collections.abc import Sequence
from typing import SupportsComplex, SupportsFloat, SupportsIndex, final
from typing import Self, TypeAlias

__all__ = ["QuantumRegister", "PyDiracKet"]

# Anything with __index__ (int, bool, numpy integers) in 0 .. 2**64 - 1.
_Qubit: TypeAlias = SupportsIndex
# The module converts with float(): float, int, or anything with __float__ or __index__.
_Angle: TypeAlias = SupportsFloat | SupportsIndex
# The module takes complex and its subclasses only. Spelled as a protocol rather than
# `complex` because type checkers let int and float pass where `complex` is declared,
# and the module refuses both: this way `reg.u(0, 1, 0, 0, 1)` is caught before it runs.
_Entry: TypeAlias = SupportsComplex

@final
class PyDiracKet:
    """A measurement outcome. repr and str give the ket, e.g. |0101>.

    Made only by the measurements; calling the class raises TypeError.
    Compares and hashes by identity: compare repr() texts instead.
    """

    def __repr__(self) -> str: ...

@final
class QuantumRegister:
    """A register of n qubits in the state |0...0>, qubit 0 the least significant bit."""

    def __new__(cls, n: _Qubit) -> Self:
        """Allocates 16 * 2**n bytes; raises PanicException if the host lacks the memory."""

    # Measurements. A target that is not below n raises PanicException("target out of scope!").
    def observe(self) -> PyDiracKet:
        """Measures every qubit and collapses the state; the ket shows qubit n-1 first."""

    def observe_one(self, target: _Qubit) -> PyDiracKet:
        """Measures one qubit and collapses it: |0> or |1>."""

    def observe_mul(self, targets: Sequence[_Qubit]) -> PyDiracKet:
        """Measures the targets; the ket's digit k (from the right) is the k-th smallest target."""

    def god_observe(self) -> list[float]:
        """The probability of each of the 2**n basis states, without disturbing the state."""

    # Gates return the register itself, so calls chain. A bad qubit raises ValueError.
    def x(self, target: _Qubit) -> Self: ...
    def h(self, target: _Qubit) -> Self: ...
    def u(self, target: _Qubit, u00: _Entry, u01: _Entry, u10: _Entry, u11: _Entry) -> Self:
        """Applies [[u00, u01], [u10, u11]]; entries must be complex (1+0j, not 1)."""

    def cnot(self, control: _Qubit, target: _Qubit) -> Self: ...
    def ccnot(self, control1: _Qubit, control2: _Qubit, target: _Qubit) -> Self: ...
    def rz(self, target: _Qubit, theta: _Angle) -> Self: ...
    def rx(self, target: _Qubit, theta: _Angle) -> Self: ...
    def ry(self, target: _Qubit, theta: _Angle) -> Self: ...
    def swap(self, q1: _Qubit, q2: _Qubit) -> Self: ...
    def csswap(self, control: _Qubit, target_1: _Qubit, target_2: _Qubit) -> Self: ...
    def mcu(
        self,
        control: Sequence[_Qubit],
        target: _Qubit,
        u00: _Entry,
        u01: _Entry,
        u10: _Entry,
        u11: _Entry,
    ) -> Self:
        """Applies [[u00, u01], [u10, u11]] to target where every control qubit reads 1."""
