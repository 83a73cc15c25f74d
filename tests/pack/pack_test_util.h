// Helpers for the pack archive tests: archives on disk, raw edits of their
// bytes, and a structural check of a closed archive.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "pack/pack_archive.h"
#include "pack/pack_archive_impl.h"

namespace qlmr {
namespace testing_support {

// A new archive object, typed so that tests reach the internal operations.
std::unique_ptr<PackArchiveImpl> NewImpl();

// Creates `path` holding `files` (name -> content, type 0) and closes it.
void MakeArchiveOrDie(const std::string& path, const std::map<std::string, std::string>& files);

// `content` encoded by the codec of `type`, as a stored file of that type
// holds it; empty if the codec refuses.
std::string EncodeStored(uint8_t type, const std::string& content);

// The decoded content of `name` through a stream; `ok` false if it fails.
std::string ReadStored(PackArchive& archive, const char* name, bool* ok = nullptr);

// Little-endian u32 inside a byte image.
uint32_t Get32(const std::string& bytes, uint32_t offset);
void Put32(std::string* bytes, uint32_t offset, uint32_t value);

// Rewrites one u32 of a file in place.
void PatchFile32(const std::string& path, uint32_t offset, uint32_t value);

// Byte positions of a slot's and a block entry's fields in a standard archive.
inline uint32_t SlotPos(uint32_t slot) { return kPackHashTableOffset + slot * kPackHashEntrySize; }
inline uint32_t BlockPos(uint32_t index) {
  return kPackBlockTableOffset + index * kPackBlockEntrySize;
}

// The bytes of a new, closed, empty archive, and edits of such images.
std::string EmptyArchiveImage();
void SetSlot(std::string* image, uint32_t slot, uint32_t hashA, uint32_t hashB, uint32_t blockRef);
void SetBlock(std::string* image, uint32_t index, uint32_t offset, uint32_t storedSize,
              uint32_t contentSize, uint32_t flags);

// The text of a list file "(list)" naming `files` (name -> content) with
// their sizes and CRCs, as Verify checks it.
std::string ListFileText(const std::map<std::string, std::string>& files);

// Opens `path` read-only and checks what the format promises: every in-use
// slot names an in-use block, every in-use block is named by exactly one
// slot, extents lie in the data area without overlapping, and exactly the
// `expected` names are stored with their contents. Adds test failures.
void ExpectConsistent(const std::string& path, const std::map<std::string, std::string>& expected);

}  // namespace testing_support
}  // namespace qlmr
