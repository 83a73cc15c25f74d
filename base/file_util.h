// File utilities: folder chains, path comparison, name normalisation, file
// sizes and copying between open files. The CRC is in base/crc.h, the
// positional mask in base/mask.h.
//
// All functions are stateless and may run on any thread. Paths are the
// system's names (base/platform.h).
#pragma once

#include <cstdint>
#include <string>

namespace qlmr {

// Creates the folder and every missing folder above it. True when it exists
// afterwards. Reports nothing.
bool CreateFolderChain(const char* path);

// 0 when both paths name the same file system object: equal after trimming
// blanks and one trailing separator, ignoring ASCII case (but not in the
// trail byte of a double-byte character) and whether a separator is a slash
// or a backslash, or one existing object however spelled (IsSameFileObject
// of base/platform.h), or equal so in their short forms. Otherwise the
// comparison value of their NormalizeName forms.
int ComparePaths(const char* a, const char* b);

// Whether both paths name one file as the file system compares names: where
// names ignore letter case (kNamesIgnoreCase), ComparePaths gives 0;
// elsewhere the two texts are equal as they stand (blanks around them and
// one trailing separator aside), or they name one existing object
// (IsSameFileObject). So on POSIX "Game/qlmr.exe" is not "game/qlmr.exe"
// unless both lead to the same file.
bool PathsNameOneFile(const char* a, const char* b);

// Copies `in` to `out` (which holds strlen(in) + 1 bytes), with 'A'..'Z'
// lower-cased when `lower` is set and '\' made '/' when `slash` is set. Both
// bytes of a double-byte character are kept as they are.
void NormalizeName(char* out, const char* in, bool lower, bool slash);
// The same for std::string; the key form of names uses both flags.
std::string NormalizeName(const std::string& in, bool lower = true, bool slash = true);

// Size of a file (low 32 bits); 0 for an empty path or a file that cannot be
// opened, without a report.
uint32_t FileSizeOf(const char* path);

class File;

// Opens an existing file for reading and tells its size. Fails with
// ERR_ACCESS "File=%s, WinErr=%d" (open) or ERR_READ "File=%s, WinErr=%d"
// (its size).
bool OpenForReading(const std::string& path, File* file, uint64_t* size);

// Writes the rest of `source` (from its position) to `target` at its
// position; `*copied` receives the count written. Fails with ERR_READ or
// ERR_WRITE "WinErr=%d", or ERR_NO_MEMORY "Size=%u" (the copy buffer); the
// target then holds a prefix of the copy.
bool AppendFileContent(File* source, File* target, uint64_t* copied);

}  // namespace qlmr
