"""Type stubs for zentrova_readout: a register's probabilities and amplitudes as arrays.

Installed like zentrova.pyi: beside the module, and again as
zentrova_readout-stubs/__init__.pyi for mypy. Tests compare it with the module.
"""

from collections.abc import Buffer
from typing import TypeVar, final, overload

from zentrova import QuantumRegister

__all__ = ["probabilities", "amplitudes", "ProbabilityBuffer", "AmplitudeBuffer"]

_Out = TypeVar("_Out", bound=Buffer)

@final
class ProbabilityBuffer:
    """A copy of 2**n float64 probabilities; a writable buffer of format 'd'."""

    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __len__(self) -> int: ...

@final
class AmplitudeBuffer:
    """A copy of 2**n complex128 amplitudes; a writable buffer of format 'Zd'."""

    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __len__(self) -> int: ...

# Without out: a new copy. With out (writable, C-contiguous, 2**n items of the
# right type, float64 resp. complex128): out is filled and returned. Raises
# RuntimeError("Already borrowed") for a register in use, PanicException when the
# host lacks the memory for the copy. The register is never changed.
@overload
def probabilities(reg: QuantumRegister, out: None = None) -> ProbabilityBuffer: ...
@overload
def probabilities(reg: QuantumRegister, out: _Out) -> _Out: ...
@overload
def amplitudes(reg: QuantumRegister, out: None = None) -> AmplitudeBuffer: ...
@overload
def amplitudes(reg: QuantumRegister, out: _Out) -> _Out: ...
