#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for SECONDS (default 60),
# starting from the committed seeds. Any crash, leak, sanitizer report, input
# slower than 10 s or run above 2 GB fails it; the input is kept under
# build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DQST_FUZZ=ON -DQST_TESTS=OFF \
  -DQST_IMAGE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQST_WERROR=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)"

mkdir -p build-fuzz/artifacts
status=0
for seeds in tests/fuzz/corpus/*/; do
  target=$(basename "$seeds")
  corpus=$(mktemp -d)
  cp "$seeds"* "$corpus"/
  log=build-fuzz/artifacts/$target.log
  if build-fuzz/tests/fuzz/"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/"$target"- "$corpus" >"$log" 2>&1; then
    echo "fuzz: $target: $(grep -m1 -o 'number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') inputs, $(grep -o 'ft: [0-9]*' "$log" | tail -1)"
  else
    echo "fuzz: $target failed:" >&2
    tail -n 40 "$log" >&2
    status=1
  fi
  rm -rf "$corpus"
done
exit $status
