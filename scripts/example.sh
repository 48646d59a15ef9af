#!/usr/bin/env bash
# Builds and installs zentrova for Python 3.12, then runs the Bell-pair example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
PY=${PYTHON:-python3.12}
"$PY" -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation .
"$PY" examples/bell_pair.py
