#!/usr/bin/env bash
# The Windows suite: builds build-win/, runs its unit and window tests under
# Wine, and checks that the Windows and Linux tools read each other's files.
# The Linux tools it compares with come from build/ (built here if missing;
# scripts/test.sh has built them already).
set -euo pipefail
cd "$(dirname "$0")/.."

# What Wine leaves running in the suite's prefix ends with the suite.
trap 'WINEPREFIX=$PWD/build-win/wineprefix wineserver -k 2>/dev/null || true' EXIT

bash scripts/build-win.sh
if [ ! -f build/build.ninja ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build -j "$(nproc)" --target qlmr-pak qlmr-patchkit qlmr-update
ctest --test-dir build-win --output-on-failure -j "$(nproc)"
bash scripts/test-win-tools.sh build/bin build-win/bin build-win/wineprefix
echo "== Windows tests passed"
