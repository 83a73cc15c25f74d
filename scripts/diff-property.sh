#!/usr/bin/env bash
# A longer run of the diff property tests than CI makes: PAIRS generated
# pairs of installations (default 200) and PAIRS/4 chains of 3 to 5
# generated releases, from seed SEED (default 1000). Each pair is diffed,
# written in both kinds, applied to a copy of OLD and compared with NEW; each
# chain is released for a random subset of its older releases, and the
# patch the program carries is applied to each of them and compared with the
# newest, while the program's range refuses the others.
set -euo pipefail
cd "$(dirname "$0")/.."
pairs=${1:-200}
seed=${2:-1000}
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target qlmr_patch_diff_tests -j "$(nproc)" >/dev/null
QLMR_DIFF_PAIRS=$pairs QLMR_RELEASE_CHAINS=$(((pairs + 3) / 4)) QLMR_DIFF_SEED=$seed \
  build/bin/qlmr_patch_diff_tests \
  --gtest_filter='*GeneratedPairsApplyToNew*:*EveryOldOfARandomSubsetReachesTheNewest*'
