#!/usr/bin/env bash
# expect.sh EXIT STDOUT_RE STDERR_RE STDERR_LINES COMMAND...
# Runs COMMAND and passes when it exits with EXIT, its standard output matches
# the extended regular expression STDOUT_RE and its standard error matches
# STDERR_RE (each "" for anything, "EMPTY" for no output at all), and its
# standard error has STDERR_LINES lines ("-" for any number).
# With REQUIRE_PATH set to a path that does not exist, the test is skipped
# (exit 77).
set -u
want=$1 out_re=$2 err_re=$3 err_lines=$4
shift 4
if [ -n "${REQUIRE_PATH:-}" ] && [ ! -e "$REQUIRE_PATH" ]; then
  echo "skipped: $REQUIRE_PATH not found"
  exit 77
fi
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
"$@" >"$out" 2>"$err"
rc=$?
fail=0
check() {  # check NAME FILE RE
  if [ "$3" = "EMPTY" ]; then
    [ -s "$2" ] && { echo "$1 is not empty"; fail=1; }
  elif [ -n "$3" ] && ! grep -Eq -- "$3" "$2"; then
    echo "$1 does not match: $3"; fail=1
  fi
}
[ "$rc" = "$want" ] || { echo "exit code $rc, expected $want"; fail=1; }
check stdout "$out" "$out_re"
check stderr "$err" "$err_re"
if [ "$err_lines" != "-" ] && [ "$(wc -l <"$err")" != "$err_lines" ]; then
  echo "stderr has $(wc -l <"$err") lines, expected $err_lines"; fail=1
fi
if [ "$fail" != 0 ]; then
  echo "command: $*"; echo "--- stdout"; head -c 4000 "$out"; echo "--- stderr"; head -c 4000 "$err"
fi
exit "$fail"
