#!/usr/bin/env bash
# The Cirq plugin's tests: builds build/venv-cirq (CPython 3.12 with cirq-core,
# Dask's distributed scheduler and pytest; none of them a dependency of
# zentrova itself), installs zentrova from this checkout with its [cirq]
# extra, and runs tests/plugins/cirq, the Cirq example included. Safe to run
# again: the environment is kept while its requirements are unchanged.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh

PY312=$(require_python 3.12)
echo "== Cirq plugin: environment build/venv-cirq (on $PY312)"
VPY=$PWD/$(project_venv build/venv-cirq "$PY312" scripts/requirements-cirq.txt)
# CMake and Ninja from that environment, for building zentrova without an
# isolated build environment.
export PATH="$PWD/build/venv-cirq/bin:$PATH"
"$VPY" -m pip install -q --disable-pip-version-check --no-build-isolation \
  -C build-dir=build/module-cirq ".[cirq]"
echo "== Cirq plugin tests ($("$VPY" -c 'import cirq; print("Cirq", cirq.__version__)'))"
# From inside the test folder, so that the checkout's plugins/ cannot shadow
# the installed package: the tests see what pip installed.
(cd tests/plugins/cirq && "$VPY" -m pytest -q -p no:cacheprovider .)
