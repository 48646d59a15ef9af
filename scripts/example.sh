#!/usr/bin/env bash
# Builds zentrova and installs it into CPython 3.12 (the interpreter itself, as
# `pip install .` would), then runs the Bell-pair example. Installs nothing
# else: pip fetches the build backend into a throwaway build environment.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh
source scripts/packages.sh

PY=$(require_python 3.12)
if ! command -v c++ >/dev/null && ! command -v g++ >/dev/null; then
  echo "== installing a C++ compiler (Debian package g++)"
  install_debs g++
fi
echo "== building and installing zentrova for $PY"
"$PY" -m pip install -q --disable-pip-version-check --root-user-action=ignore .
"$PY" examples/bell_pair.py
cat <<MSG

zentrova is installed for $PY.
Run your own scripts with it from any folder:
  $PY my_circuit.py
MSG
