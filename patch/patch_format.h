// The constants of the patch package format, in one place.
#pragma once

#include <cstdint>

namespace qlmr {
namespace patch_format {

// The control list's entry name inside the container.
constexpr const char kControlListName[] = "(command)";

// Bytes DetectPatchKind reads; a file of kMinimumSize bytes or less has no kind.
constexpr uint32_t kHeaderSize = 8;
constexpr uint64_t kMinimumSize = 4;

// First two bytes of a zip archive.
constexpr uint8_t kZipMagic0 = 0x50;  // 'P'
constexpr uint8_t kZipMagic1 = 0x4B;  // 'K'

// Packed file: "JZQ1", u32 content length, LZMA-encoded content, CRC trailer.
constexpr uint32_t kPackedMagic = 0x31515A4A;  // "JZQ1" read little-endian
constexpr uint32_t kPackedSizeOffset = 4;
constexpr uint32_t kPackedDataOffset = 8;
constexpr int32_t kPackedCodec = 3;  // LzmaCodec

// Control-list line: op|packName|fileName|compressType|contentSize.
constexpr const char kFieldSeparator[] = "|";
constexpr const char kLineSeparators[] = "\r\n";
constexpr int kMinimumFields = 5;

// Work folder for the unpacked copy of a packed file.
constexpr const char kWorkFolderPrefix[] = "axu";
constexpr const char kUnpackedExtension[] = ".~patch";

// Entry data is copied to files in chunks of this size: large enough that
// the system calls per file do not set the pace of a patch of many files.
constexpr uint32_t kCopyChunkSize = 1u << 16;

// Largest entry taken into memory: what a pack archive can hold.
constexpr uint64_t kMaxInMemoryEntry = 0x7FFFFFFF;
// Largest control list: lines for every file of many full pack archives stay
// far below it, and a forged list cannot make the tables grow without end.
constexpr uint64_t kMaxControlListSize = 32u << 20;

// The pause between whole-pack entries and the work inside packs.
constexpr int kPackPauseMilliseconds = 500;

// A loose file (the version file too) is written beside its target under
// this suffix, then moved over it. A fixed name: the same apply run again
// after a crash reuses it instead of leaving one more file behind.
constexpr const char kLooseTempSuffix[] = ".~new";

}  // namespace patch_format
}  // namespace qlmr
