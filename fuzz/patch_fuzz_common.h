// The work both patch targets do on an opened package.
#pragma once

#include <string>

namespace qlmr {
namespace fuzzing {

// Opens the patch at `path`, counts its entries and extracts every entry of
// its plan: loose writes to one scratch file, pack-bound data into memory.
void OpenAndExtractEverything(const std::string& path);

}  // namespace fuzzing
}  // namespace qlmr
