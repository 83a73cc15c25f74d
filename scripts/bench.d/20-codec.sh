# Codec decoding against the bare libraries on the unmasked streams, and
# LZMA's automatic filter mode against one plain encode (both in wall-clock
# time; above 1 means the automatic mode is faster).
run_bench qlmr_codec_bench
ratio lzo_decode_vs_raw ">=0.95" "$out/qlmr_codec_bench.json" \
  BM_LzoDecode_Ours/real_time BM_LzoDecode_Raw/real_time
ratio lzma_decode_vs_raw ">=0.95" "$out/qlmr_codec_bench.json" \
  BM_LzmaDecode_Ours/real_time BM_LzmaDecode_Raw/real_time
ratio lzma_auto_vs_single ">=0.8" "$out/qlmr_codec_bench.json" \
  BM_LzmaEncode_Auto/real_time BM_LzmaEncode_Single/real_time
