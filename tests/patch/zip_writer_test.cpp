// The zip writer deflates members on every processor: the archive must hold
// exactly the bytes libzip writes when it compresses every member itself.
#include "patch/zip_writer.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "base/platform.h"
#include "patch/member_deflate.h"
#include "tests/base/codec_test_data.h"
#include "tests/patch/patch_fixtures.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using testing_support::CentralRecords;
using testing_support::RandomBytes;
using testing_support::ReadFileOrEmpty;
using testing_support::TempDir;
using testing_support::TextLike;
using testing_support::WriteFileOrDie;

struct Member {
  std::string name;
  std::string data;  // or, for a file member, its content on disk
  bool file;
  bool stored;
};

// The archive libzip writes alone, member by member as ZipWriter adds them.
void WriteWithLibzipAlone(const std::vector<Member>& members, const TempDir& dir,
                          const std::string& output) {
  int error = 0;
  zip_t* zip = zip_open(RuntimeFileName(output.c_str()).c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(zip, nullptr);
  for (size_t i = 0; i < members.size(); ++i) {
    const Member& member = members[i];
    zip_source_t* source =
        member.file ? zip_source_file(
                          zip, RuntimeFileName(dir.Join(std::to_string(i)).c_str()).c_str(), 0, -1)
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

// The bytes with every record's modification time (a buffer's is the clock's
// when it is added) set to 0.
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

TEST(ZipWriterTest, MembersDeflatedOnEveryProcessorAreTheBytesLibzipWritesAlone) {
  TempDir dir;
  std::vector<Member> members = {
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
  };
  for (size_t i = 0; i < members.size(); ++i) {
    if (members[i].file) WriteFileOrDie(dir.Join(std::to_string(i)), members[i].data);
  }
  std::string ours = dir.Join("ours.zip");
  {
    ZipWriter writer;
    ASSERT_TRUE(writer.Open(ours.c_str()));
    for (size_t i = 0; i < members.size(); ++i) {
      const Member& member = members[i];
      bool added = member.file
                       ? writer.AddFile(member.name, dir.Join(std::to_string(i)), member.stored)
                       : writer.AddBuffer(member.name, member.data, member.stored);
      ASSERT_TRUE(added) << member.name << ": " << LastErrorMessage();
    }
    ASSERT_TRUE(writer.Close()) << LastErrorMessage();
  }
  std::string reference = dir.Join("libzip.zip");
  WriteWithLibzipAlone(members, dir, reference);
  std::string a = ReadFileOrEmpty(ours);
  std::string b = ReadFileOrEmpty(reference);
  ASSERT_EQ(a.size(), b.size());
  EXPECT_TRUE(WithoutTimes(a) == WithoutTimes(b));
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
}

}  // namespace
}  // namespace qlmr
