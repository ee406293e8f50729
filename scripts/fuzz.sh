#!/usr/bin/env bash
# Builds the fuzz targets with libFuzzer and runs each for a bounded time,
# starting from its committed seed corpus. Fails on any crash, leak or
# time-out a target reports.
#   scripts/fuzz.sh [seconds per target, default 60] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
cmake --preset fuzz >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in fuzz/*_fuzz.cpp; do
    name=$(basename "$source" _fuzz.cpp)
    targets+=("$name")
  done
fi
cmake --build --preset fuzz --target "${targets[@]/#/fuzz_}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for name in "${targets[@]}"; do
  mkdir -p "$work/$name"
  echo "== fuzz_$name for ${seconds}s"
  status=0
  ./build/fuzz/fuzz/fuzz_"$name" "$work/$name" "fuzz/corpus/$name" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 >"$work/$name.log" 2>&1 || status=$?
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)|Done [0-9]+ runs' "$work/$name.log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$work/$name.log"
    echo "fuzz_$name failed (exit $status)"
    exit 1
  fi
done
