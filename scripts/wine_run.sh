#!/usr/bin/env bash
# ctest's runner for the Windows test programs: wine_run.sh WINE PREFIX PROGRAM
# [ARGS...] runs PROGRAM under Wine in PREFIX and exits with its status. Wine's
# own error lines are kept apart and shown only when the program fails, so a
# program that Wine could not start fails with Wine's reason instead of
# silently. Such a start (a failure before the program printed anything) is
# tried once more, saying so: on a loaded machine Wine now and then loses a
# new process at its start, and a test that never ran has not failed. A
# program that ran and failed is never run again.
set -u
wine=$1 prefix=$2
shift 2
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
# Files, not pipes: a service process started by the program could hold a
# pipe open long after the program itself has ended.
run() {
  WINEPREFIX=$prefix WINEDEBUG=err+all,fixme-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    "$wine" "$@" </dev/null >"$out" 2>"$err"
}
run "$@"
status=$?
if [ "$status" -ne 0 ] && [ ! -s "$out" ]; then
  echo "zentrova: $(basename "$1") exited with status $status under Wine without" \
       "printing anything; Wine's error output, then a second start:" >&2
  tail -n 20 "$err" | tr -d '\r' >&2
  run "$@"
  status=$?
fi
cat "$out"
if [ "$status" -ne 0 ]; then
  if [ ! -s "$out" ]; then
    echo "zentrova: $(basename "$1") exited with status $status under Wine without" \
         "printing anything, twice: it did not get to run." >&2
  fi
  echo "zentrova: the program's and Wine's error output (status $status):" >&2
  tail -n 40 "$err" | tr -d '\r' >&2
fi
exit "$status"
