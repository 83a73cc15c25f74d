// The updater's own carrier marker record, and the search for it in an
// updater file.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "base/error.h"
#include "base/platform.h"
#include "update/carrier.h"
#include "update/carrier_format.h"

namespace qlmr {
namespace {

constexpr uint32_t kComplement = ~kCarrierOffset;

const CarrierMarker kOwnMarker = {
    {'\x89', 'Q', 'L', 'M', 'R', '-', 'C', 'A', 'R', 'R', 'I', 'E', 'R', '\r', '\n', '\x1a'},
    {static_cast<uint8_t>(kCarrierOffset), static_cast<uint8_t>(kCarrierOffset >> 8),
     static_cast<uint8_t>(kCarrierOffset >> 16), static_cast<uint8_t>(kCarrierOffset >> 24)},
    {static_cast<uint8_t>(kComplement), static_cast<uint8_t>(kComplement >> 8),
     static_cast<uint8_t>(kComplement >> 16), static_cast<uint8_t>(kComplement >> 24)},
};

constexpr uint32_t kSearchChunk = 1u << 16;

// Whether `record`, found at file position `position`, is a marker record.
bool IsMarkerAt(const uint8_t* record, uint64_t position, uint32_t* offset) {
  CarrierMarker marker;
  memcpy(&marker, record, sizeof marker);
  uint32_t value = LoadLittleEndian32(marker.offset);
  if (LoadLittleEndian32(marker.complement) != ~value) return false;
  // The program, and so its marker, ends before the carrier block.
  if (value < position + sizeof marker) return false;
  *offset = value;
  return true;
}

}  // namespace

uint32_t OwnCarrierOffset() {
  // Read through a volatile view, so the record is referenced and no linker
  // drops it as unused.
  const volatile uint8_t* bytes = kOwnMarker.offset;
  uint8_t copy[4] = {bytes[0], bytes[1], bytes[2], bytes[3]};
  return LoadLittleEndian32(copy);
}

bool ReadCarrierOffset(const char* updaterPath, uint64_t* offset) {
  File file;
  if (!file.Open(updaterPath, FileMode::kRead)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", updaterPath, LastSystemError());
    return false;
  }
  // Chunks overlap by a record less one byte, so a record across a chunk
  // boundary is found whole.
  constexpr size_t kKeep = sizeof(CarrierMarker) - 1;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kKeep + kSearchChunk]);
  if (buffer == nullptr) {
    ReportError(ERR_NO_MEMORY, "Size=%u", static_cast<unsigned>(kKeep + kSearchChunk));
    return false;
  }
  size_t held = 0;        // bytes in the buffer
  uint64_t bufferAt = 0;  // file position of buffer[0]
  for (;;) {
    uint32_t got = 0;
    if (!file.Read(buffer.get() + held, kSearchChunk, &got)) {
      ReportError(ERR_READ, "WinErr=%d", LastSystemError());
      return false;
    }
    held += got;
    const uint8_t* begin = buffer.get();
    const uint8_t* end = begin + held;
    const uint8_t* tag = reinterpret_cast<const uint8_t*>(kCarrierMarkerTag);
    for (const uint8_t* at = begin;
         (at = std::search(at, end, tag, tag + kCarrierMarkerTagSize)) != end; ++at) {
      if (static_cast<size_t>(end - at) < sizeof(CarrierMarker)) break;  // completed next round
      uint32_t value = 0;
      if (IsMarkerAt(at, bufferAt + static_cast<uint64_t>(at - begin), &value)) {
        *offset = value;
        return true;
      }
    }
    if (got == 0) break;
    size_t keep = std::min(held, kKeep);
    memmove(buffer.get(), buffer.get() + held - keep, keep);
    bufferAt += held - keep;
    held = keep;
  }
  ReportError(ERR_BAD_DATA, "File=%s(no carrier offset)", updaterPath);
  return false;
}

}  // namespace qlmr
