# The patch between two installations against hashing both once.
# Also qlmr-patchkit release's work on the same pair.
qlmr_add_bench(qlmr_diff_bench ${CMAKE_CURRENT_SOURCE_DIR}/diff_bench.cpp
  LIBS qlmr_release qlmr_bench_util)
# The size of a cumulative patch over four releases against its steps.
qlmr_add_bench(qlmr_chain_bench ${CMAKE_CURRENT_SOURCE_DIR}/chain_bench.cpp
  LIBS qlmr_patch_diff qlmr_bench_util)
