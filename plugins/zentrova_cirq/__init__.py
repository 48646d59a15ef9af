"""zentrova behind Cirq's simulator interfaces: ZentrovaSimulator, a drop-in for
cirq.Simulator (run, run_sweep, compute_amplitudes, simulate, simulate_sweep,
simulate_expectation_values), exact, seeded, noise by seeded trajectories, and
able to spread parameter sweeps over any concurrent.futures.Executor; and
ZentrovaDensityMatrixSimulator, a drop-in for cirq.DensityMatrixSimulator.

    from zentrova_cirq import ZentrovaSimulator

The classes are imported on first use, so that a worker process, which only
runs zentrova_cirq._worker, never imports Cirq.
"""

from _zentrova_common import RefusedError
from _zentrova_common.lazy import lazy_exports

_WHERE = {"ZentrovaSimulator": "simulator", "ZentrovaDensityMatrixSimulator": "simulator",
          "UnsupportedOperation": "_translate"}
__all__ = sorted([*_WHERE, "RefusedError"])

__getattr__, __dir__ = lazy_exports(globals(), _WHERE)
