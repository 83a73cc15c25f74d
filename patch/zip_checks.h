// Checks that keep a damaged or forged zip container from reaching the
// installation, made above the zip reader so that every backend gets them:
// the layout of the entries' records in the file, the sizes an entry claims,
// and the CRC-32 of its data as it is read.
//
// Every check reports through base/error.h and returns false; none changes
// anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "patch/zip_reader.h"

namespace qlmr {
namespace zip_format {

constexpr int kMethodStored = 0;
constexpr int kMethodDeflate = 8;
// Deflate's densest form spends 2 bits on a 258-byte match, so no entry
// expands more than this many times its compressed size.
constexpr uint64_t kMaxDeflateRatio = 1032;
// The fixed part of a local record, before its name and extra field.
constexpr uint64_t kLocalHeaderSize = 30;

// The end record of the central directory, for a backend that must find the
// directory's records itself: its signature, size, and fields.
constexpr uint32_t kEndSignature = 0x06054B50;
constexpr uint32_t kEndRecordSize = 22;
constexpr uint32_t kEndCommentLimit = 0xFFFF;
constexpr uint32_t kEndDirectorySizeOffset = 12;
constexpr uint32_t kEndDirectoryOffsetOffset = 16;
// A central directory record: its signature, size before the name, and
// fields.
constexpr uint32_t kCentralSignature = 0x02014B50;
constexpr uint32_t kCentralHeaderSize = 46;
constexpr uint32_t kCentralMethodOffset = 10;
constexpr uint32_t kCentralCrcOffset = 16;
constexpr uint32_t kCentralCompressedSizeOffset = 20;
constexpr uint32_t kCentralSizeOffset = 24;
constexpr uint32_t kCentralNameLengthOffset = 28;
constexpr uint32_t kCentralExtraLengthOffset = 30;
constexpr uint32_t kCentralCommentLengthOffset = 32;
constexpr uint32_t kCentralLocalOffsetOffset = 42;

}  // namespace zip_format

// Refuses a directory whose records could not all be read from a file of
// `fileSize` bytes: a record that runs past the end (ERR_BAD_DATA
// "Entry=%s(truncated)"), or two records that share bytes (ERR_BAD_DATA
// "Entry=%s(overlaps)"), the trick that lets a small file claim gigabytes.
// Entries without a known offset are not checked.
bool CheckZipLayout(const std::vector<ZipEntryInfo>& entries, uint64_t fileSize);

// Refuses, before anything is allocated for it, an entry whose size cannot
// come from its data (a stored entry whose sizes differ, a deflated one
// beyond kMaxDeflateRatio, an unknown method): ERR_BAD_DATA
// "Entry=%s(size)"; or one larger than `limit`: ERR_NO_MEMORY "Size=%llu".
bool CheckEntryClaims(const ZipEntryInfo& info, uint64_t limit);

// The zip format's CRC-32 (the standard one), continued over `length` bytes.
// Start with 0.
uint32_t ZipCrcUpdate(uint32_t crc, const void* data, size_t length);

// ERR_BAD_DATA "Entry=%s(crc)" unless `crc` is the CRC the directory gives.
bool CheckEntryCrc(const ZipEntryInfo& info, uint32_t crc);

}  // namespace qlmr
