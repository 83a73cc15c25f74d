// CRC and positional mask throughput against their references (zlib's crc32
// and memcpy), on the same 64 MiB buffer in one run.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <vector>

#include "base/crc.h"
#include "base/mask.h"

namespace {

constexpr size_t kBufferSize = 64u << 20;

const std::vector<unsigned char>& Buffer() {
  static const std::vector<unsigned char> buffer = [] {
    std::vector<unsigned char> b(kBufferSize);
    std::mt19937 engine(1);
    for (auto& c : b) c = static_cast<unsigned char>(engine());
    return b;
  }();
  return buffer;
}

void BM_Crc_Ours(benchmark::State& state) {
  const auto& data = Buffer();
  for (auto _ : state) {
    uint32_t crc = 0;
    qlmr::BufferCrc(data.data(), static_cast<uint32_t>(data.size()), &crc);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_Crc_Zlib(benchmark::State& state) {
  const auto& data = Buffer();
  for (auto _ : state) {
    uLong crc = crc32(0L, data.data(), static_cast<uInt>(data.size()));
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

// The mask is XORed into a copy, as the readers do: the output buffer is
// written once per pass, like memcpy's.
void BM_Mask_Ours(benchmark::State& state) {
  const auto& data = Buffer();
  std::vector<unsigned char> out(data.size());
  for (auto _ : state) {
    memcpy(out.data(), data.data(), data.size());
    qlmr::MaskBuffer(out.data(), out.size(), 17);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_Mask_Memcpy(benchmark::State& state) {
  const auto& data = Buffer();
  std::vector<unsigned char> out(data.size());
  for (auto _ : state) {
    memcpy(out.data(), data.data(), data.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

BENCHMARK(BM_Crc_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc_Zlib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Mask_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Mask_Memcpy)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
