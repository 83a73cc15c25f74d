#!/usr/bin/env bash
# Builds in release mode, runs the benchmarks and prints one line per
# comparison: "ratio <name> <value> (goal <op> <bound>, met|missed)", value =
# our throughput divided by the reference's (above 1: we are faster).
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

# ratio <name> <goal> <json> <ours> <reference> [field]: median of `field`
# (default bytes_per_second) of benchmark <ours> divided by that of
# <reference>, printed with its goal: ">=X" or "<=X", or "-" for a figure
# shown without one.
ratio() {
  python3 - "$@" <<'PY'
import json, sys
name, goal, path, ours, ref = sys.argv[1:6]
field = sys.argv[6] if len(sys.argv) > 6 else "bytes_per_second"
runs = json.load(open(path))["benchmarks"]
def median(bench):
    for r in runs:
        if r.get("run_name") == bench and r.get("aggregate_name") == "median":
            return float(r[field])
    sys.exit("no median for " + bench)
value = median(ours) / median(ref)
if goal == "-":
    print("ratio %s %.3f" % (name, value))
else:
    bound = float(goal[2:])
    met = value >= bound if goal.startswith(">=") else value <= bound
    print("ratio %s %.3f (goal %s %g, %s)" % (name, value, goal[:2], bound, "met" if met else "missed"))
PY
}

# Each subsystem adds its comparisons in scripts/bench.d/, run in name order;
# arguments, if any, pick the parts whose file names contain one of them
# (`bash scripts/bench.sh base patch`).
for part in scripts/bench.d/*.sh; do
  if [ $# -gt 0 ]; then
    wanted=0
    for word in "$@"; do
      case "$(basename "$part")" in *"$word"*) wanted=1 ;; esac
    done
    [ "$wanted" = 1 ] || continue
  fi
  # shellcheck source=/dev/null
  source "$part"
done
