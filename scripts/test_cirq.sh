#!/usr/bin/env bash
# The Cirq plugin's tests: builds build/venv-cirq (CPython 3.12 with cirq-core
# and pytest, neither a dependency of zentrova itself), installs zentrova from
# this checkout with its [cirq] extra, and runs tests/plugins/cirq, the Cirq
# example included. Safe to run again: the environment is kept while its
# requirements are unchanged.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh
plugin_tests cirq cirq 'import cirq; print("Cirq", cirq.__version__)'
