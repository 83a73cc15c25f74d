#include "update/version.h"

#include <gtest/gtest.h>

namespace qlmr {
namespace {

TEST(ParseVersionTest, Forms) {
  struct Case {
    const char* text;
    const char* language;
    const char* number;
  } cases[] = {
      {"CN.0.551.065", "CN", "00000.00551.00065"},
      {"cn.0.551.065", "CN", "00000.00551.00065"},
      {"CN.1", "CN", "00001.00000.00000"},
      {"CN..0.551.065", "CN", "00000.00551.00065"},
      {".CN.0.551.065.", "CN", "00000.00551.00065"},
      {"CN.0.551.065\n", "CN", "00000.00551.00065"},
      {"CN.0.551.065.9.9", "CN", "00000.00551.00065"},
      {"", "0", "00000.00000.00000"},
      {"C%N.1.2.3", "C%N", "00001.00002.00003"},
      {"CN.0.100000.0", "CN", "00000.100000.00000"},
      {"CN.0.-1.0", "CN", "00000.-0001.00000"},
      {"CN\n", "CN\n", "00000.00000.00000"},
  };
  for (const Case& c : cases) {
    VersionInfo info = ParseVersion(c.text);
    EXPECT_EQ(info.language, c.language) << c.text;
    EXPECT_EQ(info.number, c.number) << c.text;
  }
  EXPECT_EQ(ParseVersion(std::string(300, 'x').c_str()).language.size(), 127u);
}

TEST(CompareVersionsTest, Table) {
  struct Case {
    const char* a;
    const char* b;
    int result;
  } cases[] = {
      {"cn.0.551.065", "CN.0.551.065", VERSION_EQUAL},
      {"CN.0.551.065", "CN.0.551.066", VERSION_OLDER},
      {"CN.0.551.065", "CN.0.551.64", VERSION_NEWER},
      {"CN.0.551.066", "CN.0.551.065", VERSION_NEWER},
      {"TW.0.551.065", "CN.0.551.065", VERSION_OTHER_LANGUAGE},
      {"TW.0.0.1", "CN.9.9.9", VERSION_OTHER_LANGUAGE},
      // A line end kept in a language-only line makes it another language.
      {"CN\n", "CN", VERSION_OTHER_LANGUAGE},
      // Past five digits the byte order no longer follows the numbers.
      {"CN.0.100000.0", "CN.0.99999.0", VERSION_OLDER},
      {"CN.0.-1.0", "CN.0.0.0", VERSION_OLDER},
      {"CN.1", "CN.0.999.999", VERSION_NEWER},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CompareVersions(ParseVersion(c.a), ParseVersion(c.b)), c.result)
        << c.a << " vs " << c.b;
  }
}

}  // namespace
}  // namespace qlmr
