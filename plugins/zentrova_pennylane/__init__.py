"""zentrova as PennyLane devices: ``qml.device("zentrova.qubit", wires=n)``, and
``qml.device("zentrova.mixed", wires=n)`` for exact density matrices of noisy circuits.

Installed with ``pip install "zentrova[pennylane]"``, which registers the devices under
PennyLane's ``pennylane.plugins`` entry point."""

from .device import ZentrovaQubit
from .mixed import ZentrovaMixed

__all__ = ["ZentrovaMixed", "ZentrovaQubit"]
