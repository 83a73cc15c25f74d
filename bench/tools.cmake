# The patch between two installations against hashing both once.
qlmr_add_bench(qlmr_diff_bench ${CMAKE_CURRENT_SOURCE_DIR}/diff_bench.cpp LIBS qlmr_patch_diff)
