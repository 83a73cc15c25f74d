# CRC against zlib's crc32, positional mask against memcpy.
run_bench qlmr_base_bench
ratio crc_vs_zlib ">=1.0" "$out/qlmr_base_bench.json" BM_Crc_Ours BM_Crc_Zlib
ratio mask_vs_memcpy ">=0.6" "$out/qlmr_base_bench.json" BM_Mask_Ours BM_Mask_Memcpy
# The same on the whole buffer at once (two passes through memory against
# one), the form of earlier readings: shown without a goal.
ratio mask_whole_buffer_vs_memcpy - "$out/qlmr_base_bench.json" BM_MaskWhole_Ours BM_MaskWhole_Memcpy
