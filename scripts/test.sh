#!/usr/bin/env bash
# Installs what is needed, then builds and runs every test: in the normal
# build (build/) and under AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan/); runs each fuzz target for a bounded time on its seeds
# (scripts/fuzz.sh, build-fuzz/); then cross-builds the Windows programs and
# their tests (build-win/) and runs those under Wine (scripts/test-win.sh).
# Failures are printed in full.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)

echo "== build and test: build/"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== naming check: clang-tidy with .clang-tidy over the sources"
# The CRC tables are computed at compile time, past clang's default limit.
run-clang-tidy -p build -j "$jobs" -quiet -extra-arg=-fconstexpr-steps=100000000 \
  "$PWD/(app|base|bench|fuzz|pack|patch|res|tests|tools|update)/.*\.cpp$" >build/naming.log 2>&1 ||
  { sed 's/\x1b\[[0-9;]*m//g' build/naming.log | grep -E '(error|warning):' | sort -u
    echo "naming check failed"; exit 1; }

echo "== build and test under ASan+UBSan: build-asan/"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQLMR_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== fuzz targets, 30 s each: build-fuzz/"
bash scripts/fuzz.sh 30

echo "== Windows build and tests under Wine: build-win/"
bash scripts/test-win.sh

echo "== all tests passed"
