// Checking a read-only archive against its list file.
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "base/crc.h"
#include "base/error.h"
#include "base/strings.h"
#include "pack/pack_archive_impl.h"

namespace qlmr {
namespace {

// Releases a stream on every path that ends with a recorded error. A stop by
// a callback keeps the streams, which the archive's Close releases.
class StreamHolder {
 public:
  explicit StreamHolder(PackFileStream* stream) : stream_(stream) {}
  ~StreamHolder() {
    if (stream_ != nullptr) stream_->Release();
  }
  StreamHolder(const StreamHolder&) = delete;
  StreamHolder& operator=(const StreamHolder&) = delete;
  PackFileStream* get() const { return stream_; }
  void Keep() { stream_ = nullptr; }

 private:
  PackFileStream* stream_;
};

// The CRC of a stream's whole content, read in pieces. False with ERR_READ
// when fewer than GetSize bytes come back.
bool ContentCrc(PackFileStream* stream, const std::string& name, uint32_t* crc) {
  constexpr uint32_t kPiece = 1u << 16;
  std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[kPiece]);
  if (piece == nullptr) {
    ReportError(ERR_NO_MEMORY, "Size=%u", kPiece);
    return false;
  }
  uint32_t size = stream->GetSize();
  uint32_t total = 0;
  uint32_t state = kCrcInit;
  while (total < size) {
    uint32_t got = stream->Read(piece.get(), size - total < kPiece ? size - total : kPiece);
    if (got == 0) break;
    state = CrcUpdate(state, piece.get(), got);
    total += got;
  }
  if (total < size) {
    ReportError(ERR_READ, "file=%s", name.c_str());
    return false;
  }
  *crc = CrcFinish(state);
  return true;
}

}  // namespace

bool PackArchiveImpl::Verify(void* context, PackVerifyFileCallback onFile,
                             PackVerifyHashCallback onHashEntry,
                             PackVerifyBlockCallback onBlockEntry) {
  if (!IsOpen()) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  if (header_.writeFlag != 0) {
    ReportError(ERR_MODE, "");
    return false;
  }
  StreamHolder list(OpenFile(kPackListFileName));
  if (list.get() == nullptr) return false;
  if (onFile != nullptr && !onFile(context, kPackListFileName, list.get())) {
    list.Keep();
    return false;
  }
  list.get()->SkipLine();
  char line[kPackListLineCapacity + 1] = {};
  list.get()->ReadLine(line, kPackListLineCapacity);
  int32_t expected = ParseDecimal(line);

  std::set<uint32_t> listed_slots;
  std::set<uint32_t> listed_blocks;
  int32_t processed = 0;
  std::vector<std::string> fields;
  while (!list.get()->IsEof()) {
    if (list.get()->ReadLine(line, kPackListLineCapacity) == 0) {
      ReportError(ERR_BAD_DATA, "list file second line=0");
      return false;
    }
    SplitString(line, &fields, "|", false, false);
    uint32_t listed_size = 0;
    uint32_t listed_crc = 0;
    // A field without hexadecimal digits matches nothing.
    if (fields.size() != 3 || !ParseHex8(fields[1].c_str(), &listed_size) ||
        !ParseHex8(fields[2].c_str(), &listed_crc)) {
      ReportError(ERR_BAD_DATA, "list file=%s", line);
      return false;
    }
    const std::string& name = fields[0];
    StreamHolder entry(OpenFile(name.c_str()));
    if (entry.get() == nullptr) return false;
    if (onFile != nullptr && !onFile(context, name.c_str(), entry.get())) {
      entry.Keep();
      list.Keep();
      return false;
    }
    if (entry.get()->GetSize() != listed_size) {
      ReportError(ERR_BAD_DATA, "file=%s, sizedif(%d!=%d)", name.c_str(),
                  static_cast<int>(entry.get()->GetSize()), static_cast<int>(listed_size));
      return false;
    }
    uint32_t crc = 0;
    if (!ContentCrc(entry.get(), name, &crc)) return false;
    if (crc != listed_crc) {
      ReportError(ERR_BAD_DATA, "file=%s, crcdif(%d!=%d)", name.c_str(), static_cast<int>(crc),
                  static_cast<int>(listed_crc));
      return false;
    }
    int32_t slot = LookupSlot(name.c_str());
    listed_slots.insert(static_cast<uint32_t>(slot));
    listed_blocks.insert(slots_[static_cast<uint32_t>(slot)].BlockIndex());
    ++processed;
  }
  if (processed != expected) {
    ReportError(ERR_BAD_DATA, "file countdif(%d!=%d)", static_cast<int>(processed),
                static_cast<int>(expected));
    return false;
  }

  int32_t list_slot = LookupSlot(kPackListFileName);
  uint32_t list_block = slots_[static_cast<uint32_t>(list_slot)].BlockIndex();
  for (uint32_t i = 0; i < kPackHashSlotCount; ++i) {
    const PackHashEntry& entry = slots_[i];
    if (!entry.InUse()) continue;
    if (onHashEntry != nullptr && !onHashEntry(context, entry.hashA, entry.hashB)) return false;
    if (listed_slots.count(i) == 0 && i != static_cast<uint32_t>(list_slot)) {
      ReportError(ERR_BAD_DATA, "unref hashnode(%d)", static_cast<int>(i));
      return false;
    }
  }
  for (uint32_t j = 0; j < blocks_.size(); ++j) {
    const PackBlockEntry& block = blocks_[j];
    if (!block.InUse()) continue;
    if (onBlockEntry != nullptr &&
        !onBlockEntry(context, block.offset, block.storedSize, block.contentSize)) {
      return false;
    }
    if (listed_blocks.count(j) == 0 && j != list_block) {
      ReportError(ERR_BAD_DATA, "unref blocknode(%d)", static_cast<int>(j));
      return false;
    }
  }
  return true;
}

}  // namespace qlmr
