#!/usr/bin/env bash
# Prepares build/peers-venv, the Python 3.12 environment that bench/peers.py,
# bench/circuits.py, bench/cirq_bench.py and bench/call_overhead.py run in: zentrova built from
# this tree, and the simulators it is compared with (qulacs, qiskit-aer,
# pennylane-lightning, qsimcirq). Those peers are for the benchmark only and
# never a dependency of zentrova. They are pinned to the versions that
# bench/README.md names beside its figures, so a run compares with the same
# peers; change a pin only together with the figures that quote it. Safe to
# run again: peers already at their pinned version are kept, and zentrova is
# rebuilt and reinstalled every time, so a run after a kernel change measures
# it.
#   bash bench/setup_peers.sh            # venv, peers, zentrova
#   bash bench/setup_peers.sh --zentrova # only rebuild and reinstall zentrova
#   bash bench/setup_peers.sh --at-once  # also a second zentrova that applies
#                                        # every gate when it is called
# The --at-once copy is built with ZENTROVA_APPLY_AT_ONCE=ON into its own
# directory, build/bench-at-once (not the venv's site-packages), where
# bench/circuits.py finds it and runs it in a subprocess beside the recording
# build, so one run shows what recording gains.
# With ZENTROVA_FORCE_SCALAR=1 in the environment zentrova is built to run its
# scalar reference kernels only, to compare them with the vector ones.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PYTHON:-python3.12}
VENV=build/peers-venv
VPY=$VENV/bin/python
PIP=("$VPY" -m pip -q --disable-pip-version-check)
export PIP_ROOT_USER_ACTION=ignore

only_zentrova=0
at_once=0
for arg in "$@"; do
  case "$arg" in
    --zentrova) only_zentrova=1 ;;
    --at-once) at_once=1 ;;
    *) echo "usage: $0 [--zentrova] [--at-once]" >&2; exit 2 ;;
  esac
done

if [ ! -x "$VPY" ]; then
  echo "== creating $VENV"
  "$PY" -m venv "$VENV"
fi
"$VPY" -c 'import sys; assert sys.version_info[:2] == (3, 12)' || {
  echo "error: $VENV does not run CPython 3.12; remove it and run again" >&2; exit 1; }

# The build tools, for building zentrova without an isolated build environment.
"${PIP[@]}" install scikit-build-core cmake ninja

if [ "$only_zentrova" -eq 0 ]; then
  "${PIP[@]}" install -U pip
  # One at a time, so that a peer that cannot be installed leaves the others.
  for pin in qulacs==0.6.14 qiskit==2.6.2 qiskit-aer==0.18.2 pennylane==0.45.1 \
             pennylane-lightning==0.45.0 qsimcirq==0.22.1; do
    pkg=${pin%%==*}
    if "$VPY" -c 'import sys; from importlib import metadata
sys.exit(metadata.version(sys.argv[1]) != sys.argv[2])' "$pkg" "${pin#*==}" 2>/dev/null; then
      continue
    fi
    echo "== installing $pin"
    "${PIP[@]}" install "$pin" || echo "warning: could not install $pin; peers.py skips it" >&2
  done
fi

# Its own build directory, so that this never disturbs another build of the tree.
# The scalar switch is passed either way, as CMake would keep a cached ON.
force_scalar=OFF
[ "${ZENTROVA_FORCE_SCALAR:-0}" = "0" ] || force_scalar=ON
echo "== building zentrova into $VENV (ZENTROVA_FORCE_SCALAR=$force_scalar)"
"${PIP[@]}" install --no-build-isolation --no-deps --force-reinstall \
  -C build-dir=build/bench-py -C cmake.define.ZENTROVA_FORCE_SCALAR=$force_scalar .

if [ "$at_once" -eq 1 ]; then
  echo "== building zentrova with ZENTROVA_APPLY_AT_ONCE=ON into build/bench-at-once"
  rm -rf build/bench-at-once
  "${PIP[@]}" install --no-build-isolation --no-deps --target build/bench-at-once \
    -C build-dir=build/bench-py-at-once -C cmake.define.ZENTROVA_FORCE_SCALAR=$force_scalar \
    -C cmake.define.ZENTROVA_APPLY_AT_ONCE=ON .
fi

"$VPY" - <<'EOF'
from importlib import metadata
for name in ("zentrova", "qulacs", "qiskit", "qiskit-aer", "pennylane", "pennylane-lightning", "qsimcirq"):
    try:
        print(f"   {name} {metadata.version(name)}")
    except metadata.PackageNotFoundError:
        print(f"   {name}: not installed")
EOF
