#!/usr/bin/env bash
# Builds the default preset and runs the whole test suite with ctest.
# Usage: scripts/test.sh [preset]   (default, asan or tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
bash scripts/deps.sh
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset"
