# Applying a 200 MiB loose-only masked patch with qlmr-patchkit against unzip
# of the same zip; both whole processes writing into an empty folder. The
# apply includes the fixed 500 ms pause of the application order, so the
# ratio is also shown with that pause taken out.
run_bench qlmr_patch_bench
ratio apply_vs_unzip ">=0.9" "$out/qlmr_patch_bench.json" BM_Apply_Patchkit/iterations:1/real_time \
  BM_Unzip/iterations:1/real_time
python3 - "$out/qlmr_patch_bench.json" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
def median_ms(bench):
    for r in runs:
        if r.get("run_name") == bench and r.get("aggregate_name") == "median":
            return float(r["real_time"])
    sys.exit("no median for " + bench)
ours = median_ms("BM_Apply_Patchkit/iterations:1/real_time")
unzip = median_ms("BM_Unzip/iterations:1/real_time")
print("ratio apply_vs_unzip_without_pause %.3f" % (unzip / (ours - 500.0)))
print("apply %.0f ms (500 ms of it the fixed pause), unzip %.0f ms" % (ours, unzip), file=sys.stderr)
PY
