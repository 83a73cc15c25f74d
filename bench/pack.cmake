qlmr_add_bench(qlmr_pack_bench ${CMAKE_CURRENT_SOURCE_DIR}/pack_bench.cpp LIBS qlmr_pack)
