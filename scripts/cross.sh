# Sourced by the cross-build test scripts (test_windows.sh, test_arm64.sh),
# from the project's root, after setting CROSS_NAME (as the messages name the
# target): JOBS, skip and configure_cross. The scripts' closing lines report
# the time from here.

SECONDS=0
JOBS=$(nproc 2>/dev/null || echo 2)

# Says why the tests cannot run on this machine and ends the script without
# failing (through its EXIT trap, if it has one).
skip() {
  echo "== $CROSS_NAME tests skipped: $*"
  exit 0
}

# Needs the GoogleTest sources, which the cross build compiles for its target.
require_gtest_sources() {
  [ -f /usr/src/googletest/CMakeLists.txt ] ||
    skip "the GoogleTest sources /usr/src/googletest are missing (Debian package googletest)"
}

# configure_cross BUILD TOOLCHAIN [CMAKE ARGS...]: configures the engine and its
# tests in BUILD for the toolchain file TOOLCHAIN. The toolchain is given only
# to a new build tree (cmake ignores it, with a warning, afterwards); a tree
# configured without it is started afresh.
configure_cross() {
  local build=$1 toolchain=$PWD/$2
  shift 2
  local toolchain_args=()
  if ! grep -qs "^CMAKE_TOOLCHAIN_FILE:.*=$toolchain\$" "$build/CMakeCache.txt"; then
    rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
    toolchain_args=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
  fi
  cmake -S . -B "$build" -G Ninja -Wno-deprecated "${toolchain_args[@]}" \
    -DZENTROVA_BUILD_TESTS=ON -DZENTROVA_BUILD_PYTHON=OFF "$@" >/dev/null
}
