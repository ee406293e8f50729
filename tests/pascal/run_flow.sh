#!/usr/bin/env bash
# The Pascal host's flow: the host tool's demo makes an installation with the
# reference module (a bank and three abonents, keys, certificates and
# transfers exchanged) and keeps it; the Pascal program then works in it.
# Usage: run_flow.sh HOST_TOOL REFERENCE_MODULE PASCAL_PROGRAM ENGINE_LIBRARY
set -euo pipefail
tool=$1 module=$2 program=$3 library=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The abonents' passphrase: the demo keeps it, and the Pascal host's engines
# name it as their PIN source.
export CRYPTLIB_DEMO_PASSPHRASE="pascal flow passphrase"
if ! "$tool" demo --keys rsa --module "$module" --root "$scratch/root" >"$scratch/demo.log" 2>&1; then
  cat "$scratch/demo.log"
  exit 1
fi
"$program" "$library" "$scratch/root"
