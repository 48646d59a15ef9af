#!/usr/bin/env bash
# Cross-builds the engine and its GoogleTest suite for 64-bit Windows with
# MinGW-w64 (in build/windows) and runs them under Wine through ctest. What the
# machine cannot do (no cross compiler, no Wine, or Wine cannot start a
# program) is skipped with the reason and fails nothing; a build or test
# failure fails.
set -euo pipefail
cd "$(dirname "$0")/.."
CROSS_NAME=Windows BUILD=build/windows
source scripts/cross.sh

echo "== Windows engine tests (MinGW-w64 cross build, run under Wine)"

CXX=x86_64-w64-mingw32-g++-posix
command -v "$CXX" >/dev/null ||
  skip "the MinGW-w64 cross compiler $CXX is missing (Debian package g++-mingw-w64-x86-64-posix)"
require_gtest_sources

# Debian's 64-bit loader first; the plain wine of newer packagings otherwise.
WINE=${ZENTROVA_WINE:-}
if [ -z "$WINE" ]; then
  for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)" /usr/lib/wine/wine \
                   "$(command -v wine || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then WINE=$candidate; break; fi
  done
fi
WINESERVER=""
if [ -n "$WINE" ]; then
  WINESERVER=$(dirname "$WINE")/wineserver
  [ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver || true)
fi

# A scratch prefix of our own, headless, without the .NET and HTML engines
# whose installers a new prefix would otherwise offer.
mkdir -p "$BUILD"
export WINEPREFIX="$PWD/$BUILD/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# A new prefix is set up by the first Wine program started in it (wineboot and
# the services it starts), and a program started in the same prefix before that
# has finished can die at once, without output. So the prefix is made ready
# first, in the background while the cross build runs, and nothing else starts
# in it until the server that set it up has shut down.
PREP_PID=""
BOOT_LOG="$BUILD/wine-boot.log"
prepare_prefix() {
  WINEDEBUG=err+all,fixme-all timeout 600 "$WINE" cmd.exe /c exit 0 </dev/null >"$BOOT_LOG" 2>&1 &&
    timeout 300 "$WINESERVER" -w
}
if [ -n "$WINE" ] && [ -n "$WINESERVER" ]; then
  prepare_prefix &
  PREP_PID=$!
fi

# One Windows process (a cmd.exe waiting on input that never ends) stays up
# for the whole run. Without it every test program would start Wine's session
# anew, and the service processes that come with it keep ctest's output pipe
# open for seconds after each test.
KEEPER_PID=""
stop_wine() {
  if [ -n "$PREP_PID" ]; then
    kill "$PREP_PID" 2>/dev/null || true
    wait "$PREP_PID" 2>/dev/null || true
  fi
  if [ -n "$KEEPER_PID" ]; then
    kill "$KEEPER_PID" 2>/dev/null || true
    wait "$KEEPER_PID" 2>/dev/null || true
    KEEPER_PID=""
  fi
  # Lets the server and its services end before we do.
  if [ -n "$WINESERVER" ]; then timeout 60 "$WINESERVER" -w 2>/dev/null || true; fi
}
trap stop_wine EXIT

configure_cross "$BUILD" cmake/mingw-w64-x86_64.cmake \
  -DZENTROVA_WINE="$WINE" -DZENTROVA_WINEPREFIX="$WINEPREFIX"
cmake --build "$BUILD" -j "$JOBS"

[ -n "$WINE" ] || skip "built, but not run: Wine is not installed (Debian package wine64)"
[ -n "$WINESERVER" ] || skip "built, but not run: Wine's server program wineserver is missing"
prep_started=$SECONDS
if ! wait "$PREP_PID"; then
  PREP_PID=""
  reason=$(tail -n 3 "$BOOT_LOG" | tr -d '\r')
  skip "built, but not run: Wine ($WINE) could not set up its prefix: ${reason:-no output}"
fi
PREP_PID=""
echo "== Wine prefix ready (waited $((SECONDS - prep_started))s after the build)"

KEEPER_FIFO="$BUILD/wine-keeper.fifo"
rm -f "$KEEPER_FIFO"
mkfifo "$KEEPER_FIFO"
# Opened for reading and writing, so the open does not wait and no end of
# input ever comes.
"$WINE" cmd.exe <>"$KEEPER_FIFO" >/dev/null 2>&1 &
KEEPER_PID=$!

# Into a file, not a pipe: services started by this program could hold a pipe open.
PROBE_LOG="$BUILD/wine-probe.log"
if ! timeout 300 "$WINE" cmd.exe /c echo zentrova-wine-ok </dev/null >"$PROBE_LOG" 2>&1 ||
   ! grep -q zentrova-wine-ok "$PROBE_LOG"; then
  reason=$(tail -n 3 "$PROBE_LOG" | tr -d '\r')
  skip "built, but not run: Wine ($WINE) could not run a trivial program: ${reason:-no output}"
fi

status=0
ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS" || status=$?
stop_wine

# Wine 8 has no ProcessPrng, so this says which entropy path actually ran.
source_line=$(grep -m1 -o 'zentrova entropy source: [A-Za-z]*' \
  "$BUILD/Testing/Temporary/LastTest.log" 2>/dev/null || true)
[ -z "$source_line" ] || echo "== Windows ${source_line#zentrova }"
echo "== Windows tests took ${SECONDS}s"
exit "$status"
