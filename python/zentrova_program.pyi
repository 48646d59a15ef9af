"""Type stubs for zentrova_program: whole lists of operations run on a zentrova register in one
call, with the interpreter lock released.

Installed like zentrova.pyi: beside the module, and again as
zentrova_program-stubs/__init__.pyi for mypy.
"""

from collections.abc import Iterable, Sequence
from typing import Any, Final, SupportsComplex, SupportsFloat, SupportsIndex, TypeAlias

from zentrova import QuantumRegister

__all__ = ["run", "expectations"]

MAX_OPERATION_QUBITS: Final[int]

_Entries: TypeAlias = Sequence[SupportsComplex | SupportsFloat] | Sequence[
    Sequence[SupportsComplex | SupportsFloat]
] | Any
# (name, args): args as QuantumRegister's method of that name takes them, or for "diagonal" and
# "matrix": (targets, entries) or (targets, entries, controls, values).
_Operation: TypeAlias = tuple[str, Sequence[Any]]

def run(
    register: QuantumRegister,
    operations: Iterable[_Operation],
    fuse: bool = False,
    threads: SupportsIndex | None = 1,
) -> QuantumRegister:
    """Runs the operations on register in one call and returns it; ValueError names the first
    operation refused, before any runs."""

# (coefficient, "XYZ...", wires) or (Hermitian matrix, wires)
_Wires: TypeAlias = SupportsIndex | Sequence[SupportsIndex]
_Term: TypeAlias = (
    tuple[SupportsFloat, str, _Wires]
    | tuple[Sequence[Sequence[SupportsComplex | SupportsFloat]], _Wires]
)

def expectations(register: QuantumRegister, observables: Sequence[Sequence[_Term]]) -> Any:
    """<psi|O|psi> for each observable, a numpy float64 array (a memoryview of format 'd'
    without numpy); the state is not changed."""
