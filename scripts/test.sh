#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test: the normal
# build, the same suite under AddressSanitizer and UndefinedBehaviorSanitizer,
# and a short run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

echo "== build (release with debug info, warnings as errors)"
bash scripts/build.sh build -DQUORVANE_WERROR=ON
echo "== tests"
ctest --test-dir build -j 2 --output-on-failure --timeout 600

echo "== build (address and undefined-behaviour sanitizers)"
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DQUORVANE_SANITIZE=ON -DQUORVANE_BENCH=OFF -DQUORVANE_GUI=OFF
echo "== tests under sanitizers"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -j 2 --output-on-failure --timeout 900

bash scripts/fuzz.sh 20
