#!/usr/bin/env bash
# The Windows suite: builds build-win/, runs its unit and window tests under
# Wine, and checks that the Windows and Linux tools read each other's files.
# Needs the Linux tools in build/bin (scripts/test.sh builds them).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/build-win.sh
ctest --test-dir build-win --output-on-failure -j "$(nproc)"
bash scripts/test-win-tools.sh build/bin build-win/bin build-win/wineprefix
echo "== Windows tests passed"
