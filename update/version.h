// Version texts: a language edition code and a three-part number, as the
// installation's ".ver" file and the patch carrier hold them. Pure functions.
#pragma once

#include <string>

namespace qlmr {

struct VersionInfo {
  std::string language;  // token 1, upper-cased, at most 127 characters
  std::string number;    // "%05d.%05d.%05d" of tokens 2, 3 and 4
};

enum VersionComparison {
  VERSION_OTHER_LANGUAGE = 0,  // languages differ; numbers not compared
  VERSION_OLDER = 1,           // a is older than b
  VERSION_EQUAL = 2,
  VERSION_NEWER = 3,  // a is newer than b
};

// Parses any text (even empty) into a VersionInfo: tokens split at '.',
// empty tokens dropped, missing tokens taken as "0", numbers read as atoi.
VersionInfo ParseVersion(const char* text);

// Compares languages as byte strings, then numbers as strcmp does.
int CompareVersions(const VersionInfo& a, const VersionInfo& b);

}  // namespace qlmr
