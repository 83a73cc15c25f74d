#include "tests/pack/pack_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/codec.h"
#include "base/crc.h"
#include "base/error.h"
#include "pack/pack_inspect.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace testing_support {

std::unique_ptr<PackArchiveImpl> NewImpl() { return std::make_unique<PackArchiveImpl>(); }

void MakeArchiveOrDie(const std::string& path, const std::map<std::string, std::string>& files) {
  auto archive = NewPackArchive();
  bool ok = archive->Create(path.c_str());
  for (const auto& file : files) {
    ok = ok && archive->AddFile(file.second.data(), static_cast<uint32_t>(file.second.size()),
                                file.first.c_str(), true, false, 0, 0);
  }
  if (!ok) {
    fprintf(stderr, "cannot make %s: %d %s\n", path.c_str(), LastErrorCode(), LastErrorMessage());
    abort();
  }
}

std::string EncodeStored(uint8_t type, const std::string& content) {
  const Codec* codec = GetCodecRegistry().Find(type);
  if (codec == nullptr) return std::string();
  uint32_t length = static_cast<uint32_t>(content.size());
  std::vector<uint8_t> buffer(std::max<uint32_t>(codec->MaxEncodedSize(length), 1));
  std::copy(content.begin(), content.end(), buffer.begin());
  if (!codec->Encode(buffer.data(), static_cast<uint32_t>(buffer.size()), &length)) {
    return std::string();
  }
  return std::string(buffer.begin(), buffer.begin() + length);
}

std::string ReadStored(PackArchive& archive, const char* name, bool* ok) {
  PackFileStream* stream = archive.OpenFile(name);
  if (stream == nullptr) {
    if (ok != nullptr) *ok = false;
    return std::string();
  }
  std::string content(stream->GetSize(), '\0');
  uint32_t got = content.empty() ? 0 : stream->Read(&content[0], stream->GetSize());
  stream->Release();
  if (ok != nullptr) *ok = got == content.size();
  return content;
}

uint32_t Get32(const std::string& bytes, uint32_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes[offset + i]);
  return value;
}

void Put32(std::string* bytes, uint32_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = static_cast<char>(value >> (8 * i));
}

void PatchFile32(const std::string& path, uint32_t offset, uint32_t value) {
  File file;
  uint8_t raw[4];
  for (int i = 0; i < 4; ++i) raw[i] = static_cast<uint8_t>(value >> (8 * i));
  if (!file.Open(path.c_str(), FileMode::kReadWrite) || !file.WriteAt(offset, raw, 4)) {
    fprintf(stderr, "cannot patch %s\n", path.c_str());
    abort();
  }
}

std::string EmptyArchiveImage() {
  std::string image(kPackDataOffset, '\0');
  uint8_t raw[kPackHeaderSize];
  PackHeader header = NewPackHeader();
  header.writeFlag = 0;
  EncodeHeader(header, raw);
  image.replace(0, kPackHeaderSize, reinterpret_cast<char*>(raw), kPackHeaderSize);
  return image;
}

void SetSlot(std::string* image, uint32_t slot, uint32_t hashA, uint32_t hashB, uint32_t blockRef) {
  Put32(image, SlotPos(slot), hashA);
  Put32(image, SlotPos(slot) + 4, hashB);
  Put32(image, SlotPos(slot) + 8, blockRef);
}

void SetBlock(std::string* image, uint32_t index, uint32_t offset, uint32_t storedSize,
              uint32_t contentSize, uint32_t flags) {
  Put32(image, BlockPos(index), offset);
  Put32(image, BlockPos(index) + 4, storedSize);
  Put32(image, BlockPos(index) + 8, contentSize);
  Put32(image, BlockPos(index) + 12, flags);
}

std::string ListFileText(const std::map<std::string, std::string>& files) {
  std::string text = "test list\n" + std::to_string(files.size()) + "\n";
  for (const auto& file : files) {
    uint32_t crc = 0;
    if (!file.second.empty()) {
      BufferCrc(file.second.data(), static_cast<uint32_t>(file.second.size()), &crc);
    }
    char fields[32];
    snprintf(fields, sizeof fields, "|%08X|%08X\n", static_cast<unsigned>(file.second.size()), crc);
    text += file.first + fields;
  }
  return text;
}

void ExpectConsistent(const std::string& path, const std::map<std::string, std::string>& expected) {
  auto archive = NewPackArchive();
  ASSERT_TRUE(archive->Open(path.c_str(), true)) << LastErrorCode() << " " << LastErrorMessage();
  PackHeader header;
  ASSERT_TRUE(GetPackHeader(*archive, &header));
  std::vector<PackSlotInfo> slots;
  ASSERT_TRUE(ListPackSlots(*archive, &slots));
  std::map<uint32_t, int> references;
  for (const PackSlotInfo& info : slots) {
    ASSERT_TRUE(info.hasBlock) << "slot " << info.slot;
    EXPECT_TRUE(info.block.InUse()) << "slot " << info.slot << " names a free block";
    ++references[info.hash.BlockIndex()];
  }
  // Read every block entry straight from the file.
  std::string bytes = ReadFileOrEmpty(path);
  std::map<uint32_t, uint32_t> extents;  // offset -> end, all entries
  for (uint32_t j = 0; j < header.blockCount; ++j) {
    uint32_t offset = Get32(bytes, BlockPos(j));
    uint32_t stored = Get32(bytes, BlockPos(j) + 4);
    uint32_t flags = Get32(bytes, BlockPos(j) + 12);
    if ((flags & kBlockInUse) != 0) {
      EXPECT_EQ(references[j], 1) << "block " << j;
    }
    EXPECT_GE(offset, header.dataOffset) << "block " << j;
    uint32_t end = offset + BlockExtent(stored);
    EXPECT_LE(end, header.dataOffset + header.dataSize) << "block " << j;
    EXPECT_TRUE(extents.emplace(offset, end).second) << "two blocks at " << offset;
  }
  uint32_t last_end = 0;
  for (const auto& extent : extents) {
    EXPECT_GE(extent.first, last_end) << "overlapping extents at " << extent.first;
    last_end = extent.second;
  }
  EXPECT_EQ(slots.size(), expected.size());
  for (const auto& file : expected) {
    bool ok = false;
    EXPECT_EQ(ReadStored(*archive, file.first.c_str(), &ok), file.second) << file.first;
    EXPECT_TRUE(ok) << file.first << ": " << LastErrorCode() << " " << LastErrorMessage();
  }
}

}  // namespace testing_support
}  // namespace qlmr
