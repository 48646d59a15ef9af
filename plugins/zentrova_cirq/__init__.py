"""zentrova behind Cirq's simulator interfaces: ZentrovaSimulator, a drop-in for
cirq.Simulator (run, run_sweep, compute_amplitudes, simulate, simulate_sweep,
simulate_expectation_values), exact, seeded, and able to spread parameter
sweeps over any concurrent.futures.Executor.

    from zentrova_cirq import ZentrovaSimulator

The classes are imported on first use, so that a worker process, which only
runs zentrova_cirq._worker, never imports Cirq.
"""

import importlib

from _zentrova_common import RefusedError

_WHERE = {"ZentrovaSimulator": "simulator", "UnsupportedOperation": "_translate"}
__all__ = sorted([*_WHERE, "RefusedError"])


def __getattr__(name: str):
    if name in _WHERE:
        value = getattr(importlib.import_module(f".{_WHERE[name]}", __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(_WHERE))
