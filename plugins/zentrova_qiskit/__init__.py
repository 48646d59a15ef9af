"""zentrova behind Qiskit's interfaces: a BackendV2 for backend.run() and
transpile(), and the SamplerV2 and EstimatorV2 primitives, each able to spread
independent circuits over any concurrent.futures.Executor.

    from zentrova_qiskit import ZentrovaBackend, ZentrovaSampler, ZentrovaEstimator
"""

from ._translate import UnsupportedInstruction
from .backend import ZentrovaBackend, ZentrovaJob
from .primitives import ZentrovaEstimator, ZentrovaSampler

__all__ = ["ZentrovaBackend", "ZentrovaEstimator", "ZentrovaJob", "ZentrovaSampler",
           "UnsupportedInstruction"]
