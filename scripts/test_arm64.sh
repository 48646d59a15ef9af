#!/usr/bin/env bash
# Cross-builds the engine and its GoogleTest suite for 64-bit ARM Linux (in
# build/arm64) and runs them under QEMU's user-mode emulator through ctest.
# What the machine lacks (the cross compiler, QEMU, GoogleTest's sources) is
# skipped with the reason and fails nothing; a build or test failure fails.
set -euo pipefail
cd "$(dirname "$0")/.."
CROSS_NAME=ARM BUILD=build/arm64
source scripts/cross.sh

echo "== ARM engine tests (aarch64 cross build, run under QEMU)"
command -v aarch64-linux-gnu-g++ >/dev/null ||
  skip "the cross compiler aarch64-linux-gnu-g++ is missing (Debian package g++-aarch64-linux-gnu)"
require_gtest_sources
command -v qemu-aarch64 >/dev/null ||
  skip "the emulator qemu-aarch64 is missing (Debian package qemu-user)"

configure_cross "$BUILD" cmake/aarch64-linux-gnu.cmake
cmake --build "$BUILD" -j "$JOBS"
ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS"
echo "== ARM tests took ${SECONDS}s"
