#!/usr/bin/env bash
# Builds the engine, its tests and the module with AddressSanitizer and
# UndefinedBehaviorSanitizer in build/asan, and runs the engine's GoogleTest
# suite and the module's pytest suite against that build with leak detection
# on. Any sanitizer report fails the run. Called by scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-build/venv-3.12/bin/python}  # made by scripts/setup.sh
# The interpreter itself, not a launcher script: the sanitizer runtime is
# preloaded into whatever runs, and a shell launcher would be checked too.
PY_EXE=$("$PY" -c 'import sys; print(sys.executable)')
JOBS=$(nproc 2>/dev/null || echo 2)
ROOT=$(pwd)

SAN="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
echo "== sanitizer build (build/asan)"
# -O1 keeps the run quick; no NDEBUG, so the kernels' index assertions are live.
cmake -S . -B build/asan -G Ninja \
  -DZENTROVA_BUILD_TESTS=ON -DZENTROVA_BUILD_PYTHON=ON -DPython_EXECUTABLE="$PY_EXE" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DCMAKE_CXX_FLAGS="$SAN" -DCMAKE_EXE_LINKER_FLAGS="$SAN" \
  -DCMAKE_SHARED_LINKER_FLAGS="$SAN" -DCMAKE_MODULE_LINKER_FLAGS="$SAN" >/dev/null
cmake --build build/asan -j "$JOBS"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# A failing nothrow allocation returns null as in production rather than
# stopping the process, so the engine's own allocation refusals are exercised.
ASAN_COMMON=allocator_may_return_null=1:detect_leaks=1:check_initialization_order=1:strict_init_order=1

echo "== engine tests under the sanitizers"
ASAN_OPTIONS=$ASAN_COMMON ctest --test-dir build/asan --output-on-failure -j "$JOBS"

# CPython is not built with the sanitizers, so the runtime is preloaded; the
# C++ runtime with it, or ASan cannot find the real __cxa_throw once the module
# loads it later. PYTHONMALLOC=malloc sends every Python object through ASan's
# allocator, so an overrun of an object the module writes is caught too.
PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
# The leak check runs in-process before finalization (tests/python/conftest.py);
# the check at exit would report the interpreter's teardown, so it is off.
PY_ASAN_OPTIONS=$ASAN_COMMON:leak_check_at_exit=0
PY_LSAN_OPTIONS=suppressions=$ROOT/scripts/lsan-suppressions.txt:print_suppressions=0

run_python() {
  env LD_PRELOAD="$PRELOAD" PYTHONMALLOC=malloc PYTHONPATH="$ROOT/build/asan/python" \
    ASAN_OPTIONS="$PY_ASAN_OPTIONS" LSAN_OPTIONS="$PY_LSAN_OPTIONS" "$PY_EXE" "$@"
}

echo "== leak check sees a register the module loses"
# A register whose last reference is dropped without a decref must be reported
# with the module's frames: proof that the suppressions hide none of ours.
canary=$(run_python -c '
import ctypes, gc, zentrova
lost = zentrova.QuantumRegister(3)
ctypes.pythonapi.Py_IncRef(ctypes.py_object(lost))
del lost
gc.collect()
print("reported" if ctypes.CDLL(None).__lsan_do_recoverable_leak_check() else "missed")
' 2>&1)
if ! grep -q '^reported$' <<<"$canary" || ! grep -q 'allocate_amplitudes' <<<"$canary"; then
  echo "$canary" >&2
  echo "error: the leak check did not report a lost register" >&2
  exit 1
fi

echo "== module tests under the sanitizers"
ZENTROVA_LEAK_CHECK=1 run_python -m pytest -q -p no:cacheprovider tests/python
