#include "fuzz/pack_fuzz_input.h"

#include "pack/pack_format.h"

namespace qlmr {
namespace fuzzing {
namespace {

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  // Up to `n` bytes; fewer at the end.
  size_t Take(size_t n, const uint8_t** bytes) {
    *bytes = data_ + at_;
    size_t got = n < size_ - at_ ? n : size_ - at_;
    at_ += got;
    return got;
  }
  uint32_t U16() {
    const uint8_t* bytes = nullptr;
    size_t got = Take(2, &bytes);
    return got == 2 ? (bytes[0] | bytes[1] << 8) : 0;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

void Place(std::string* file, size_t at, const uint8_t* bytes, size_t n) {
  file->replace(at, n, reinterpret_cast<const char*>(bytes), n);
}

}  // namespace

std::string ExpandPackInput(const uint8_t* data, size_t size) {
  std::string file(kPackDataOffset, '\0');
  Reader in(data, size);
  const uint8_t* bytes = nullptr;
  size_t got = in.Take(kPackHeaderSize, &bytes);
  Place(&file, 0, bytes, got);
  for (uint32_t n = in.U16(); n > 0; --n) {
    uint32_t slot = in.U16() % kPackHashSlotCount;
    got = in.Take(kPackHashEntrySize, &bytes);
    Place(&file, kPackHashTableOffset + slot * kPackHashEntrySize, bytes, got);
  }
  uint32_t blocks = in.U16();
  for (uint32_t i = 0; i < blocks && i < kPackMaxBlockCount; ++i) {
    got = in.Take(kPackBlockEntrySize, &bytes);
    Place(&file, kPackBlockTableOffset + i * kPackBlockEntrySize, bytes, got);
  }
  size_t rest = in.Take(size, &bytes);
  file.append(reinterpret_cast<const char*>(bytes), rest);
  return file;
}

}  // namespace fuzzing
}  // namespace qlmr
