#include <gtest/gtest.h>

#include <string>

#include "base/error.h"
#include "base/mask.h"
#include "patch/patch_package.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::TempDir;
using testing_support::WriteFileOrDie;

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

TEST(DetectPatchKindTest, ClassifiesByTheFirstBytesInTableOrder) {
  std::string masked = Bytes({0x50 ^ PositionalMask(0), 0x4B ^ PositionalMask(1), 3, 4, 5, 6});
  struct Case {
    const char* label;
    std::string content;
    PatchKind kind;
  } cases[] = {
      {"plain zip", "PK\x03\x04rest", PATCH_KIND_ZIP},
      {"masked zip", masked, PATCH_KIND_MASKED_ZIP},
      {"inverted zip", Bytes({0xAF, 0xB4, 0xFC, 0xFB, 0}), PATCH_KIND_INVERTED_ZIP},
      {"packed", "JZQ1\x10\0\0\0data", PATCH_KIND_PACKED},
      {"packed magic, five bytes", "JZQ1x", PATCH_KIND_PACKED},
      {"JZQ1 alone is too short", "JZQ1", PATCH_KIND_NONE},
      {"PK in four bytes is too short", "PK\x03\x04", PATCH_KIND_NONE},
      {"empty", "", PATCH_KIND_NONE},
      {"other", "JZQ2xxxxxx", PATCH_KIND_NONE},
      {"P alone", "Pxxxxx", PATCH_KIND_NONE},
  };
  TempDir dir;
  for (const Case& c : cases) {
    std::string path = dir.Join("f");
    WriteFileOrDie(path, c.content);
    uint8_t header[8];
    memset(header, 0xEE, sizeof header);
    EXPECT_EQ(DetectPatchKind(path.c_str(), header), c.kind) << c.label;
    if (c.content.size() > 4) {
      std::string expected = (c.content + std::string(8, '\0')).substr(0, 8);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(header), 8), expected) << c.label;
    } else {
      EXPECT_EQ(header[0], 0xEE) << c.label << ": header untouched";
    }
    EXPECT_EQ(DetectPatchKind(path.c_str(), nullptr), c.kind) << c.label;
  }
}

TEST(DetectPatchKindTest, UnopenableFileGivesNoneWithCode3) {
  TempDir dir;
  std::string path = dir.Join("missing.patch");
  EXPECT_EQ(DetectPatchKind(path.c_str(), nullptr), PATCH_KIND_NONE);
  EXPECT_EQ(LastErrorCode(), ERR_ACCESS);
  EXPECT_EQ(std::string(LastErrorMessage()).rfind("File=" + path + ", WinErr=", 0), 0u)
      << LastErrorMessage();
}

}  // namespace
}  // namespace qlmr
