#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a few seconds.
# Usage: fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-20}
ls tests/fuzz/*.cpp >/dev/null 2>&1 || exit 0
echo "== fuzz targets (${secs}s each)"
CC=clang CXX=clang++ bash scripts/build.sh build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVANE_FUZZ=ON -DQUORVANE_BENCH=OFF -DQUORVANE_GUI=OFF
for src in tests/fuzz/*.cpp; do
  name=$(basename "$src" .cpp)
  corpus=build-fuzz/corpus-$name
  mkdir -p "$corpus"
  seeds=tests/fuzz/seeds/$name
  [ -d "$seeds" ] || seeds=
  echo "-- $name"
  ASAN_OPTIONS=detect_leaks=1 "build-fuzz/tests/$name" -max_total_time="$secs" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=0 "$corpus" $seeds 2>build-fuzz/$name.log \
    || { tail -50 build-fuzz/$name.log; exit 1; }
  grep -E '^#[0-9]+.*DONE' build-fuzz/$name.log | tail -1 || true
done
