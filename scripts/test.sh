#!/usr/bin/env bash
# Runs every test: the engine's GoogleTest suite through ctest, the same suite
# cross-built for Windows (run under Wine) and for ARM (under QEMU), the
# module's pytest suite on CPython 3.12 and 3.13 against fresh builds and
# against a build on the scalar kernels, the PennyLane device (PennyLane's own
# device suite), the Qiskit backend and primitives and the Cirq simulator, both engine and module
# suites again under the sanitizers, and the release artefacts' checks. First scripts/setup.sh
# installs what is missing (on a fresh machine, everything); the parts
# themselves install nothing. The test tools live in the project's own virtual
# environments (build/venv-*), never in the user's interpreter.
#
# Each part's output goes to its log, build/logs/PART.log; the screen gets a
# line per part (and the log's tail when it fails), then one table, then a
# last line "N passed, N failed, N skipped" summing the tests of every part.
# A part that fails without a failed test (a build error, a check of the
# release) counts as one failed, a part skipped as a whole as one skipped.
# The exit status is non-zero when any part failed. A new part is one line
# in the_parts below: part NAME COMMAND...
#
# `bash scripts/test.sh PART...` runs setup and then only the parts named, in
# their usual order, with the same table; a name that is no part is an error
# that lists them. Without names, every part runs (what CI runs).
set -uo pipefail
cd "$(dirname "$0")/.."
LOGS=build/logs
mkdir -p "$LOGS"
((${#@})) || rm -f "$LOGS"/*.log

ROWS=()     # name, result, passed, failed, skipped, seconds, log: one row a part
NOTES=()    # why a part was skipped
FAILED_PARTS=0

# Prints "passed failed skipped" summed over the ctest and pytest summaries of
# the log $1. ctest counts its skipped tests among those passed and lists them,
# with the disabled ones it does not count, under "did not run".
count_results() {
  awk '
    / tests passed.* out of [0-9]+$/ {
      f = 0
      if (match($0, /[0-9]+ tests? failed/)) f = substr($0, RSTART, RLENGTH) + 0
      p += $NF - f; fl += f; next
    }
    /^\t *[0-9]+ - .* \(Skipped\)$/ { p--; s++; next }
    /^\t *[0-9]+ - .* \(Disabled\)$/ { s++; next }
    /^(=+ )?[0-9]+ [a-z]+(, [0-9]+ [a-z]+)* in [0-9.]+s/ {
      line = $0
      sub(/^=+ /, "", line)
      sub(/ in [0-9.]+s.*/, "", line)
      n = split(line, items, ", ")
      for (i = 1; i <= n; i++) {
        split(items[i], kv, " ")
        if (kv[2] == "passed" || kv[2] == "xpassed") p += kv[1]
        else if (kv[2] == "failed" || kv[2] ~ /^errors?$/) fl += kv[1]
        else if (kv[2] == "skipped" || kv[2] == "xfailed") s += kv[1]
      }
    }
    END { printf "%d %d %d\n", p, fl, s }
  ' "$1"
}

# part NAME COMMAND...: runs COMMAND (a script or a function below) with set -e
# and its output in build/logs/NAME.log, and adds its row to the table. A part
# that succeeds with a line "== ... skipped: REASON" in its log (as the cross
# builds print where the machine cannot run them) was skipped.
part() {
  if ((LISTING)); then
    LISTED+=("$1")
    return 0
  fi
  selected "$1" || return 0
  local name=$1 started=$SECONDS status
  shift
  local log=$LOGS/$name.log
  echo "== $name ($*)"
  ( set -e; "$@" ) >"$log" 2>&1 </dev/null
  status=$?
  local seconds=$((SECONDS - started)) passed failed skipped reason result=ok
  read -r passed failed skipped < <(count_results "$log")
  if ((status != 0)); then
    result=FAILED
    ((failed > 0)) || failed=1
    FAILED_PARTS=$((FAILED_PARTS + 1))
    # The failures themselves often lie far above the tail (ctest prints a
    # failed test's output where it ends, not at the end of the run).
    if grep -q -E '\[  FAILED  \]|: Failure$|^zentrova: |^E +' "$log"; then
      echo "   FAILED (status $status) after ${seconds}s; its failure lines:"
      grep -E -A3 -m 8 '\[  FAILED  \]|: Failure$|^zentrova: |^E +' "$log" | head -n 40 | sed 's/^/   | /'
    fi
    echo "   FAILED (status $status) after ${seconds}s; the end of $log:"
    tail -n 40 "$log" | sed 's/^/   | /'
  elif reason=$(grep -m1 '^== .* skipped: ' "$log"); then
    result=skipped
    ((passed + failed + skipped > 0)) || skipped=1
    NOTES+=("$name skipped: ${reason#* skipped: }")
    echo "   skipped: ${reason#* skipped: }"
  else
    echo "   ok in ${seconds}s: $passed passed, $failed failed, $skipped skipped"
  fi
  ROWS+=("$name $result $passed $failed $skipped $seconds $log")
}

# skip_part NAME REASON: a row for a part this machine cannot run.
skip_part() {
  if ((LISTING)); then
    LISTED+=("$1")
    return 0
  fi
  selected "$1" || return 0
  echo "== $1 skipped: $2"
  ROWS+=("$1 skipped 0 0 1 0 -")
  NOTES+=("$1 skipped: $2")
}

# The parts asked for on the command line (none: all); setup always runs.
SELECTED=("$@")
LISTING=0
LISTED=(setup)
selected() {
  ((${#SELECTED[@]} == 0)) || [ "$1" = setup ] || [[ " ${SELECTED[*]} " == *" $1 "* ]]
}

print_table() {
  local row name result passed failed skipped seconds log tp=0 tf=0 ts=0
  echo
  printf '%-12s %-8s %7s %7s %8s %8s  %s\n' part result passed failed skipped seconds log
  for row in "${ROWS[@]}"; do
    read -r name result passed failed skipped seconds log <<<"$row"
    printf '%-12s %-8s %7d %7d %8d %8d  %s\n' "$name" "$result" "$passed" "$failed" "$skipped" \
      "$seconds" "$log"
    tp=$((tp + passed)) tf=$((tf + failed)) ts=$((ts + skipped))
  done
  local note
  for note in "${NOTES[@]}"; do echo "   $note"; done
  echo "== every part took ${SECONDS}s"
  echo "$tp passed, $tf failed, $ts skipped"
}

# --- The parts --------------------------------------------------------------

engine_tests() {
  cmake -S . -B build/test -G Ninja -DZENTROVA_BUILD_TESTS=ON -DZENTROVA_BUILD_PYTHON=OFF \
    -DPython_EXECUTABLE="$PY_EXE"
  cmake --build build/test -j "$JOBS"
  ctest --test-dir build/test --output-on-failure -j "$JOBS"
}

module_tests() {  # $1: a test environment under build/, such as venv-3.12
  local py=build/$1/bin/python
  echo "== module tests on $("$py" -c 'import platform; print("CPython", platform.python_version())')"
  # A build folder per environment: the throwaway one of `pip install .`
  # elsewhere would leave behind a cache naming tools that no longer exist.
  "$py" -m pip install -q --disable-pip-version-check --no-build-isolation \
    -C build-dir="build/module-$1" .
  "$py" -m pytest -q tests/python
}

# The tests that compare gates and read-outs with the pure-Python model, once
# more against a module that always runs the scalar reference kernels: both
# paths must match the model. Listed by file; a new such file goes here.
SCALAR_TESTS=(tests/python/test_gates.py tests/python/test_measure.py tests/python/test_readout.py
  tests/python/test_gradients.py tests/python/test_program.py)
scalar_tests() {
  cmake -S . -B build/scalar -G Ninja -DZENTROVA_BUILD_PYTHON=ON -DZENTROVA_FORCE_SCALAR=ON \
    -DPython_EXECUTABLE="$PY_EXE"
  cmake --build build/scalar -j "$JOBS" --target zentrova zentrova_readout zentrova_gradients zentrova_program
  PYTHONPATH=build/scalar/python "$VPY" -m pytest -q "${SCALAR_TESTS[@]}"
}

the_parts() {
  part engine engine_tests
  part windows bash scripts/test_windows.sh
  part arm bash scripts/test_arm64.sh
  part module-3.12 module_tests venv-3.12
  part scalar scalar_tests
  if [ -x build/venv-3.13/bin/python ]; then
    part module-3.13 module_tests venv-3.13
  else
    skip_part module-3.13 "CPython 3.13 is not installed"
  fi
  part pennylane bash scripts/test_pennylane.sh
  part qiskit bash scripts/test_qiskit.sh
  part cirq bash scripts/test_cirq.sh
  part sanitizers env PYTHON="$VPY" bash scripts/test_sanitizers.sh
  part release bash scripts/dist.sh
}

VPY=build/venv-3.12/bin/python  # made by setup

# Every name the_parts declares, to check the names asked for before anything runs.
LISTING=1
the_parts
LISTING=0
for name in "${SELECTED[@]}"; do
  if [[ " ${LISTED[*]} " != *" $name "* ]]; then
    echo "error: no part named '$name'; the parts are: ${LISTED[*]}" >&2
    exit 2
  fi
done

part setup bash scripts/setup.sh
if [ "$FAILED_PARTS" -ne 0 ]; then
  print_table
  exit 1
fi
# CMake and Ninja from the test environment: pyenv's shims would look for them
# in whichever interpreter this folder selects, which need not have them.
export PATH="$PWD/build/venv-3.12/bin:$PATH"
PY_EXE=$("$VPY" -c 'import sys; print(sys.executable)')
JOBS=$(nproc 2>/dev/null || echo 2)

the_parts
print_table
[ "$FAILED_PARTS" -eq 0 ]
