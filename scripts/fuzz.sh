#!/usr/bin/env bash
# Builds the libFuzzer targets (build-fuzz/, clang) and runs each one for
# SECONDS (default 600) on its committed seeds (fuzz/corpus/<target>) and
# findings turned regressions (fuzz/regressions/<target>), two at a time at
# most, at the lowest priority. New inputs go to build-fuzz/corpus/<target>,
# crashes to build-fuzz/artifacts/. Prints executions and coverage per target
# and fails if any target found something.
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(pack_read_fuzz pack_write_fuzz patch_masked_fuzz patch_packed_fuzz control_list_fuzz
    lzo_decode_fuzz lzma_decode_fuzz mask_codec_fuzz carrier_fuzz)
fi
parallel=${FUZZ_PARALLEL:-2}

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQLMR_BUILD_FUZZ=ON -DQLMR_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build build-fuzz --target qlmr_fuzzers -j "$(nproc)"

# The targets write their inputs to files; memory-backed files keep the disk
# from setting the pace.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
mkdir -p build-fuzz/artifacts build-fuzz/logs

run() {
  local target=$1
  local work=build-fuzz/corpus/$target
  mkdir -p "$work"
  local seeds=(fuzz/corpus/"$target")
  if [ -d fuzz/regressions/"$target" ]; then seeds+=(fuzz/regressions/"$target"); fi
  nice -n 19 build-fuzz/bin/"$target" -max_total_time="$seconds" -print_final_stats=1 \
    -dict=fuzz/qlmr.dict -artifact_prefix=build-fuzz/artifacts/"$target"- -rss_limit_mb=3072 \
    -timeout=30 "$work" "${seeds[@]}" >build-fuzz/logs/"$target".log 2>&1
}

status=0
pids=()
names=()
for target in "${targets[@]}"; do
  run "$target" &
  pids+=($!)
  names+=("$target")
  if [ ${#pids[@]} -ge "$parallel" ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done

for target in "${names[@]}"; do
  log=build-fuzz/logs/$target.log
  execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
  cov=$(grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE|INITED)' "$log" | tail -1 |
    grep -o 'cov: [0-9]*' | grep -o '[0-9]*$' || echo 0)
  verdict=ok
  if grep -qE 'ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|SUMMARY: ' "$log"; then
    verdict=FOUND
    status=1
    sed -n '/ERROR:/,/SUMMARY/p' "$log" | head -40
  fi
  echo "fuzz $target: ${seconds}s, $execs executions, coverage $cov, $verdict"
done
exit $status
