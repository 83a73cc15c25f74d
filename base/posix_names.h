// POSIX side of the platform layer: how a system name (CP936, backslashes)
// becomes a name on the disk. Internal to base/; exposed for its tests.
#pragma once

#include <string>

namespace qlmr {

// UTF-8 path with slashes in which every component that exists on the disk
// under another ASCII letter case is replaced by its name as found there.
// Components from the first one that does not exist on are kept as given.
std::string MapNameToDisk(const char* name);

}  // namespace qlmr
