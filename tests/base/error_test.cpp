#include "base/error.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "base/crc.h"

namespace qlmr {
namespace {

// Must stay the first test of this binary: it sees the state at start.
TEST(ErrorStateTest, StartsWithCodeZeroAndEmptyMessage) {
  EXPECT_EQ(LastErrorCode(), 0);
  EXPECT_STREQ(LastErrorMessage(), "");
}

TEST(ErrorStateTest, FormatsArguments) {
  ReportError(ERR_ACCESS, "File=%s, WinErr=%d", "a.pak", 5);
  EXPECT_EQ(LastErrorCode(), 3);
  EXPECT_STREQ(LastErrorMessage(), "File=a.pak, WinErr=5");
}

TEST(ErrorStateTest, CutsLongMessagesAt1023Characters) {
  std::string long_text(3000, 'x');
  long_text[1022] = 'y';
  long_text[1023] = 'z';
  ReportError(ERR_BAD_DATA, "%s", long_text.c_str());
  std::string stored = LastErrorMessage();
  EXPECT_EQ(stored.size(), 1023u);
  EXPECT_EQ(stored.back(), 'y');
}

TEST(ErrorStateTest, EmptyFormatReplacesThePreviousMessage) {
  ReportError(ERR_READ, "WinErr=%d", 38);
  ReportError(ERR_INVALID, "");
  EXPECT_EQ(LastErrorCode(), ERR_INVALID);
  EXPECT_STREQ(LastErrorMessage(), "");
}

TEST(ErrorStateTest, NameWithPercentSignIsStoredVerbatim) {
  const char* name = "data\\100%s%d%n.tga";
  ReportError(ERR_NOT_FOUND, "%s", name);
  EXPECT_EQ(LastErrorCode(), ERR_NOT_FOUND);
  EXPECT_STREQ(LastErrorMessage(), name);
}

TEST(ErrorStateTest, SuccessLeavesThePreviousFailureInPlace) {
  ReportError(ERR_SEEK, "pos=%d", 77);
  uint32_t crc = 0;
  ASSERT_TRUE(BufferCrc("abc", 3, &crc));
  EXPECT_EQ(LastErrorCode(), ERR_SEEK);
  EXPECT_STREQ(LastErrorMessage(), "pos=77");
}

TEST(KeptErrorTest, PutsTheKeptFailureBackAfterLaterReports) {
  std::string longest(kErrorMessageCapacity - 1, 'm');
  longest[0] = '%';  // kept as text, never read as a format
  for (const std::string& message : {std::string("File=a%d.pak"), std::string(), longest}) {
    ReportError(ERR_NOT_FOUND, "%s", message.c_str());
    KeptError kept;
    ReportError(ERR_WRITE, "winErr: %d", 28);
    EXPECT_EQ(kept.code(), ERR_NOT_FOUND);
    kept.Restore();
    EXPECT_EQ(LastErrorCode(), ERR_NOT_FOUND);
    EXPECT_EQ(std::string(LastErrorMessage()), message);
  }
}

TEST(ErrorStateTest, AFailureOnAnotherThreadLeavesThisThreadsStateAlone) {
  ReportError(ERR_SEEK, "pos=%d", 7);
  std::thread other([] {
    EXPECT_EQ(LastErrorCode(), ERR_NONE);  // a new thread starts clean
    ReportError(ERR_READ, "WinErr=%d", 5);
  });
  other.join();
  EXPECT_EQ(LastErrorCode(), ERR_SEEK);
  EXPECT_STREQ(LastErrorMessage(), "pos=7");
}

}  // namespace
}  // namespace qlmr
