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

// The mask is XORed into a copy, as the readers do: each piece the system
// hands them (the zip readers' and MaskFileInPlace's 64 KiB reads) is masked
// in place right after it arrived, while it is still in the cache. The
// reference copies the same pieces.
constexpr size_t kReadPiece = 64u << 10;

// Copies the buffer `piece` bytes at a time, masking each piece right after
// its copy when `mask` is set.
void CopyInPieces(benchmark::State& state, size_t piece, bool mask) {
  const auto& data = Buffer();
  std::vector<unsigned char> out(data.size());
  for (auto _ : state) {
    for (size_t at = 0; at < data.size(); at += piece) {
      memcpy(out.data() + at, data.data() + at, piece);
      if (mask) qlmr::MaskBuffer(out.data() + at, piece, static_cast<uint32_t>(17 + at));
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_Mask_Ours(benchmark::State& state) { CopyInPieces(state, kReadPiece, true); }
void BM_Mask_Memcpy(benchmark::State& state) { CopyInPieces(state, kReadPiece, false); }

// The whole buffer copied, then masked: two passes through main memory
// against one, so it shows the memory's speed more than the mask's. Kept
// for comparison with earlier readings, which were taken in this form.
void BM_MaskWhole_Ours(benchmark::State& state) { CopyInPieces(state, kBufferSize, true); }
void BM_MaskWhole_Memcpy(benchmark::State& state) { CopyInPieces(state, kBufferSize, false); }

BENCHMARK(BM_Crc_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc_Zlib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Mask_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Mask_Memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MaskWhole_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MaskWhole_Memcpy)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
