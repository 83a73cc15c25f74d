#include "tests/patch/patch_fixtures.h"

#include <cstdio>
#include <cstdlib>

#include "base/codec.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/little_endian.h"
#include "base/platform.h"
#include "patch/zip_checks.h"

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
  uint8_t signature[4];
  StoreLittleEndian32(zip_format::kCentralSignature, signature);
  std::string marker(reinterpret_cast<const char*>(signature), sizeof signature);
  std::vector<size_t> records;
  for (size_t at = zip.find(marker); at != std::string::npos; at = zip.find(marker, at + 1)) {
    records.push_back(at);
  }
  return records;
}

size_t CentralRecord(const std::string& zip, const std::string& name) {
  for (size_t at : CentralRecords(zip)) {
    const auto* record = reinterpret_cast<const uint8_t*>(zip.data() + at);
    size_t length = LoadLittleEndian(record + zip_format::kCentralNameLengthOffset, 2);
    if (zip.compare(at + zip_format::kCentralHeaderSize, length, name) == 0) return at;
  }
  fprintf(stderr, "no central record %s\n", name.c_str());
  abort();
}

}  // namespace testing_support
}  // namespace qlmr
