#!/usr/bin/env bash
# The main job on a fresh machine: install what is needed, build the engine
# library, the vendor modules and the host tool, then run the host tool's
# self-check, which loads the engine library by name and prints its exports
# and an engine's answers: once with the OpenSSL reference module installed
# in a fresh installation root, once with no vendor module at all.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset default
cmake --build --preset default
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/EXE"
cp build/default/mplug/reference/mplug2.so "$root/EXE/"
echo "== with the reference vendor module"
./build/default/tools/cryptlib-host selfcheck --root "$root"
echo "== without a vendor module"
./build/default/tools/cryptlib-host selfcheck --root "$root/none"
