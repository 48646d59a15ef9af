#!/usr/bin/env bash
# Tests the zentrova.qubit PennyLane device: makes build/venv-pennylane (CPython 3.12 with
# PennyLane and its device suite's tools), installs zentrova from this checkout with its
# pennylane extra, runs PennyLane's own device suite against zentrova.qubit, analytic and
# with 10,000 shots, then the plugin's own tests and example. Safe to run again: the
# environment is kept while its requirements are unchanged, and zentrova is rebuilt from
# the checkout every time. Called by scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh

PY312=$(require_python 3.12)
echo "== PennyLane environment build/venv-pennylane (on $PY312)"
VPY=$(project_venv build/venv-pennylane "$PY312" scripts/requirements-pennylane.txt)
# pl-device-test starts `pytest` by name, and pip's build runs cmake and ninja by name:
# all must be this environment's.
export PATH="$PWD/build/venv-pennylane/bin:$PATH"
export PIP_ROOT_USER_ACTION=ignore
"$VPY" -m pip install -q --disable-pip-version-check --no-build-isolation \
  -C build-dir=build/module-pennylane ".[pennylane]"

SECONDS=0
# From outside the checkout, so that nothing in it shadows the installed packages.
suite() {
  local device=$1
  shift
  echo "== PennyLane's device suite on $device: $*"
  (cd build && pl-device-test --device "$device" -q -p no:cacheprovider -rs "$@")
}
for device in zentrova.qubit zentrova.mixed; do
  suite "$device"
  suite "$device" --shots 10000 --skip-ops
done

echo "== zentrova.qubit's own tests and example"
"$VPY" -m pytest -q -p no:cacheprovider tests/plugins/pennylane
echo "== PennyLane tests passed in ${SECONDS}s"
