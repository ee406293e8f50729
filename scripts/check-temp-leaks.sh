#!/usr/bin/env bash
# Runs a command (the test suite) and fails when it leaves temporary roots
# of the tests behind: the count of cryptlib-test-* directories in the
# system's temporary directory before and after.
#   scripts/check-temp-leaks.sh ctest --preset default
set -uo pipefail
marker=$(mktemp)
trap 'rm -f "$marker"' EXIT
tmp="${TMPDIR:-/tmp}"
count() { find "$tmp" -maxdepth 1 -name 'cryptlib-test-*' -type d 2>/dev/null | wc -l; }
if [ $# -eq 0 ]; then
  echo "usage: $0 COMMAND [ARGUMENTS...]" >&2
  exit 64
fi
before=$(count)
"$@"
status=$?
after=$(count)
echo "cryptlib-test-* directories in $tmp: $before before, $after after"
if [ "$after" -gt "$before" ]; then
  echo "the tests left $((after - before)) temporary roots behind:" >&2
  find "$tmp" -maxdepth 1 -name 'cryptlib-test-*' -type d -newer "$marker" 2>/dev/null | head -20 >&2
  [ "$status" -eq 0 ] && status=1
fi
exit "$status"
