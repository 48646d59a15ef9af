#!/usr/bin/env bash
# Runs every test: the engine's GoogleTest suite through ctest, the same suite
# cross-built for Windows and run under Wine, the module's pytest suite on
# CPython 3.12 and 3.13 against fresh builds, both suites again under the
# sanitizers, and the release artefacts' checks. The test tools live in the
# project's own virtual environments (build/venv-*), never in the user's
# interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# CMake and Ninja from the test environment: pyenv's shims would look for them
# in whichever interpreter this folder selects, which need not have them.
export PATH="$PWD/build/venv-3.12/bin:$PATH"
VPY=build/venv-3.12/bin/python
PY_EXE=$("$VPY" -c 'import sys; print(sys.executable)')
JOBS=$(nproc 2>/dev/null || echo 2)
SECONDS=0

echo "== engine tests"
cmake -S . -B build/test -G Ninja -DZENTROVA_BUILD_TESTS=ON -DZENTROVA_BUILD_PYTHON=OFF \
  -DPython_EXECUTABLE="$PY_EXE" >/dev/null
cmake --build build/test -j "$JOBS"
ctest --test-dir build/test --output-on-failure -j "$JOBS"

bash scripts/test_windows.sh
bash scripts/test_arm64.sh

module_tests() {  # $1: a test environment under build/, such as venv-3.12
  local py=build/$1/bin/python
  echo "== module tests on $("$py" -c 'import platform; print("CPython", platform.python_version())')"
  # A build folder per environment: the throwaway one of `pip install .`
  # elsewhere would leave behind a cache naming tools that no longer exist.
  "$py" -m pip install -q --disable-pip-version-check --no-build-isolation \
    -C build-dir="build/module-$1" .
  "$py" -m pytest -q tests/python
}
module_tests venv-3.12

echo "== module tests on the scalar kernels"
# The gate and read-out tests once more, against a module that always runs the
# scalar reference kernels: both paths must match the pure-Python model.
cmake -S . -B build/scalar -G Ninja -DZENTROVA_BUILD_PYTHON=ON -DZENTROVA_FORCE_SCALAR=ON \
  -DPython_EXECUTABLE="$PY_EXE" >/dev/null
cmake --build build/scalar -j "$JOBS" --target zentrova zentrova_readout
PYTHONPATH=build/scalar/python "$VPY" -m pytest -q tests/python -k "gates or measure"

if [ -x build/venv-3.13/bin/python ]; then
  module_tests venv-3.13
else
  echo "== module tests on CPython 3.13 skipped: CPython 3.13 is not installed"
fi

bash scripts/test_pennylane.sh
PYTHON=$VPY bash scripts/test_sanitizers.sh

bash scripts/dist.sh
echo "== every test passed in ${SECONDS}s"
