#!/usr/bin/env bash
# Installs what running zentrova's tests needs on a fresh Debian machine of
# ours: Debian packages for the engine's tests (MPFR is their reference for
# sin and cos, SIMDe runs the AVX-512 kernels' layer on any x86-64 processor)
# and its Windows and ARM cross builds, and the project's own virtual
# environments build/venv-3.12 (and build/venv-3.13 where CPython 3.13 is
# installed) with the build and test tools. Nothing goes into the user's own
# interpreter. Safe to run again; it skips what is there.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh

need_debs=()
for pkg in libgtest-dev libbenchmark-dev libmpfr-dev libsimde-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_debs+=("$pkg")
done
# For scripts/test_windows.sh: the MinGW-w64 cross compiler (posix thread
# model), GoogleTest's sources to build for Windows, and Wine to run the
# result. That script says why and skips when they are missing, so failing to
# install them is only a warning here.
win_debs=()
for pkg in g++-mingw-w64-x86-64-posix googletest wine64; do
  dpkg -s "$pkg" >/dev/null 2>&1 || win_debs+=("$pkg")
done
# For scripts/test_arm64.sh: the aarch64 cross compiler and QEMU's user-mode
# emulator (GoogleTest's sources come with the Windows packages); skipped the
# same way when missing.
arm_debs=()
for pkg in g++-aarch64-linux-gnu qemu-user googletest; do
  dpkg -s "$pkg" >/dev/null 2>&1 || arm_debs+=("$pkg")
done
SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
updated=0
if ((${#need_debs[@]})); then
  echo "== installing Debian packages: ${need_debs[*]}"
  $SUDO apt-get update -qq
  updated=1
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_debs[@]}" >/dev/null
fi
optional_debs() {  # $1: which tests need them; then the packages
  local what=$1
  shift
  (($#)) || return 0
  echo "== installing Debian packages for the $what tests: $*"
  if ! { ((updated)) || $SUDO apt-get update -qq; } ||
     ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$@" >/dev/null; then
    echo "warning: could not install $*; the $what tests will be skipped" >&2
  fi
  updated=1
}
optional_debs Windows "${win_debs[@]}"
optional_debs ARM "${arm_debs[@]}"

if [ -n "${PYTHON:-}" ]; then
  PY312=$PYTHON
elif ! PY312=$(find_python 3.12); then
  echo "error: CPython 3.12 not found (pyenv install 3.12, or put python3.12 on PATH)" >&2
  exit 1
fi
echo "== test environment build/venv-3.12 (on $PY312)"
project_venv build/venv-3.12 "$PY312" scripts/requirements-build.txt scripts/requirements-test.txt >/dev/null
if PY313=$(find_python 3.13); then
  echo "== test environment build/venv-3.13 (on $PY313)"
  project_venv build/venv-3.13 "$PY313" scripts/requirements-build.txt scripts/requirements-test.txt >/dev/null
else
  rm -rf build/venv-3.13
  echo "== CPython 3.13 not found: the module's tests will run on 3.12 only"
fi
