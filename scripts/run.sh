#!/usr/bin/env bash
# The main job on a fresh machine: install what is needed, build the engine
# library and the host tool, and run the host tool's self-check, which loads
# the library by name and prints its exports and an engine's answers.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset default
cmake --build --preset default
./build/default/tools/cryptlib-host selfcheck
