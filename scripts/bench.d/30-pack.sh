# Pack archives on 10,000 files of 1 KiB to 64 KiB: stream reads against
# loose-file reads, durable adds against loose writes with fsync, and
# absent-name lookups through the slot index against the full probe scan.
run_bench qlmr_pack_bench
ratio pak_read_vs_loose ">=0.7" "$out/qlmr_pack_bench.json" BM_PakRead/real_time BM_LooseRead/real_time
ratio pak_add_vs_loose ">=0.7" "$out/qlmr_pack_bench.json" BM_PakAdd/real_time BM_LooseAdd/real_time
ratio lookup_miss_vs_scan ">=50" "$out/qlmr_pack_bench.json" BM_LookupMiss_Index BM_LookupMiss_Scan \
  items_per_second
