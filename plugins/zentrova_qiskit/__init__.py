"""zentrova behind Qiskit's interfaces: a BackendV2 for backend.run() and
transpile(), and the SamplerV2 and EstimatorV2 primitives, each able to spread
independent circuits over any concurrent.futures.Executor.

    from zentrova_qiskit import ZentrovaBackend, ZentrovaSampler, ZentrovaEstimator

The classes are imported on first use, so that a worker process, which only
runs zentrova_qiskit._worker, never imports Qiskit.
"""

import importlib

_WHERE = {"ZentrovaBackend": "backend", "ZentrovaJob": "backend",
          "ZentrovaEstimator": "primitives", "ZentrovaSampler": "primitives",
          "UnsupportedInstruction": "_translate"}
__all__ = sorted(_WHERE)


def __getattr__(name: str):
    if name in _WHERE:
        value = getattr(importlib.import_module(f".{_WHERE[name]}", __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(_WHERE))
