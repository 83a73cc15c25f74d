# qlmr-patchkit diff's work on two installations of 10,000 loose files and
# 4 archives of 5,000 stored files (DiffInstallations and WritePatch with its
# self-check, and the comparison alone) against reading and hashing both
# trees once. The pair's patch sizes go to stderr.
#
# Both trees and the scratch folders live in a RAM file system when there is
# one: the self-check applies the patch with the updater's own code, which
# makes every stored-file change durable at once, and this machine's flush
# latency would otherwise be what is measured. The ratio on the ordinary
# temporary folder is shown too, from fewer runs.
ram=/dev/shm
if [ -d "$ram" ] && [ -w "$ram" ]; then
  (export TMPDIR=$ram; run_bench qlmr_diff_bench)
  # Diffing: the comparison of the two trees, which decides the patch.
  ratio diff_vs_hash ">=0.5" "$out/qlmr_diff_bench.json" BM_DiffOnly/iterations:1/real_time \
    BM_HashBothTrees/iterations:1/real_time
  # The whole command: the comparison, the patch written and self-checked.
  ratio diff_and_patch_vs_hash ">=0.5" "$out/qlmr_diff_bench.json" \
    BM_DiffAndWritePatch/iterations:1/real_time BM_HashBothTrees/iterations:1/real_time
  # release: the same patch, wrapped, read back, digested and reported.
  ratio release_vs_hash - "$out/qlmr_diff_bench.json" \
    BM_Release/iterations:1/real_time BM_HashBothTrees/iterations:1/real_time
  mv "$out/qlmr_diff_bench.json" "$out/qlmr_diff_bench_ram.json"
fi
# Three runs are enough there: the disk's flushes dwarf the spread.
build-release/bin/qlmr_diff_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_out="$out/qlmr_diff_bench.json" --benchmark_out_format=json >&2
ratio diff_and_patch_vs_hash_on_disk - "$out/qlmr_diff_bench.json" \
  BM_DiffAndWritePatch/iterations:1/real_time BM_HashBothTrees/iterations:1/real_time
# The size of a cumulative patch over four releases (063, 064 and 065 to 066)
# against the three step patches together and against the largest step
# (below 1: the cumulative patch is the smaller). Sizes do not vary between
# runs: two repetitions give the medians the ratios read.
build-release/bin/qlmr_chain_bench --benchmark_repetitions=2 --benchmark_report_aggregates_only=true \
  --benchmark_out="$out/qlmr_chain_bench.json" --benchmark_out_format=json >&2
ratio cumulative_vs_sum_of_steps_size "$out/qlmr_chain_bench.json" \
  BM_CumulativePatch/iterations:1/real_time BM_StepPatches/iterations:1/real_time patch_bytes
ratio cumulative_vs_largest_step_size "$out/qlmr_chain_bench.json" \
  BM_CumulativePatch/iterations:1/real_time BM_LargestStepPatch/iterations:1/real_time patch_bytes
# Packed against masked on a pair with large stored files of type 3 (time
# ratio as throughput: 0.333 is "within 3x"). The packed patch's container is
# LZMA-encoded and its self-check has the updater encode every written
# stored file, both with the encoder the format prescribes; cpu_seconds in
# the benchmark's output shows that work. Three runs: each takes tens of
# seconds.
(export TMPDIR=${ram:-${TMPDIR:-/tmp}}
 build-release/bin/qlmr_packed_diff_bench --benchmark_repetitions=3 \
   --benchmark_report_aggregates_only=true \
   --benchmark_out="$out/qlmr_packed_diff_bench.json" --benchmark_out_format=json >&2)
ratio packed_vs_masked_diff ">=0.333" "$out/qlmr_packed_diff_bench.json" \
  BM_PackedDiff/iterations:1/real_time BM_MaskedDiff/iterations:1/real_time
