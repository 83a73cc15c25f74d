// Small hand-made patch files for the package tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "patch/zip_writer.h"

namespace qlmr {
namespace testing_support {

// Writes a container with "(command)" = `controlList` (omitted when null)
// followed by `members`, in byte form `form`, at `path`. Aborts on failure.
void WriteContainerOrDie(const std::string& path, const char* controlList,
                         const std::vector<ZipMember>& members, ZipByteForm form);

// Turns the file at `contentPath` into a packed file at `path`: "JZQ1", the
// content's length, the content encoded by the LZMA codec, a CRC trailer.
void PackFileOrDie(const std::string& contentPath, const std::string& path);

// A masked package at `path`.
std::string MaskedPackage(const std::string& path, const char* controlList,
                          const std::vector<ZipMember>& members = {});
// A packed package at `path` holding an inverted zip (the form
// ConvertPackageFile makes).
std::string PackedPackage(const std::string& path, const char* controlList,
                          const std::vector<ZipMember>& members = {});

// A little-endian u16 inside a byte image (u32: tests/pack/pack_test_util.h).
void Put16(std::string* bytes, size_t at, uint16_t value);

// Offsets of the central directory records of a plain zip, in order (their
// fields: zip_format in patch/zip_checks.h).
std::vector<size_t> CentralRecords(const std::string& zip);
// The record of the entry `name`; aborts when there is none.
size_t CentralRecord(const std::string& zip, const std::string& name);

}  // namespace testing_support
}  // namespace qlmr
