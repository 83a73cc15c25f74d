# CRC against zlib's crc32, positional mask against memcpy.
run_bench qlmr_base_bench
ratio crc_vs_zlib ">=1.0" "$out/qlmr_base_bench.json" BM_Crc_Ours BM_Crc_Zlib
ratio mask_vs_memcpy ">=0.6" "$out/qlmr_base_bench.json" BM_Mask_Ours BM_Mask_Memcpy
