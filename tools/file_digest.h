// The digests a release report gives of a file, so that people can compare a
// distributed program with what the release made: the standard CRC-32 (as
// zip, 7-Zip and crc32 print it) and SHA-256 (as sha256sum prints it).
// Any thread.
#pragma once

#include <cstdint>
#include <string>

namespace qlmr {
namespace tools {

struct FileDigests {
  uint64_t bytes = 0;
  uint32_t crc32 = 0;
  std::string sha256;  // 64 lower-case hexadecimal digits
};

// Reads `path` (a system name) once. Fails with ERR_ACCESS "File=%s,
// WinErr=%d" (open), ERR_READ "File=%s, WinErr=%d" (a read) or ERR_CODEC
// "SHA-256" (the hash could not be computed).
bool DigestFile(const std::string& path, FileDigests* digests);

}  // namespace tools
}  // namespace qlmr
