#!/usr/bin/env bash
# Builds in release mode, runs the benchmarks and prints one line per
# comparison: "ratio <name> <value>", value = our throughput divided by the
# reference's (above 1: we are faster).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh >/dev/null
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQLMR_BUILD_TESTS=OFF -DQLMR_BUILD_BENCH=ON >/dev/null
cmake --build build-release -j "$(nproc)" >/dev/null

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# run_bench <binary> [benchmark args...]: JSON results into $out/<binary>.json
run_bench() {
  local name=$1
  shift
  "build-release/bin/$name" --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$out/$name.json" --benchmark_out_format=json "$@" >&2
}

# ratio <name> <json> <ours> <reference> [field]: median of `field` (default
# bytes_per_second) of benchmark <ours> divided by that of <reference>.
ratio() {
  python3 - "$@" <<'PY'
import json, sys
name, path, ours, ref = sys.argv[1:5]
field = sys.argv[5] if len(sys.argv) > 5 else "bytes_per_second"
runs = json.load(open(path))["benchmarks"]
def median(bench):
    for r in runs:
        if r.get("run_name") == bench and r.get("aggregate_name") == "median":
            return float(r[field])
    sys.exit("no median for " + bench)
print("ratio %s %.3f" % (name, median(ours) / median(ref)))
PY
}

# Each subsystem adds its comparisons in scripts/bench.d/, run in name order.
for part in scripts/bench.d/*.sh; do
  # shellcheck source=/dev/null
  source "$part"
done
