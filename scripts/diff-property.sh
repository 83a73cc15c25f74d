#!/usr/bin/env bash
# A longer run of the diff property test than CI makes: PAIRS generated
# pairs of installations (default 200) from seed SEED (default 1000), each
# diffed, written in both kinds, applied to a copy of OLD and compared with NEW.
set -euo pipefail
cd "$(dirname "$0")/.."
pairs=${1:-200}
seed=${2:-1000}
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target qlmr_patch_diff_tests -j "$(nproc)" >/dev/null
QLMR_DIFF_PAIRS=$pairs QLMR_DIFF_SEED=$seed build/bin/qlmr_patch_diff_tests \
  --gtest_filter='*GeneratedPairsApplyToNew*'
