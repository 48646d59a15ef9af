"""zentrova as a PennyLane device: ``qml.device("zentrova.qubit", wires=n)``.

Installed with ``pip install "zentrova[pennylane]"``, which registers the device under
PennyLane's ``pennylane.plugins`` entry point."""

from .device import ZentrovaQubit

__all__ = ["ZentrovaQubit"]
