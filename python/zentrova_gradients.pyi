"""Type stubs for zentrova_gradients: expectation values and their Jacobian by adjoint
differentiation, on zentrova's engine.

Installed like zentrova.pyi: beside the module, and again as
zentrova_gradients-stubs/__init__.pyi for mypy.
"""

from collections.abc import Sequence
from typing import Any, SupportsComplex, SupportsFloat, SupportsIndex, TypeAlias

__all__ = ["jacobian"]

_Wires: TypeAlias = SupportsIndex | Sequence[SupportsIndex]
_Matrix: TypeAlias = Sequence[Sequence[SupportsComplex | SupportsFloat]]
# (name, wires), (name, wires, angle or matrix), (name, wires, angle or matrix, column or None),
# (name, wires, matrix, column or None, generator as Pauli terms)
_Gate: TypeAlias = (
    tuple[str, _Wires]
    | tuple[str, _Wires, SupportsFloat | _Matrix]
    | tuple[str, _Wires, SupportsFloat | _Matrix, SupportsIndex | None]
    | tuple[str, _Wires, _Matrix, SupportsIndex | None, Sequence[tuple[SupportsFloat, str, _Wires]]]
)
# (coefficient, "XYZ...", wires) or (Hermitian matrix, wires)
_Term: TypeAlias = tuple[SupportsFloat, str, _Wires] | tuple[_Matrix, _Wires]

def jacobian(
    qubits: SupportsIndex,
    gates: Sequence[_Gate],
    observables: Sequence[Sequence[_Term]],
    threads: SupportsIndex | None = 1,
) -> tuple[Any, Any]:
    """(values, jacobian): values[k] = <O_k> after the gates, jacobian[k, c] its derivative by
    parameter c; numpy float64 arrays (memoryviews of format 'd' without numpy)."""
