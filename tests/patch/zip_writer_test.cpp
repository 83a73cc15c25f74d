// The zip writer deflates members on every processor: the archive must hold
// exactly the bytes libzip writes when it compresses every member itself,
// whatever the threads and the memory budget, read back whole, and leave the
// output as it was when Close fails.
#include "patch/zip_writer.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/platform.h"
#include "patch/package_builder.h"
#include "tests/base/codec_test_data.h"
#include "tests/patch/patch_fixtures.h"
#include "tests/support/test_util.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>

#include "tests/support/forked_child.h"
#endif

namespace qlmr {
namespace {

using testing_support::CentralRecords;
using testing_support::RandomBytes;
using testing_support::ReadFileOrEmpty;
using testing_support::SnapshotTree;
using testing_support::TempDir;
using testing_support::TextLike;
using testing_support::WriteFileOrDie;

constexpr int64_t kMemberTime = 1700000000;

struct Member {
  std::string name;
  std::string data;  // or, for a file member, its content on disk
  bool file;
  bool stored;
};

// Every kind of member: buffers and files, deflated and stored, empty, data
// that does not deflate, a replaced name, and a file above the size that is
// deflated ahead, which libzip deflates itself.
std::vector<Member> MixedMembers() {
  return {
      {"(command)", "0||a.txt|0|00000010\r\n", false, false},
      {"text.txt", TextLike(1, 300000), false, false},
      {"empty.bin", "", false, false},
      {"noise.bin", RandomBytes(2, 70000), false, false},
      {"stored.bin", TextLike(3, 5000), false, true},
      {"file.txt", TextLike(4, 120000), true, false},
      {"text.txt", TextLike(5, 2000), false, false},  // replaces the first one
      {"big.txt", std::string(kDeflateAheadLimit + 4096, 'q') + TextLike(6, 1000), true, false},
      {"stored-file.bin", RandomBytes(7, 9000), true, true},
      {"last.txt", TextLike(8, 40000), true, false},
      {"empty-file.bin", "", true, false},
      {"stored.bin", TextLike(9, 3000), false, false},  // a stored one replaced by a deflated one
      {"file.txt", RandomBytes(10, 500), false, true},  // and the other way round
  };
}

std::string MemberPath(const TempDir& dir, size_t i) { return dir.Join("m" + std::to_string(i)); }

void WriteMemberFiles(const std::vector<Member>& members, const TempDir& dir) {
  for (size_t i = 0; i < members.size(); ++i) {
    if (members[i].file) WriteFileOrDie(MemberPath(dir, i), members[i].data);
  }
}

// The archive libzip writes alone, member by member as ZipWriter adds them.
void WriteWithLibzipAlone(const std::vector<Member>& members, const TempDir& dir,
                          const std::string& output) {
  int error = 0;
  zip_t* zip =
      zip_open(Utf8LibraryFileName(output.c_str()).c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(zip, nullptr);
  for (size_t i = 0; i < members.size(); ++i) {
    const Member& member = members[i];
    zip_source_t* source =
        member.file
            ? zip_source_file(zip, Utf8LibraryFileName(MemberPath(dir, i).c_str()).c_str(), 0, -1)
            : zip_source_buffer(zip, member.data.data(), member.data.size(), 0);
    ASSERT_NE(source, nullptr);
    zip_int64_t index =
        zip_file_add(zip, member.name.c_str(), source, ZIP_FL_ENC_CP437 | ZIP_FL_OVERWRITE);
    ASSERT_GE(index, 0);
    ASSERT_EQ(zip_set_file_compression(zip, static_cast<zip_uint64_t>(index),
                                       member.stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0),
              0);
  }
  ASSERT_EQ(zip_close(zip), 0) << zip_strerror(zip);
}

// Writes `members` with ZipWriter on `threads` within `memory`, every member
// at kMemberTime.
bool WriteWithZipWriter(const std::vector<Member>& members, const TempDir& dir,
                        const std::string& output, uint32_t threads, uint64_t memory) {
  ZipWriter writer;
  writer.SetDeflateWork(threads, memory);
  if (!writer.Open(output.c_str())) return false;
  writer.SetMemberTime(kMemberTime);
  for (size_t i = 0; i < members.size(); ++i) {
    const Member& member = members[i];
    bool added = member.file ? writer.AddFile(member.name, MemberPath(dir, i), member.stored)
                             : writer.AddBuffer(member.name, member.data, member.stored);
    if (!added) return false;
  }
  return writer.Close();
}

// The bytes with every record's modification time set to 0.
std::string WithoutTimes(std::string zip) {
  for (size_t central : CentralRecords(zip)) {
    uint32_t local = 0;
    for (int i = 3; i >= 0; --i) local = local << 8 | static_cast<uint8_t>(zip[central + 42 + i]);
    for (size_t at : {central + 12, static_cast<size_t>(local) + 10}) {
      for (int i = 0; i < 4; ++i) zip[at + i] = '\0';
    }
  }
  return zip;
}

// Each entry's data as our zip reader gives it.
std::map<std::string, std::string> ReadBack(const std::string& path) {
  std::map<std::string, std::string> entries;
  int error = 0;
  std::unique_ptr<ZipDirectory> zip =
      ZipDirectory::Open(path.c_str(), GetZipReadHandlers(ZipByteForm::kPlain), &error);
  EXPECT_NE(zip, nullptr) << error;
  if (zip == nullptr) return entries;
  for (const ZipEntryInfo& entry : zip->Entries()) {
    std::unique_ptr<ZipEntryReader> reader = zip->OpenEntry(entry);
    EXPECT_NE(reader, nullptr) << entry.name;
    if (reader == nullptr) continue;
    std::string data(static_cast<size_t>(entry.size), '\0');
    uint64_t done = 0;
    for (int64_t got = 1; done < data.size() && got > 0; done += static_cast<uint64_t>(got)) {
      got = reader->Read(&data[done], static_cast<uint32_t>(data.size() - done));
    }
    EXPECT_EQ(done, data.size()) << entry.name;
    entries[entry.name] = data;
  }
  return entries;
}

TEST(ZipWriterTest, TheBytesAreLibzipsAloneWhateverTheThreadsAndTheBudget) {
  TempDir dir;
  std::vector<Member> members = MixedMembers();
  WriteMemberFiles(members, dir);
  std::string reference = dir.Join("libzip.zip");
  WriteWithLibzipAlone(members, dir, reference);
  std::string expected = WithoutTimes(ReadFileOrEmpty(reference));

  struct Work {
    uint32_t threads;
    uint64_t memory;
  };
  // One member at a time (a budget of one byte), a budget that holds a few
  // small members, and the default; each twice, for runs that differ only in
  // their timing.
  const Work kWorks[] = {
      {1, kDeflateAheadMemory}, {2, 1},      {4, 200000}, {0, kDeflateAheadMemory}, {3, 1},
      {2, kDeflateAheadMemory}, {4, 200000}, {1, 1}};
  std::string first;
  for (const Work& work : kWorks) {
    SCOPED_TRACE(testing::Message() << work.threads << " threads, " << work.memory << " bytes");
    std::string ours = dir.Join("ours.zip");
    ASSERT_TRUE(WriteWithZipWriter(members, dir, ours, work.threads, work.memory))
        << LastErrorMessage();
    std::string bytes = ReadFileOrEmpty(ours);
    ASSERT_EQ(bytes.size(), expected.size());
    EXPECT_TRUE(WithoutTimes(bytes) == expected);
    if (first.empty()) first = bytes;
    EXPECT_TRUE(bytes == first);  // times and all
  }
}

TEST(ZipWriterTest, EveryMemberReadsBackAsTheLastAddedUnderItsName) {
  TempDir dir;
  std::vector<Member> members = MixedMembers();
  for (int i = 0; i < 40; ++i) {
    // Many small members, more than the threads: they finish out of order.
    std::string data = i % 3 == 0 ? RandomBytes(100 + i, 1000 * i) : TextLike(200 + i, 3000 * i);
    members.push_back({"many/" + std::to_string(i), data, i % 2 == 0, false});
  }
  WriteMemberFiles(members, dir);
  std::map<std::string, std::string> expected;
  for (const Member& member : members) expected[member.name] = member.data;
  std::string ours = dir.Join("ours.zip");
  ASSERT_TRUE(WriteWithZipWriter(members, dir, ours, 0, 300000)) << LastErrorMessage();
  std::map<std::string, std::string> got = ReadBack(ours);
  ASSERT_EQ(got.size(), expected.size());
  for (const auto& entry : expected) {
    EXPECT_TRUE(got[entry.first] == entry.second) << entry.first;
  }
}

// A member whose file is gone by the time it is deflated fails the archive
// with libzip's error number, as when libzip reads the file itself.
TEST(ZipWriterTest, AFileThatVanishesBeforeCloseFailsTheArchive) {
  TempDir dir;
  std::string data = dir.Join("data.txt");
  WriteFileOrDie(data, TextLike(9, 10000));
  ZipWriter writer;
  ASSERT_TRUE(writer.Open(dir.Join("out.zip").c_str()));
  ASSERT_TRUE(writer.AddBuffer("first.txt", TextLike(10, 5000)));
  ASSERT_TRUE(writer.AddFile("data.txt", data));
  ASSERT_TRUE(RemoveFileAt(data.c_str()));
  EXPECT_FALSE(writer.Close());
  EXPECT_EQ(LastErrorCode(), ERR_ZIP);
  EXPECT_STREQ(LastErrorMessage(), "ziperr=11");
  EXPECT_EQ(SnapshotTree(dir.path()).size(), 0u);
}

// Close fails whole: the output keeps what it held before, and no temporary
// file stays beside it.
TEST(ZipWriterTest, AFailedCloseLeavesTheOutputAsItWas) {
  enum class Failure { kCancelled, kCancelledWhileWriting, kDiskFull };
  struct Case {
    const char* what;
    Failure failure;
    const char* message;
  };
  const Case kCases[] = {
      {"cancelled before Close", Failure::kCancelled, "ziperr=32"},
      {"cancelled while members are written", Failure::kCancelledWhileWriting, "ziperr=32"},
#ifndef _WIN32
      // A file size limit fails the writes as a full disk does.
      {"disk full", Failure::kDiskFull, "ziperr=6"},
#endif
  };
  for (const Case& test : kCases) {
    SCOPED_TRACE(test.what);
    TempDir dir;
    std::vector<Member> members = MixedMembers();
    WriteMemberFiles(members, dir);
    std::string output = dir.Join("out.zip");
    WriteFileOrDie(output, "the previous archive");
    std::map<std::string, std::string> before = SnapshotTree(dir.path());

    auto write = [&]() -> std::string {
      std::atomic<bool> cancel{test.failure == Failure::kCancelled};
      ZipWriter writer;
      writer.SetCancel(&cancel);
      if (!writer.Open(output.c_str())) return "open";
      for (size_t i = 0; i < members.size(); ++i) {
        const Member& member = members[i];
        bool added = member.file ? writer.AddFile(member.name, MemberPath(dir, i), member.stored)
                                 : writer.AddBuffer(member.name, member.data, member.stored);
        if (!added) return "add";
      }
      if (test.failure == Failure::kCancelledWhileWriting) {
        // A member that takes a while to deflate, the cancel set meanwhile.
        std::string slow = RandomBytes(11, 12u << 20);
        if (!writer.AddBuffer("slow.bin", slow)) return "add";
        std::thread canceller([&] {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          cancel = true;
        });
        bool closed = writer.Close();
        canceller.join();
        if (closed) return "closed";
      } else if (writer.Close()) {
        return "closed";
      }
      return LastErrorCode() == ERR_ZIP ? LastErrorMessage() : "other error";
    };
    if (test.failure == Failure::kDiskFull) {
#ifndef _WIN32
      int status = testing_support::RunInForkedChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit = {100000, 100000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 98;
        return write() == test.message ? 0 : 1;
      });
      EXPECT_EQ(status, 0);
#endif
    } else {
      EXPECT_EQ(write(), test.message);
    }
    EXPECT_TRUE(SnapshotTree(dir.path()) == before);
  }
}

// Patches built on many threads apply to the files they were built from,
// masked and packed with deflated members alike.
TEST(ZipWriterTest, PatchesOfDeflatedMembersApplyToTheSameFiles) {
  for (PatchKind kind : {PATCH_KIND_MASKED_ZIP, PATCH_KIND_PACKED}) {
    SCOPED_TRACE(kind);
    TempDir root;
    TempDir work;
    TempDir install;
    std::vector<PackageLine> lines;
    std::map<std::string, std::string> files;
    for (int i = 0; i < 30; ++i) {
      std::string name = "data" + std::to_string(i % 3) + "\\f" + std::to_string(i) + ".bin";
      files[name] = i % 4 == 0 ? RandomBytes(300 + i, 777 * i) : TextLike(400 + i, 5000 * i);
      WriteFileOrDie(root.Join(name), files[name]);
      PackageLine line;
      line.fileName = name;
      lines.push_back(line);
    }
    PackageBuildOptions options;
    options.packedMethod = ZipMethod::kDeflate;
    std::string output = work.Join("out.patch");
    ASSERT_TRUE(
        BuildPatchPackage(lines, root.path().c_str(), output.c_str(), kind, nullptr, options))
        << LastErrorMessage();
    PatchPackagePtr package(CreatePatchPackage());
    ASSERT_TRUE(package->OpenPackage(output.c_str(), "pak")) << LastErrorMessage();
    ASSERT_TRUE(package->ApplyPackage(install.path().c_str(), "pak", ".ver", nullptr))
        << LastErrorCode() << " " << LastErrorMessage();
    EXPECT_TRUE(SnapshotTree(install.path()) == SnapshotTree(root.path()));
  }
}

}  // namespace
}  // namespace qlmr
