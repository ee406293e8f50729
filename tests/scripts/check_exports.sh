#!/usr/bin/env bash
# Compares the names a built engine library exports with the module
# definition file: exactly those names, no others.
#   check_exports.sh <library> <CryptLib.def> [nm]
set -euo pipefail
library=$1 def=$2 nm=${3:-nm}
expected=$(grep -oP '^\s+\K[A-Za-z_]\w*(?=\s+@\d+)' "$def" | sort)
actual=$("$nm" -D --defined-only "$library" | awk '{print $3}' | sort)
if [ "$expected" != "$actual" ]; then
  echo "exported names differ from $def:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "$(echo "$actual" | wc -l) exports match $def"
