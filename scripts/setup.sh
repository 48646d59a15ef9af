#!/usr/bin/env bash
# Installs what running zentrova's tests needs on a fresh Debian machine of
# ours: Debian packages for the engine's tests (MPFR is their reference for
# sin and cos, SIMDe runs the AVX-512 kernels' layer on any x86-64 processor)
# and its Windows and ARM cross builds, and the project's own virtual
# environments build/venv-3.12 (and build/venv-3.13 where CPython 3.13 is
# installed) with the build and test tools. Nothing goes into the user's own
# interpreter. Safe to run again: it asks dpkg and the environments' stamps
# what is there, and calls apt-get or pip only for what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh
source scripts/packages.sh

mapfile -t need_debs < <(missing_debs libgtest-dev libbenchmark-dev libmpfr-dev libsimde-dev)
if ((${#need_debs[@]})); then
  echo "== installing Debian packages: ${need_debs[*]}"
  install_debs "${need_debs[@]}"
fi

# Packages only the cross-build tests need: their scripts say why and skip when
# these are missing, so failing to install them is only a warning. A package
# apt could not install is written down and not asked for again, or every test
# run would repeat the apt-get update and the failure; deleting the file tries
# again.
UNAVAILABLE=build/setup/unavailable-debs
optional_debs() {  # $1: which tests need them; then the packages
  local what=$1 wanted=()
  shift
  mapfile -t wanted < <(missing_debs "$@" | grep -vxF -f <(cat "$UNAVAILABLE" 2>/dev/null || true))
  ((${#wanted[@]})) || return 0
  echo "== installing Debian packages for the $what tests: ${wanted[*]}"
  if ! install_debs "${wanted[@]}"; then
    mkdir -p "$(dirname "$UNAVAILABLE")"
    printf '%s\n' "${wanted[@]}" >>"$UNAVAILABLE"
    echo "warning: could not install ${wanted[*]}; the $what tests will be skipped" \
         "(not tried again until $UNAVAILABLE is deleted)" >&2
  fi
}
# Windows: the MinGW-w64 cross compiler (posix thread model), GoogleTest's
# sources to build for Windows, and Wine to run the result.
optional_debs Windows g++-mingw-w64-x86-64-posix googletest wine64
# ARM: the aarch64 cross compiler and QEMU's user-mode emulator.
optional_debs ARM g++-aarch64-linux-gnu qemu-user googletest

PY312=$(require_python 3.12)
echo "== test environment build/venv-3.12 (on $PY312)"
project_venv build/venv-3.12 "$PY312" scripts/requirements-build.txt scripts/requirements-test.txt >/dev/null
if PY313=$(find_python 3.13); then
  echo "== test environment build/venv-3.13 (on $PY313)"
  project_venv build/venv-3.13 "$PY313" scripts/requirements-build.txt scripts/requirements-test.txt >/dev/null
else
  rm -rf build/venv-3.13
  echo "== CPython 3.13 not found: the module's tests will run on 3.12 only"
fi
# The plugins' test environments, made here so that the test parts install
# nothing from the registries: PennyLane with its device suite, Qiskit with
# Dask's distributed scheduler, and Cirq. Dependencies of the plugins' tests only.
echo "== test environments build/venv-pennylane, build/venv-qiskit and build/venv-cirq (on $PY312)"
project_venv build/venv-pennylane "$PY312" scripts/requirements-pennylane.txt >/dev/null
project_venv build/venv-qiskit "$PY312" scripts/requirements-qiskit.txt >/dev/null
project_venv build/venv-cirq "$PY312" scripts/requirements-cirq.txt >/dev/null
