#!/usr/bin/env bash
# Compares the export table of a built Windows DLL (PE32 or PE32+) with the
# module definition file: exactly its names, each at its ordinal, nothing
# else (no decorated "Name@8" twins, no ordinals without a name), and the
# DLL's own name.
#   check_pe_exports.sh <CryptLib.dll> <CryptLib.def> [objdump]
# objdump defaults to x86_64-w64-mingw32-objdump, which reads both formats.
set -euo pipefail
dll=$1 def=$2 objdump=${3:-x86_64-w64-mingw32-objdump}

# "Name ordinal" lines, sorted by name.
expected=$(grep -oP '^\s+\K[A-Za-z_]\w*\s+@\d+' "$def" | sed -E 's/\s+@/ /' | sort)
library=$(grep -oP '^LIBRARY\s+\K\S+' "$def" || true)

dump=$("$objdump" -p "$dll")
# The name pointer table lists "[index] Name" where index is the ordinal less
# the ordinal base (binutils up to 2.40), or "[index] +base[ordinal] hint
# Name" (later binutils).
actual=$(awk '
  /^Ordinal Base/ { base = $3 }
  /^\[Ordinal\/Name Pointer\] Table/ { names = 1; next }
  names && /^[ \t]*$/ { names = 0 }
  names && match($0, /\+base\[ *[0-9]+\]/) {
    ordinal = substr($0, RSTART + 6, RLENGTH - 7) + 0
    print $NF, ordinal; next
  }
  names && match($0, /^[ \t]*\[ *[0-9]+\]/) {
    index_text = substr($0, RSTART, RLENGTH); gsub(/[^0-9]/, "", index_text)
    print $NF, index_text + base; next
  }' <<<"$dump" | sort)
address_count=$(awk '/^Export Address Table --/ { table = 1; next }
  table && /^[ \t]*$/ { exit }
  table && /Export RVA|Forwarder RVA/ { count++ }
  END { print count + 0 }' <<<"$dump")
dll_name=$(awk '/^Name[ \t]/ { print $NF; exit }' <<<"$dump")

status=0
if [ -z "$expected" ]; then
  echo "no exports found in $def"
  exit 1
fi
if [ "$expected" != "$actual" ]; then
  echo "export table of $dll differs from $def (< expected, > found):"
  diff <(echo "$expected") <(echo "$actual") || true
  status=1
fi
count=$(echo "$expected" | wc -l)
if [ "$address_count" != "$count" ]; then
  echo "export address table has $address_count entries, expected $count"
  status=1
fi
if [ -n "$library" ] && [ "${dll_name,,}" != "${library,,}.dll" ]; then
  echo "export table names the module '$dll_name', expected $library.dll"
  status=1
fi
[ $status -eq 0 ] && echo "$count exports of $dll_name match $def, names and ordinals"
exit $status
