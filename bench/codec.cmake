qlmr_add_bench(qlmr_codec_bench codec_bench.cpp
  LIBS qlmr_base PkgConfig::LZO2 PkgConfig::LZMA)
