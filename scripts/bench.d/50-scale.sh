# Scaling with the number of stored files and entries, each ratio the time of
# the large case over that of the small one (lower is better; goals: add and
# ls at 10,000 files within 10 times the 2-file case, an apply of 10,000
# entries within 15 times that of 1,000; the apply's 500 ms pause is left
# out of both). Each is given by the wall clock and, as *_cpu, by the
# processes' processor time, which other work on the machine disturbs less.
run_bench qlmr_scale_bench
scale="$out/qlmr_scale_bench.json"
ratio pak_add_10000_over_2 "<=10" "$scale" BM_PakAddOne/10000/iterations:3/real_time \
  BM_PakAddOne/2/iterations:3/real_time real_time
ratio pak_add_10000_over_2_cpu "<=10" "$scale" BM_PakAddOne/10000/iterations:3/real_time \
  BM_PakAddOne/2/iterations:3/real_time cpu_ms
ratio pak_ls_10000_over_2 "<=10" "$scale" BM_PakList/10000/iterations:3/real_time \
  BM_PakList/2/iterations:3/real_time real_time
ratio pak_ls_10000_over_2_cpu "<=10" "$scale" BM_PakList/10000/iterations:3/real_time \
  BM_PakList/2/iterations:3/real_time cpu_ms
ratio apply_pack_10000_over_1000 "<=15" "$scale" BM_ApplyPackWrites/10000/iterations:1/manual_time \
  BM_ApplyPackWrites/1000/iterations:1/manual_time real_time
ratio apply_pack_10000_over_1000_cpu "<=15" "$scale" BM_ApplyPackWrites/10000/iterations:1/manual_time \
  BM_ApplyPackWrites/1000/iterations:1/manual_time cpu_ms
ratio apply_loose_10000_over_1000 "<=15" "$scale" BM_ApplyLooseFiles/10000/iterations:1/manual_time \
  BM_ApplyLooseFiles/1000/iterations:1/manual_time real_time
ratio apply_loose_10000_over_1000_cpu "<=15" "$scale" BM_ApplyLooseFiles/10000/iterations:1/manual_time \
  BM_ApplyLooseFiles/1000/iterations:1/manual_time cpu_ms
# A packed package with stored zip entries against deflated ones: apply time
# by the wall clock and in processor time (above 1: stored applies faster)
# and size (above 1: stored is smaller).
run_bench qlmr_packed_bench
ratio packed_stored_vs_deflated_apply - "$out/qlmr_packed_bench.json" \
  BM_PackedApply/0/iterations:1/manual_time BM_PackedApply/1/iterations:1/manual_time real_time
ratio packed_stored_vs_deflated_apply_cpu - "$out/qlmr_packed_bench.json" \
  BM_PackedApply/0/iterations:1/manual_time BM_PackedApply/1/iterations:1/manual_time cpu_ms
ratio packed_stored_vs_deflated_size - "$out/qlmr_packed_bench.json" \
  BM_PackedApply/0/iterations:1/manual_time BM_PackedApply/1/iterations:1/manual_time package_bytes
