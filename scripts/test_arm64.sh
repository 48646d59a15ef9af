#!/usr/bin/env bash
# Cross-builds the engine and its GoogleTest suite for 64-bit ARM Linux (in
# build/arm64) and runs them under QEMU's user-mode emulator through ctest.
# What the machine lacks (the cross compiler, QEMU, GoogleTest's sources) is
# skipped with the reason and fails nothing; a build or test failure fails.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS=0

BUILD=build/arm64
JOBS=$(nproc 2>/dev/null || echo 2)

skip() {
  echo "== ARM tests skipped: $*"
  exit 0
}

echo "== ARM engine tests (aarch64 cross build, run under QEMU)"
command -v aarch64-linux-gnu-g++ >/dev/null ||
  skip "the cross compiler aarch64-linux-gnu-g++ is missing (Debian package g++-aarch64-linux-gnu)"
[ -f /usr/src/googletest/CMakeLists.txt ] ||
  skip "the GoogleTest sources /usr/src/googletest are missing (Debian package googletest)"
command -v qemu-aarch64 >/dev/null ||
  skip "the emulator qemu-aarch64 is missing (Debian package qemu-user)"

# The toolchain is given only to a new build tree (cmake ignores it, with a
# warning, afterwards); a tree configured without it is started afresh.
TOOLCHAIN="$PWD/cmake/aarch64-linux-gnu.cmake"
toolchain_args=()
if ! grep -qs "^CMAKE_TOOLCHAIN_FILE:.*=$TOOLCHAIN\$" "$BUILD/CMakeCache.txt"; then
  rm -rf "$BUILD/CMakeCache.txt" "$BUILD/CMakeFiles"
  toolchain_args=(-DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN")
fi
cmake -S . -B "$BUILD" -G Ninja -Wno-deprecated "${toolchain_args[@]}" \
  -DZENTROVA_BUILD_TESTS=ON -DZENTROVA_BUILD_PYTHON=OFF >/dev/null
cmake --build "$BUILD" -j "$JOBS"
ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS"
echo "== ARM tests took ${SECONDS}s"
