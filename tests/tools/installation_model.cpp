#include "tests/tools/installation_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <vector>

#include "base/codec.h"
#include "base/crc.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "pack/pack_inspect.h"
#include "tests/support/test_util.h"

namespace qlmr {
namespace testing_support {

std::string Encoded(uint8_t type, const std::string& content) {
  if (type == COMPRESS_NONE) return content;
  const Codec* codec = GetCodecRegistry().Find(type);
  if (codec == nullptr) abort();
  uint32_t length = static_cast<uint32_t>(content.size());
  std::string buffer(content);
  buffer.resize(std::max<uint32_t>({length, codec->MaxEncodedSize(length), 1}));
  if (!codec->Encode(reinterpret_cast<uint8_t*>(&buffer[0]), static_cast<uint32_t>(buffer.size()),
                     &length)) {
    fprintf(stderr, "encode type %d: %s\n", type, LastErrorMessage());
    abort();
  }
  buffer.resize(length);
  return buffer;
}

std::string ListText(const ArchiveModel& archive) {
  std::string text = "made by the test\n" + std::to_string(archive.files.size()) + "\n";
  for (const auto& file : archive.files) {
    uint32_t crc = 0;
    BufferCrc(file.second.content.data(), static_cast<uint32_t>(file.second.content.size()), &crc);
    char numbers[24];
    snprintf(numbers, sizeof numbers, "|%08X|%08X\n",
             static_cast<unsigned>(file.second.content.size()), static_cast<unsigned>(crc));
    text += file.first + numbers;
  }
  return text;
}

void AddOrDie(PackArchive& archive, const std::string& name, uint8_t type,
              const std::string& content) {
  std::string data = Encoded(type, content);
  static const char kNothing = 0;
  if (!archive.AddFile(data.empty() ? &kNothing : data.data(), static_cast<uint32_t>(data.size()),
                       name.c_str(), true, false, type, static_cast<uint32_t>(content.size()))) {
    fprintf(stderr, "add %s: %s\n", name.c_str(), LastErrorMessage());
    abort();
  }
}

void WriteArchiveOrDie(const std::string& path, const ArchiveModel& model) {
  CreateFolderChain(PathFolder(path).c_str());
  auto archive = NewPackArchive();
  if (!archive->Create(path.c_str())) abort();
  for (const auto& file : model.files) {
    AddOrDie(*archive, file.first, file.second.type, file.second.content);
  }
  if (model.withList) AddOrDie(*archive, "(list)", model.listType, ListText(model));
  archive->Close();
}

void WriteTreeOrDie(const TreeModel& tree, const std::string& root) {
  CreateFolderChain(root.c_str());
  for (const auto& file : tree.loose) WriteFileOrDie(JoinPath(root, file.first), file.second);
  for (const auto& archive : tree.archives) {
    WriteArchiveOrDie(JoinPath(root, archive.first), archive.second);
  }
}

namespace {

// Every file below `root` by normalized name.
void ScanOrDie(const std::string& root, const std::string& relative,
               std::map<std::string, std::string>* files) {
  std::vector<FolderEntry> entries;
  if (!ListFolder(JoinPath(root, relative).c_str(), &entries)) abort();
  for (const FolderEntry& entry : entries) {
    std::string name = relative.empty() ? entry.name : relative + "\\" + entry.name;
    if (entry.isFolder) {
      ScanOrDie(root, name, files);
    } else {
      (*files)[NormalizeName(name)] = JoinPath(root, name);
    }
  }
}

}  // namespace

// Adds failures where the installation at `root` is not the one `want`
// describes: loose files byte for byte, archives by their stored files,
// types and contents, and their list file.
void ExpectInstallation(const std::string& root, const TreeModel& want, const std::string& what) {
  std::map<std::string, std::string> files;
  ScanOrDie(root, "", &files);
  std::set<std::string> wantNames;
  for (const auto& file : want.loose) wantNames.insert(NormalizeName(file.first));
  for (const auto& archive : want.archives) wantNames.insert(NormalizeName(archive.first));
  std::set<std::string> haveNames;
  for (const auto& file : files) haveNames.insert(file.first);
  EXPECT_EQ(haveNames, wantNames) << what;
  for (const auto& file : want.loose) {
    auto found = files.find(NormalizeName(file.first));
    if (found == files.end()) continue;
    EXPECT_TRUE(ReadFileOrEmpty(found->second) == file.second) << what << ": " << file.first;
  }
  for (const auto& model : want.archives) {
    auto found = files.find(NormalizeName(model.first));
    if (found == files.end()) continue;
    auto archive = NewPackArchive();
    ASSERT_TRUE(archive->Open(found->second.c_str(), true)) << what << ": " << model.first;
    if (model.second.withList) {
      EXPECT_TRUE(archive->Verify(nullptr, nullptr, nullptr, nullptr))
          << what << ": " << model.first << " " << LastErrorMessage();
    }
    std::vector<PackSlotInfo> slots;
    ASSERT_TRUE(ListPackSlots(*archive, &slots));
    EXPECT_EQ(slots.size(), model.second.files.size() + (model.second.withList ? 1 : 0))
        << what << ": " << model.first;
    for (const auto& stored : model.second.files) {
      const char* name = stored.first.c_str();
      EXPECT_EQ(archive->GetCompressType(name), stored.second.type) << what << ": " << name;
      PackFileStream* stream = archive->OpenFile(name);
      ASSERT_NE(stream, nullptr) << what << ": " << name;
      std::string content(stream->GetSize(), '\0');
      if (!content.empty()) stream->Read(&content[0], stream->GetSize());
      stream->Release();
      EXPECT_TRUE(content == stored.second.content) << what << ": " << model.first << "|" << name;
    }
  }
}

int GeneratedCaseCount(const char* name, int fallback) {
  const char* count = getenv(name);
  return count != nullptr && atoi(count) > 0 ? atoi(count) : fallback;
}

uint32_t FirstGeneratedSeed() {
  const char* seed = getenv("QLMR_DIFF_SEED");
  return seed != nullptr ? static_cast<uint32_t>(strtoul(seed, nullptr, 10)) : 1;
}

}  // namespace testing_support
}  // namespace qlmr
