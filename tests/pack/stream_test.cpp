#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/crc.h"
#include "base/error.h"
#include "pack/pack_archive.h"
#include "tests/pack/pack_test_util.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace {

using namespace testing_support;

// An archive holding one file "f" with `content`, open read-only.
class StreamFixture {
 public:
  explicit StreamFixture(const std::string& content) : archive_(NewPackArchive()) {
    std::string path = dir_.Join("a.pak");
    MakeArchiveOrDie(path, {{"f", content}});
    if (!archive_->Open(path.c_str(), true)) abort();
  }
  PackFileStream* Open() { return archive_->OpenFile("f"); }

 private:
  TempDir dir_;
  std::unique_ptr<PackArchive> archive_;
};

struct LineCase {
  std::string content;
  uint32_t length;
  std::vector<std::string> lines;  // what successive ReadLine calls give, then 0
};

TEST(PackStreamTest, ReadLine) {
  const std::string long_line(3000, 'x');
  const LineCase cases[] = {
      {"a\r\nb", 100, {"a", "b"}},
      {"\n", 100, {""}},
      {"one\ntwo\n", 100, {"one", "two"}},
      {"x\n\ny", 100, {"x", "", "y"}},
      {"cr\r", 100, {"cr\r"}},                      // CR counts only before an LF
      {"abcdef\n", 4, {"abcd", "ef"}},              // cut at the caller's length
      {long_line + "\nz", 4000, {long_line, "z"}},  // spans several 1,023-byte pieces
      {long_line.substr(0, 1023) + "\nz", 2000, {long_line.substr(0, 1023), "z"}},
  };
  for (const LineCase& c : cases) {
    StreamFixture fixture(c.content);
    PackFileStream* stream = fixture.Open();
    ASSERT_NE(stream, nullptr);
    std::vector<char> buffer(c.length + 1, '#');
    for (const std::string& line : c.lines) {
      ASSERT_EQ(stream->ReadLine(buffer.data(), c.length), line.size()) << c.content.substr(0, 20);
      EXPECT_EQ(std::string(buffer.data()), line) << "zero-terminated";
    }
    EXPECT_EQ(stream->ReadLine(buffer.data(), c.length), 0u);
    EXPECT_TRUE(stream->IsEof());
    stream->Release();
  }
}

TEST(PackStreamTest, ReadLineAtTheEndLeavesTheDestinationAlone) {
  StreamFixture fixture("a");
  PackFileStream* stream = fixture.Open();
  char buffer[8] = "keep";
  stream->SetPosition(1);
  EXPECT_EQ(stream->ReadLine(buffer, 7), 0u);
  EXPECT_STREQ(buffer, "keep");
  EXPECT_EQ(stream->ReadLine(buffer, 0), 0u);
  stream->SetPosition(0);
  EXPECT_EQ(stream->ReadLine(nullptr, 7), 1u) << "null destination still advances";
  EXPECT_TRUE(stream->IsEof());
  stream->Release();
}

TEST(PackStreamTest, SkipLine) {
  StreamFixture fixture("first line\r\n" + std::string(2500, 'y') + "\nlast");
  PackFileStream* stream = fixture.Open();
  EXPECT_EQ(stream->SkipLine(), 12u) << "bytes skipped, LF included";
  EXPECT_EQ(stream->GetPosition(), 12u);
  EXPECT_EQ(stream->SkipLine(), 2501u);
  EXPECT_EQ(stream->SkipLine(), 4u) << "content ending without LF";
  EXPECT_EQ(stream->SkipLine(), 0u);
  stream->Release();
}

TEST(PackStreamTest, ReadStopsAtTheEnd) {
  for (size_t size : {size_t{10}, size_t{600000}}) {  // buffered and read on demand
    std::string content = RandomBytes(3, size);
    StreamFixture fixture(content);
    PackFileStream* stream = fixture.Open();
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->GetSize(), size);
    std::string out(size + 100, '\0');
    stream->SetPosition(static_cast<uint32_t>(size - 7));
    EXPECT_EQ(stream->Read(&out[0], 100), 7u);
    EXPECT_EQ(out.substr(0, 7), content.substr(size - 7));
    EXPECT_EQ(stream->Read(&out[0], 100), 0u);
    EXPECT_EQ(stream->Read(nullptr, 5), 0u);
    stream->SetPosition(3);
    EXPECT_EQ(stream->Read(&out[0], 0), 0u);
    EXPECT_EQ(stream->Read(&out[0], 5), 5u);
    EXPECT_EQ(out.substr(0, 5), content.substr(3, 5));
    stream->Release();
  }
}

TEST(PackStreamTest, GetCrc) {
  const std::string contents[] = {"", "abc", RandomBytes(4, 5000), RandomBytes(5, 600000)};
  for (const std::string& content : contents) {
    StreamFixture fixture(content);
    PackFileStream* stream = fixture.Open();
    ASSERT_NE(stream, nullptr);
    stream->SetPosition(2);
    uint32_t expected = 0;
    if (!content.empty()) {
      ASSERT_TRUE(BufferCrc(content.data(), static_cast<uint32_t>(content.size()), &expected));
    }
    EXPECT_EQ(stream->GetCrc(), expected) << content.size();
    EXPECT_EQ(stream->GetPosition(), 2u) << "position restored";
    EXPECT_EQ(stream->GetCrc(), expected);
    stream->Release();
  }
}

}  // namespace
}  // namespace qlmr
