#!/usr/bin/env bash
# The Qiskit plugin's tests: builds build/venv-qiskit (CPython 3.12 with
# Qiskit, Dask's distributed scheduler and pytest; none of them a dependency
# of zentrova itself), installs zentrova from this checkout with its [qiskit]
# and [dask] extras, and runs tests/plugins/qiskit, the Qiskit examples included. Safe to
# run again: the environment is kept while its requirements are unchanged.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh

PY312=$(require_python 3.12)
echo "== Qiskit plugin: environment build/venv-qiskit (on $PY312)"
VPY=$PWD/$(project_venv build/venv-qiskit "$PY312" scripts/requirements-qiskit.txt)
# CMake and Ninja from that environment, for building zentrova without an
# isolated build environment.
export PATH="$PWD/build/venv-qiskit/bin:$PATH"
"$VPY" -m pip install -q --disable-pip-version-check --no-build-isolation \
  -C build-dir=build/module-qiskit ".[qiskit,dask]"
echo "== Qiskit plugin tests ($("$VPY" -c 'import qiskit; print("Qiskit", qiskit.__version__)'))"
# From inside the test folder, so that the checkout's plugins/ cannot shadow
# the installed package: the tests see what pip installed.
(cd tests/plugins/qiskit && "$VPY" -m pytest -q -p no:cacheprovider .)
