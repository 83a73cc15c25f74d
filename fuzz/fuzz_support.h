// Shared by the fuzz targets: a scratch folder of the process and writing
// the input to a file there, since the readers under test read files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qlmr {
namespace fuzzing {

// A folder of this process in the temporary folder, made on first use and
// removed at exit.
const std::string& ScratchFolder();
// `name` inside the scratch folder.
std::string ScratchPath(const char* name);
// Writes `size` bytes to `path`, replacing the file; aborts on failure (a
// broken harness is not a finding).
void WriteBytesOrDie(const std::string& path, const uint8_t* data, size_t size);

}  // namespace fuzzing
}  // namespace qlmr
