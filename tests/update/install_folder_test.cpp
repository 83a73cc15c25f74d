#include "update/install_folder.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_util.h"
#include "tests/update/update_fakes.h"

namespace qlmr {
namespace {

using testing_support::RecordingFrontEnd;
using testing_support::TempDir;
using testing_support::WriteFileOrDie;

UpdateState StateForPatch(const char* from, const char* to) {
  UpdateState state;
  state.patch.fromVersionText = from;
  state.patch.fromVersion = ParseVersion(from);
  state.patch.toVersionText = to;
  state.patch.toVersion = ParseVersion(to);
  return state;
}

TEST(ReadLocalVersionTest, ReadsTheFirstLineAsTextModeDoes) {
  struct Case {
    const char* name;
    std::string content;
    bool ok;
    std::string text;
  } cases[] = {
      {"no line end", "CN.0.551.065", true, "CN.0.551.065"},
      {"LF kept", "CN.0.551.065\nsecond line", true, "CN.0.551.065\n"},
      {"CR LF read as LF", "CN.0.551.065\r\nsecond", true, "CN.0.551.065\n"},
      {"lone CR kept", "CN.0\r551", true, "CN.0\r551"},
      {"cut at 259", std::string(300, '7'), true, std::string(259, '7')},
      {"CR LF counts once", std::string(258, '7') + "\r\nx", true, std::string(258, '7') + "\n"},
      {"ends at a zero byte", std::string("CN.1\0CN.2", 9), true, "CN.1"},
      {"empty file", "", false, ""},
  };
  for (const Case& c : cases) {
    TempDir dir;
    WriteFileOrDie(dir.Join(".ver"), c.content);
    UpdateState state;
    EXPECT_EQ(ReadLocalVersion(dir.path(), false, &state), c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(state.localVersionText, c.text) << c.name;
      EXPECT_EQ(state.installDir, dir.path()) << c.name;
    }
  }
  TempDir empty;
  UpdateState state;
  EXPECT_FALSE(ReadLocalVersion(empty.path(), false, &state));
}

TEST(ReadLocalVersionTest, StrictAcceptsOnlyWhatThePatchFits) {
  struct Case {
    const char* local;
    bool fits;
  } cases[] = {
      {"CN.0.551.065", true},      // equal to the from-version
      {"cn.0.551.065\r\n", true},  // any letter case, line end ignored
      {"CN.0.551.0655", false},    // newer than the to-version
      {"CN.0.551.066", false},     // equal to the to-version
      {"CN.0.551.064", false},     // older than the from-version
      {"TW.0.551.065", false},     // another language
      {"CN\n", false},             // a language with its line end is another one
  };
  for (const Case& c : cases) {
    TempDir dir;
    WriteFileOrDie(dir.Join(".ver"), c.local);
    UpdateState state = StateForPatch("CN.0.551.065", "CN.0.551.066");
    EXPECT_EQ(ReadLocalVersion(dir.path(), true, &state), c.fits) << c.local;
    // What was read stays, fitting or not.
    EXPECT_EQ(state.localVersionText, c.local[0] == 'c' ? "cn.0.551.065\n" : c.local);
  }
  UpdateState wide = StateForPatch("CN.0.551.060", "CN.0.552.000");
  TempDir dir;
  WriteFileOrDie(dir.Join(".ver"), "CN.0.551.065");
  EXPECT_TRUE(ReadLocalVersion(dir.path(), true, &wide));
}

TEST(LocateInstallFolderTest, TakesTheOwnFolderWhenThePatchFits) {
  TempDir dir;
  WriteFileOrDie(dir.Join(".ver"), "CN.0.551.065\n");
  RecordingFrontEnd front;
  UpdateState state = StateForPatch("CN.0.551.065", "CN.0.551.066");
  ASSERT_TRUE(LocateInstallFolder(dir.Join("updater.exe"), &front, &state));
  EXPECT_EQ(state.installDir, dir.path());
  EXPECT_TRUE(front.Calls().empty());
}

TEST(LocateInstallFolderTest, AsksWhenTheOwnFolderDoesNotFit) {
  struct Case {
    const char* name;
    const char* ownVersion;  // null: no ".ver" in the own folder
    bool answers;
    const char* chosenVersion;  // null: no ".ver" in the chosen folder
    bool found;
  } cases[] = {
      {"chosen folder fits", nullptr, true, "CN.0.551.065", true},
      // The choice is taken whenever it has a version; the gate comes later.
      {"chosen folder of another language", "TW.0.551.065", true, "TW.0.551.065", true},
      {"own folder too new", "CN.0.551.066", true, "CN.0.551.070", true},
      {"cancelled", "CN.0.551.064", false, "CN.0.551.065", false},
      {"chosen folder without a version", nullptr, true, nullptr, false},
  };
  for (const Case& c : cases) {
    TempDir own;
    TempDir chosen;
    if (c.ownVersion != nullptr) WriteFileOrDie(own.Join(".ver"), c.ownVersion);
    if (c.chosenVersion != nullptr) WriteFileOrDie(chosen.Join(".ver"), c.chosenVersion);
    RecordingFrontEnd front;
    front.browseAnswers = c.answers;
    front.browseFolder = chosen.path();
    UpdateState state = StateForPatch("CN.0.551.065", "CN.0.551.066");
    EXPECT_EQ(LocateInstallFolder(own.Join("updater.exe"), &front, &state), c.found) << c.name;
    EXPECT_EQ(front.Calls(), std::vector<std::string>{"browse 请选择《Quelmar》所在的路径"})
        << c.name;
    if (c.found) {
      EXPECT_EQ(state.installDir, chosen.path()) << c.name;
      EXPECT_EQ(state.localVersionText, c.chosenVersion) << c.name;
    }
  }
}

}  // namespace
}  // namespace qlmr
