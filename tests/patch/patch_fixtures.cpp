#include "tests/patch/patch_fixtures.h"

#include <cstdio>
#include <cstdlib>

#include "base/codec.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/little_endian.h"
#include "base/platform.h"

namespace qlmr {
namespace testing_support {

void WriteContainerOrDie(const std::string& path, const char* controlList,
                         const std::vector<ZipMember>& members, ZipByteForm form) {
  std::vector<ZipMember> all;
  if (controlList != nullptr) all.push_back({"(command)", controlList});
  all.insert(all.end(), members.begin(), members.end());
  if (!WriteZipContainer(all, path.c_str(), form)) {
    fprintf(stderr, "cannot write %s: %d %s\n", path.c_str(), LastErrorCode(), LastErrorMessage());
    abort();
  }
}

void PackFileOrDie(const std::string& contentPath, const std::string& path) {
  uint32_t size = FileSizeOf(contentPath.c_str());
  uint8_t header[8] = {'J', 'Z', 'Q', '1'};
  for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<uint8_t>(size >> (8 * i));
  CodecRegistry& registry = GetCodecRegistry();
  if (!registry.EncodeFile(registry.Find(COMPRESS_LZMA), contentPath.c_str(), path.c_str(), nullptr,
                           header, sizeof header, true, nullptr)) {
    fprintf(stderr, "cannot pack %s: %d %s\n", path.c_str(), LastErrorCode(), LastErrorMessage());
    abort();
  }
}

std::string MaskedPackage(const std::string& path, const char* controlList,
                          const std::vector<ZipMember>& members) {
  WriteContainerOrDie(path, controlList, members, ZipByteForm::kMasked);
  return path;
}

std::string PackedPackage(const std::string& path, const char* controlList,
                          const std::vector<ZipMember>& members) {
  std::string content = path + ".content";
  WriteContainerOrDie(content, controlList, members, ZipByteForm::kInverted);
  PackFileOrDie(content, path);
  RemoveFileAt(content.c_str());
  return path;
}

void Put16(std::string* bytes, size_t at, uint16_t value) {
  uint8_t field[2];
  StoreLittleEndian(value, field, 2);
  bytes->replace(at, 2, reinterpret_cast<const char*>(field), 2);
}

std::vector<size_t> CentralRecords(const std::string& zip) {
  std::vector<size_t> records;
  for (size_t at = zip.find("PK\x01\x02"); at != std::string::npos;
       at = zip.find("PK\x01\x02", at + 1)) {
    records.push_back(at);
  }
  return records;
}

size_t CentralRecord(const std::string& zip, const std::string& name) {
  for (size_t at : CentralRecords(zip)) {
    size_t length = static_cast<uint8_t>(zip[at + 28]) | static_cast<uint8_t>(zip[at + 29]) << 8;
    if (zip.compare(at + 46, length, name) == 0) return at;
  }
  fprintf(stderr, "no central record %s\n", name.c_str());
  abort();
}

}  // namespace testing_support
}  // namespace qlmr
