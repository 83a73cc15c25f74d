// An add-tree that stops part-way: by Ctrl+C at every stored file, where the
// tool finishes the file in hand and closes the archive; by its process
// ending at every call that changes the disk, where `repair` must leave an
// archive that verifies (no stored file the list does not name) and a rerun
// must complete it. And a real interrupt signal reaching the tool.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/platform.h"
#include "pack/pack_archive.h"
#include "pack/pack_format.h"
#include "pack/pack_list_file.h"
#include "tests/support/forked_child.h"
#include "tests/support/test_util.h"
#include "tests/support/tool_run.h"
#include "tools/pak/add_files.h"
#include "tools/pak/pak_commands.h"
#include "tools/pak/pak_session.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace tools {
namespace {

using namespace testing_support;
using Files = std::map<std::string, std::string>;  // stored name -> content

// What the archive holds by its list, after checking that it opens for
// reading (so it was closed) and verifies; empty with a failure otherwise.
Files ListedContent(const std::string& path) {
  auto archive = NewPackArchive();
  if (!archive->Open(path.c_str(), true)) {
    ADD_FAILURE() << "cannot open: " << LastErrorCode() << " " << LastErrorMessage();
    return {};
  }
  if (!archive->Verify(nullptr, nullptr, nullptr, nullptr)) {
    ADD_FAILURE() << "verify: " << LastErrorCode() << " " << LastErrorMessage();
    return {};
  }
  std::string text;
  if (!ReadStoredText(*archive, kPackListFileName, &text)) ADD_FAILURE() << "no list";
  PackListFile list;
  list.Parse(text);
  Files files;
  for (const auto& keyed : list.entries()) {
    std::string content;
    if (!ReadStoredText(*archive, keyed.second.name.c_str(), &content)) ADD_FAILURE();
    files[keyed.second.name] = content;
  }
  return files;
}

class PakInterruptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetVerbosity(Verbosity::kQuiet);
    // Text that LZMA shrinks, data it does not, an empty file, and a file
    // the archive already holds under another content.
    std::string text;
    while (text.size() < 20000) text += "a line that repeats\n";
    tree_ = {{"a.txt", text},          {"b.bin", RandomBytes(1, 3000)},
             {"c\\empty", ""},         {"c\\d.txt", text + "more"},
             {"keep.txt", "replaced"}, {"z.bin", RandomBytes(2, 700)}};
    for (const auto& file : tree_) WriteFileOrDie(dir_.Join("tree\\" + file.first), file.second);
    base_ = dir_.Join("base.pak");
    WriteSession session(true);
    ASSERT_TRUE(session.Create(base_));
    const std::string old = "the old content";
    ASSERT_TRUE(
        session.StoreBuffer("keep.txt", old.data(), static_cast<uint32_t>(old.size()), 0, 0));
    ASSERT_TRUE(session.list().Put({"keep.txt", static_cast<uint32_t>(old.size()), 0x8E0A3B52u}));
    ASSERT_TRUE(session.Close(true, true));
    // The CRC above is a guess; list what is stored.
    ASSERT_EQ(RepairArchive(base_), kExitSuccess);
    before_ = ListedContent(base_);
    ASSERT_EQ(before_.size(), 1u);
  }

  // A fresh copy of the archive the add starts from.
  std::string CopyOfBase(const std::string& name) {
    std::string path = dir_.Join(name);
    EXPECT_TRUE(CopyFileReplace(base_.c_str(), path.c_str()));
    return path;
  }

  int AddTree(const std::string& archive, const PakWriteOptions& options = PakWriteOptions()) {
    return AddFiles(archive, CollectTree(dir_.Join("tree")), options);
  }

  TempDir dir_;
  Files tree_;  // in the order add-tree stores them
  std::string base_;
  Files before_;
};

TEST_F(PakInterruptTest, CtrlCAtEveryStoredFileClosesAnArchiveThatListsWhatItHolds) {
  ASSERT_EQ(CollectTree(dir_.Join("tree")).size(), tree_.size());
  for (size_t stop = 1; stop <= tree_.size(); ++stop) {
    SCOPED_TRACE(testing::Message() << "interrupted after file " << stop);
    std::string archive = CopyOfBase("stop" + std::to_string(stop) + ".pak");
    int status = RunInForkedChild([&] {
      PakWriteOptions options;
      options.afterStored = [stop](size_t index) {
        if (index + 1 == stop) RequestInterrupt();
      };
      return AddTree(archive, options);
    });
    // After the last file nothing is left to stop.
    EXPECT_EQ(status, stop == tree_.size() ? kExitSuccess : kExitInterrupted);
    Files expected = before_;
    size_t index = 0;
    for (const auto& file : tree_) {
      if (index++ < stop) expected[file.first] = file.second;
    }
    EXPECT_EQ(ListedContent(archive), expected);
  }
}

TEST_F(PakInterruptTest, AnAddEndedAtAnyDiskCallIsRepairedAndCompletedByARerun) {
  // How many calls change the disk in one whole run.
  std::string counted = CopyOfBase("counted.pak");
  ArmFaultSeam(FaultPlan());
  ASSERT_EQ(AddTree(counted), kExitSuccess);
  uint64_t calls = FaultSeamCalls();
  DisarmFaultSeam();
  Files complete = before_;
  for (const auto& file : tree_) complete[file.first] = file.second;
  ASSERT_EQ(ListedContent(counted), complete);
  ASSERT_GT(calls, tree_.size());

  for (uint64_t at = 1; at <= calls; ++at) {
    SCOPED_TRACE(testing::Message() << "ended at disk call " << at << " of " << calls);
    std::string archive = CopyOfBase("ended.pak");
    FaultPlan plan;
    plan.model = FaultModel::kCrash;
    plan.at = at;
    int status = RunInForkedChild([&] {
      ArmFaultSeam(plan);
      return AddTree(archive);
    });
    ASSERT_EQ(status, plan.exitCode) << "the seam did not end the add";
    auto reader = NewPackArchive();
    if (!reader->Open(archive.c_str(), true)) {
      // Left open for writing: readers say so, and repair mends it.
      EXPECT_EQ(LastErrorCode(), ERR_MODE) << LastErrorMessage();
      ASSERT_EQ(RepairArchive(archive), kExitSuccess) << LastErrorMessage();
    }
    reader.reset();
    // Every file the list names is stored with the listed content, and
    // nothing stored goes unlisted: the verify inside ListedContent. Only
    // the file in hand may hold neither its old nor its new content (the
    // archive's own promise for a change cut off), until the rerun.
    Files repaired = ListedContent(archive);
    int between = 0;
    for (const auto& file : repaired) {
      bool old = before_.count(file.first) > 0 && before_.at(file.first) == file.second;
      bool added = tree_.count(file.first) > 0 && tree_.at(file.first) == file.second;
      between += old || added ? 0 : 1;
    }
    EXPECT_LE(between, 1) << "files hold neither their old nor their new content";
    ASSERT_EQ(AddTree(archive), kExitSuccess) << LastErrorMessage();
    EXPECT_EQ(ListedContent(archive), complete);
    RemoveFileAt(archive.c_str());
  }
}

// The signal itself: Ctrl+C while the tool waits for a source (a pipe with
// no writer yet) ends it at the next file with the archive untouched.
TEST_F(PakInterruptTest, TheInterruptSignalStopsTheToolBeforeItChangesTheArchive) {
  std::string fifo = RuntimeFileName(dir_.Join("tree\\m.fifo").c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string archive = CopyOfBase("signal.pak");
  const std::string original = ReadFileOrEmpty(archive);
  std::string err = RuntimeFileName(dir_.Join("stderr.txt").c_str());
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(errFd, 2);
    if (chdir(RuntimeFileName(dir_.path().c_str()).c_str()) != 0) _exit(99);
    std::string tool = ToolUnderTest(QLMR_PAK_BIN);
    execl(tool.c_str(), tool.c_str(), "add-tree", "signal.pak", "tree",
          static_cast<char*>(nullptr));
    _exit(98);
  }
  // Wait until the tool catches the signal (SigCgt, bit 2 for SIGINT).
  bool caught = false;
  for (int i = 0; i < 200 && !caught; ++i) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("SigCgt:", 0) == 0) {
        caught = (std::stoull(line.substr(7), nullptr, 16) >> (SIGINT - 1)) & 1;
      }
    }
    if (!caught) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(caught) << "the tool never caught SIGINT";
  kill(pid, SIGINT);
  // Let the blocked open through: the pipe ends at once.
  int writer = open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  close(writer);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by the signal instead of stopping";
  EXPECT_EQ(WEXITSTATUS(status), kExitInterrupted);
  EXPECT_NE(
      ReadFileOrEmpty(dir_.Join("stderr.txt")).find("interrupted: 'signal.pak' was not changed"),
      std::string::npos)
      << ReadFileOrEmpty(dir_.Join("stderr.txt"));
  EXPECT_TRUE(ReadFileOrEmpty(archive) == original) << "the archive changed";
}

}  // namespace
}  // namespace tools
}  // namespace qlmr
