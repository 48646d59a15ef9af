#!/usr/bin/env bash
# Installs what building zentrova and running its tests needs on a fresh
# Debian machine of ours: Debian packages for the engine's tests (MPFR is
# their reference for sin and cos) and its Windows cross build, and the Python
# 3.12 build and test tools. Safe to run again; it skips what is there.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PYTHON:-python3.12}

need_debs=()
for pkg in libgtest-dev libbenchmark-dev libmpfr-dev; do
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
SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
if ((${#need_debs[@]})); then
  echo "== installing Debian packages: ${need_debs[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_debs[@]}" >/dev/null
fi
if ((${#win_debs[@]})); then
  echo "== installing Debian packages for the Windows tests: ${win_debs[*]}"
  if ! { ((${#need_debs[@]})) || $SUDO apt-get update -qq; } ||
     ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${win_debs[@]}" >/dev/null; then
    echo "warning: could not install ${win_debs[*]}; the Windows tests will be skipped" >&2
  fi
fi

if ! "$PY" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
  echo "error: $PY is not CPython 3.12 (run from the project root, where .python-version selects it)" >&2
  exit 1
fi
"$PY" -m pip install -q --disable-pip-version-check --root-user-action=ignore \
  -r scripts/requirements-test.txt
