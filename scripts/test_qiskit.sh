#!/usr/bin/env bash
# The Qiskit plugin's tests: builds build/venv-qiskit (CPython 3.12 with
# Qiskit, Dask's distributed scheduler and pytest; none of them a dependency
# of zentrova itself), installs zentrova from this checkout with its [qiskit]
# and [dask] extras, and runs tests/plugins/qiskit, the Qiskit examples included. Safe to
# run again: the environment is kept while its requirements are unchanged.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh
plugin_tests qiskit qiskit,dask 'import qiskit; print("Qiskit", qiskit.__version__)'
