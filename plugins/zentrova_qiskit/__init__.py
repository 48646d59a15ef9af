"""zentrova behind Qiskit's interfaces: a BackendV2 for backend.run() and
transpile(), and the SamplerV2 and EstimatorV2 primitives, each able to spread
independent circuits over any concurrent.futures.Executor.

    from zentrova_qiskit import ZentrovaBackend, ZentrovaSampler, ZentrovaEstimator

The classes are imported on first use, so that a worker process, which only
runs zentrova_qiskit._worker, never imports Qiskit.
"""

from _zentrova_common.lazy import lazy_exports

_WHERE = {"ZentrovaBackend": "backend", "ZentrovaJob": "backend",
          "ZentrovaEstimator": "primitives", "ZentrovaSampler": "primitives",
          "UnsupportedInstruction": "_translate"}
__all__ = sorted(_WHERE)

__getattr__, __dir__ = lazy_exports(globals(), _WHERE)
