#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/platform.h"
#include "pack/pack_archive.h"
#include "tests/pack/pack_test_util.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using namespace testing_support;

// Whether this process can list its own descriptors. Under Wine the POSIX
// path is reachable too, but lists the loader's descriptors, not handles.
bool CanListHandles() {
#ifdef _WIN32
  return false;
#else
  return PathExists("/proc/self/fd");
#endif
}

// Open descriptors of this process, to see handles opened and closed.
size_t OpenHandles() {
  std::vector<FolderEntry> entries;
  if (!ListFolder("/proc/self/fd", &entries)) return 0;
  return entries.size();
}

// Lets a fixed number of threads meet before they go on.
class Meeting {
 public:
  explicit Meeting(int count) : count_(count) {}
  void Arrive() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (--count_ == 0) {
      everyone_.notify_all();
    } else {
      everyone_.wait(lock, [this] { return count_ == 0; });
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable everyone_;
  int count_;
};

TEST(PackThreadsTest, EachReadingThreadReadsItsOwnFailure) {
  TempDir dir;
  std::string path = dir.Join("a.pak");
  MakeArchiveOrDie(path, {{"a", "alpha"}});
  auto archive = NewImpl();
  ASSERT_TRUE(archive->Open(path.c_str(), true));

  // Both threads fail before either reads its failure: with one state for
  // the process, the first would read the second's report.
  struct Seen {
    int32_t code = -1;
    std::string message;
  } seen[2];
  const char* names[2] = {"missing.txt", ""};
  Meeting reported(2);
  std::thread readers[2];
  for (int t = 0; t < 2; ++t) {
    readers[t] = std::thread([&, t] {
      bool failed = archive->OpenFile(names[t]) == nullptr;
      reported.Arrive();
      if (failed) seen[t] = {LastErrorCode(), LastErrorMessage()};
    });
  }
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(seen[0].code, ERR_NOT_FOUND);
  EXPECT_EQ(seen[0].message, "missing.txt");
  EXPECT_EQ(seen[1].code, ERR_INVALID);
  EXPECT_EQ(seen[1].message, "");
}

TEST(PackThreadsTest, EachReadingThreadHasItsOwnHandleClosedOnce) {
  if (!CanListHandles()) GTEST_SKIP() << "no descriptor listing here";
  TempDir dir;
  std::string path = dir.Join("a.pak");
  const std::string big = RandomBytes(1, 900000);  // read on demand, so reads hit the handle
  MakeArchiveOrDie(path, {{"a", "alpha"}, {"big", big}});
  const size_t baseline = OpenHandles();
  auto archive = NewImpl();
  ASSERT_TRUE(archive->Open(path.c_str(), true));
  EXPECT_EQ(OpenHandles(), baseline + 1);
  // The opening thread reads through the main handle.
  EXPECT_EQ(ReadStored(*archive, "a"), "alpha");
  EXPECT_EQ(archive->thread_handle_count(), 1u);
  EXPECT_EQ(OpenHandles(), baseline + 1);

  // Two more threads, each with a stream of its own, read at once.
  std::string results[2];
  std::thread readers[2];
  for (int t = 0; t < 2; ++t) {
    readers[t] = std::thread([&, t] {
      for (int round = 0; round < 5; ++round) results[t] = ReadStored(*archive, "big");
    });
  }
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(results[0], big);
  EXPECT_EQ(results[1], big);
  EXPECT_EQ(archive->thread_handle_count(), 3u);
  EXPECT_EQ(OpenHandles(), baseline + 3);
  archive->Close();
  EXPECT_EQ(archive->thread_handle_count(), 0u);
  EXPECT_EQ(OpenHandles(), baseline);
}

TEST(PackThreadsTest, AWriterReadsThroughASeparateHandle) {
  if (!CanListHandles()) GTEST_SKIP() << "no descriptor listing here";
  TempDir dir;
  std::string path = dir.Join("a.pak");
  MakeArchiveOrDie(path, {{"a", "alpha"}});
  const size_t baseline = OpenHandles();
  auto archive = NewImpl();
  ASSERT_TRUE(archive->Open(path.c_str(), false));
  EXPECT_EQ(archive->thread_handle_count(), 0u);
  EXPECT_EQ(ReadStored(*archive, "a"), "alpha");
  EXPECT_EQ(archive->thread_handle_count(), 1u);
  EXPECT_EQ(OpenHandles(), baseline + 2);
  // What the writer adds is visible to its reads.
  ASSERT_TRUE(archive->AddFile("beta", 4, "b", true, false, 0, 0));
  EXPECT_EQ(ReadStored(*archive, "b"), "beta");
  archive->Close();
  EXPECT_EQ(OpenHandles(), baseline);
}

}  // namespace
}  // namespace qlmr
