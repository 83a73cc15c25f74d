#include "patch/zip_checks.h"

#include <zlib.h>

#include <algorithm>

#include "base/error.h"

namespace qlmr {

bool CheckZipLayout(const std::vector<ZipEntryInfo>& entries, uint64_t fileSize) {
  struct Extent {
    uint64_t begin;
    uint64_t end;
    const ZipEntryInfo* info;
  };
  std::vector<Extent> extents;
  extents.reserve(entries.size());
  for (const ZipEntryInfo& info : entries) {
    if (info.localOffset == ZipEntryInfo::kUnknownOffset) continue;
    // The local record repeats the name; its extra field may differ, so the
    // extent is a lower bound. Sizes are 32-bit: no overflow in 64 bits.
    uint64_t end =
        info.localOffset + zip_format::kLocalHeaderSize + info.name.size() + info.compressedSize;
    if (end > fileSize) {
      ReportError(ERR_BAD_DATA, "Entry=%s(truncated)", info.name.c_str());
      return false;
    }
    extents.push_back({info.localOffset, end, &info});
  }
  std::sort(extents.begin(), extents.end(),
            [](const Extent& a, const Extent& b) { return a.begin < b.begin; });
  for (size_t i = 1; i < extents.size(); ++i) {
    if (extents[i].begin < extents[i - 1].end) {
      ReportError(ERR_BAD_DATA, "Entry=%s(overlaps)", extents[i].info->name.c_str());
      return false;
    }
  }
  return true;
}

bool CheckEntryClaims(const ZipEntryInfo& info, uint64_t limit) {
  bool possible = false;
  switch (info.method) {
    case zip_format::kMethodStored:
      possible = info.size == info.compressedSize;
      break;
    case zip_format::kMethodDeflate:
      possible = info.size <= info.compressedSize * zip_format::kMaxDeflateRatio;
      break;
    default:
      break;
  }
  if (!possible) {
    ReportError(ERR_BAD_DATA, "Entry=%s(size)", info.name.c_str());
    return false;
  }
  if (info.size > limit) {
    ReportError(ERR_NO_MEMORY, "Size=%llu", static_cast<unsigned long long>(info.size));
    return false;
  }
  return true;
}

uint32_t ZipCrcUpdate(uint32_t crc, const void* data, size_t length) {
  const Bytef* bytes = static_cast<const Bytef*>(data);
  // zlib counts in uInt; feed it in pieces that fit.
  while (length > 0) {
    uInt piece = static_cast<uInt>(std::min<size_t>(length, 1u << 30));
    crc = static_cast<uint32_t>(crc32(crc, bytes, piece));
    bytes += piece;
    length -= piece;
  }
  return crc;
}

bool CheckEntryCrc(const ZipEntryInfo& info, uint32_t crc) {
  if (crc == info.crc32) return true;
  ReportError(ERR_BAD_DATA, "Entry=%s(crc)", info.name.c_str());
  return false;
}

}  // namespace qlmr
