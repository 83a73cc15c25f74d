# qlmr-patchkit diff's work on two installations of 10,000 loose files and
# 4 archives of 5,000 stored files (DiffInstallations and WritePatch with its
# self-check) against reading and hashing both trees once. The pair's patch
# sizes go to stderr.
run_bench qlmr_diff_bench
ratio diff_vs_hash "$out/qlmr_diff_bench.json" BM_DiffAndWritePatch/iterations:1/real_time \
  BM_HashBothTrees/iterations:1/real_time
