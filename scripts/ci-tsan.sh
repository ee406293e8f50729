#!/usr/bin/env bash
# The ThreadSanitizer job: builds only the programs whose threads meet in the
# engine's locks (ctest label "concurrency") and runs them.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset tsan
targets=(fake_modules)
while read -r source; do
  name=$(basename "$source" .cpp)
  kind=${source#tests/}
  kind=${kind%%/*}
  if [[ $name =~ ^(rwsyncs|cryptobj|binding_fake_v2|binding_fake_v1000|reference_parse_cache|engine_concurrency_.*|stress_.*)_test$ ]]; then
    targets+=("${kind}_${name}")
  fi
done < <(find tests/unit tests/host -name '*_test.cpp' | sort)
cmake --build --preset tsan --target "${targets[@]}"
ctest --preset tsan -L concurrency
