#!/usr/bin/env bash
# Runs a command (the test suite) and fails when it leaves temporary roots
# of the tests behind: cryptlib-test-* directories in the system's temporary
# directory that were made or changed while the command ran and are still
# there when it ends. The engine's numbered scratch directories count too:
# a thousand left there would leave no free number for the next user.
#   scripts/check-temp-leaks.sh ctest --preset default
set -uo pipefail
if [ $# -eq 0 ]; then
  echo "usage: $0 COMMAND [ARGUMENTS...]" >&2
  exit 64
fi
tmp="${TMPDIR:-/tmp}"
marker=$(mktemp)
trap 'rm -f "$marker"' EXIT
roots() {
  find "$tmp" -mindepth 1 -maxdepth 1 -type d \( -name 'cryptlib-test-*' -o -regex '.*/[0-9]+' \) "$@" 2>/dev/null
}
before=$(roots | wc -l)
"$@"
status=$?
after=$(roots | wc -l)
left=$(roots -newer "$marker" | wc -l)
echo "test roots and scratch directories in $tmp: $before before, $after after, $left left by this run"
if [ "$left" -gt 0 ]; then
  echo "the tests left $left temporary roots or scratch directories behind:" >&2
  roots -newer "$marker" | head -20 >&2
  [ "$status" -eq 0 ] && status=1
fi
exit "$status"
