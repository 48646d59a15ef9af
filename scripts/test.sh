#!/usr/bin/env bash
# Runs every test: the engine's GoogleTest suite through ctest, the same suite
# cross-built for Windows and run under Wine, then the module's pytest suite
# against a freshly installed build, then both again under the sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
PY=${PYTHON:-python3.12}
PY_EXE=$("$PY" -c 'import sys; print(sys.executable)')
JOBS=$(nproc 2>/dev/null || echo 2)

echo "== engine tests"
cmake -S . -B build/test -G Ninja -DZENTROVA_BUILD_TESTS=ON -DZENTROVA_BUILD_PYTHON=OFF \
  -DPython_EXECUTABLE="$PY_EXE" >/dev/null
cmake --build build/test -j "$JOBS"
ctest --test-dir build/test --output-on-failure -j "$JOBS"

bash scripts/test_windows.sh

echo "== module tests"
"$PY" -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation .
"$PY" -m pytest -q tests/python

echo "== module tests on the scalar kernels"
# The gate and read-out tests once more, against a module that always runs the
# scalar reference kernels: both paths must match the pure-Python model.
cmake -S . -B build/scalar -G Ninja -DZENTROVA_BUILD_PYTHON=ON -DZENTROVA_FORCE_SCALAR=ON \
  -DPython_EXECUTABLE="$PY_EXE" >/dev/null
cmake --build build/scalar -j "$JOBS" --target zentrova
PYTHONPATH=build/scalar/python "$PY" -m pytest -q tests/python -k "gates or measure"

bash scripts/test_sanitizers.sh
