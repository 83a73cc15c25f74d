#!/usr/bin/env bash
# Installs what is needed, then builds and runs every test twice: once in the
# normal build (build/) and once under AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan/), then runs each fuzz target for a
# bounded time on its seeds (scripts/fuzz.sh). Failures are printed in full.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)

echo "== build and test: build/"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== build and test under ASan+UBSan: build-asan/"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQLMR_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== fuzz targets, 30 s each: build-fuzz/"
bash scripts/fuzz.sh 30

echo "== all tests passed"
