#include "patch/package_builder.h"

#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>

#include "base/codec.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/strings.h"
#include "patch/control_list.h"
#include "patch/patch_format.h"

namespace qlmr {
namespace {

// A zip archive being written with libzip. Buffers handed to it must live
// until Close, so the writer keeps them.
class ZipWriter {
 public:
  ~ZipWriter() {
    if (zip_ != nullptr) zip_discard(zip_);
  }

  bool Open(const char* output) {
    int error = 0;
    zip_ = zip_open(RuntimeFileName(output).c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (zip_ == nullptr) return ReportZipError(error);
    return true;
  }

  bool AddBuffer(const std::string& name, std::string data) {
    buffers_.push_back(std::move(data));
    const std::string& kept = buffers_.back();
    zip_source_t* source = zip_source_buffer(zip_, kept.data(), kept.size(), 0);
    return Add(name, source);
  }

  bool AddFile(const std::string& name, const std::string& path) {
    zip_source_t* source = zip_source_file(zip_, RuntimeFileName(path.c_str()).c_str(), 0, -1);
    return Add(name, source);
  }

  bool Close() {
    if (zip_close(zip_) != 0) return ReportZipError(zip_error_code_zip(zip_get_error(zip_)));
    zip_ = nullptr;
    return true;
  }

 private:
  bool Add(const std::string& name, zip_source_t* source) {
    if (source == nullptr) return ReportZipError(zip_error_code_zip(zip_get_error(zip_)));
    // CP936 names are stored as their bytes, without the UTF-8 flag.
    zip_int64_t index =
        zip_file_add(zip_, name.c_str(), source, ZIP_FL_ENC_CP437 | ZIP_FL_OVERWRITE);
    if (index < 0) {
      zip_source_free(source);
      return ReportZipError(zip_error_code_zip(zip_get_error(zip_)));
    }
    if (zip_set_file_compression(zip_, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 0) != 0) {
      return ReportZipError(zip_error_code_zip(zip_get_error(zip_)));
    }
    return true;
  }

  static bool ReportZipError(int error) {
    ReportError(ERR_ZIP, "ziperr=%d", error);
    return false;
  }

  zip_t* zip_ = nullptr;
  std::deque<std::string> buffers_;
};

// Opens a data file and tells its size, which must fit a pack archive.
bool OpenDataFile(const std::string& path, File* file, uint64_t* size) {
  if (!file->Open(path.c_str(), FileMode::kRead)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", path.c_str(), LastSystemError());
    return false;
  }
  if (!file->Size(size)) {
    ReportError(ERR_READ, "WinErr=%d", LastSystemError());
    return false;
  }
  if (*size > patch_format::kMaxInMemoryEntry) {
    ReportError(ERR_NO_MEMORY, "Size=%llu", static_cast<unsigned long long>(*size));
    return false;
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string* content) {
  File file;
  uint64_t size = 0;
  if (!OpenDataFile(path, &file, &size)) return false;
  content->resize(static_cast<size_t>(size));
  uint32_t got = 0;
  if (!file.Read(&(*content)[0], static_cast<uint32_t>(size), &got) || got != size) {
    ReportError(ERR_READ, "WinErr=%d", LastSystemError());
    return false;
  }
  return true;
}

// The name of an entry's data inside the container: slashes only.
std::string ContainerName(const PackageLine& line) {
  std::string name = line.packName.empty() ? line.fileName : JoinPath(line.packName, line.fileName);
  return NormalizeName(name, false, true);
}

// Encodes `data` with the codec of `compressType`, as a pack archive stores it.
bool EncodeForPack(int32_t compressType, std::string* data) {
  const Codec* codec = GetCodecRegistry().Find(compressType);
  if (codec == nullptr) return false;
  uint32_t length = static_cast<uint32_t>(data->size());
  uint32_t capacity = std::max(length, codec->MaxEncodedSize(length));
  std::string buffer(*data);
  buffer.resize(capacity);
  if (!codec->Encode(reinterpret_cast<uint8_t*>(&buffer[0]), capacity, &length)) return false;
  buffer.resize(length);
  *data = std::move(buffer);
  return true;
}

bool GiveForm(const char* output, ZipByteForm form) {
  switch (form) {
    case ZipByteForm::kPlain:
      return true;
    case ZipByteForm::kInverted:
      return MaskFileInPlace(output, false, true);
    case ZipByteForm::kMasked:
      return MaskFileInPlace(output, false, false);
  }
  return false;
}

}  // namespace

std::string FormatControlLine(const PackageLine& line, uint32_t contentSize) {
  char numbers[32];
  snprintf(numbers, sizeof numbers, "|%d|%08X", line.compressType, contentSize);
  return std::to_string(line.op) + "|" + line.packName + "|" + line.fileName + numbers;
}

bool ReadPackageList(const char* path, std::vector<PackageLine>* lines) {
  lines->clear();
  std::string text;
  if (!ReadWholeFile(path, &text)) return false;
  std::vector<std::string> rows;
  std::vector<std::string> fields;
  SplitString(text.c_str(), &rows, patch_format::kLineSeparators, true, true);
  int number = 0;
  for (const std::string& row : rows) {
    ++number;
    SplitString(row.c_str(), &fields, patch_format::kFieldSeparator, true, false);
    if (fields.size() < 4) {
      ReportError(ERR_BAD_DATA, "line %d: %s", number, row.c_str());
      return false;
    }
    PackageLine line;
    line.op = ParseDecimal(fields[0].c_str());
    line.packName = fields[1];
    line.fileName = fields[2];
    line.compressType = ParseDecimal(fields[3].c_str());
    const std::string& place = line.packName.empty() ? line.fileName : line.packName;
    if (!IsSafeRelativeName(place)) {
      ReportError(ERR_BAD_DATA, "line %d: %s", number, place.c_str());
      return false;
    }
    lines->push_back(line);
  }
  return true;
}

bool BuildPatchPackage(const std::vector<PackageLine>& lines, const char* root, const char* output,
                       PatchKind kind) {
  if (root == nullptr || output == nullptr || output[0] == '\0' ||
      (kind != PATCH_KIND_MASKED_ZIP && kind != PATCH_KIND_PACKED)) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  // The container holds one data entry per name: the one of the last write.
  std::map<std::string, size_t> lastWrite;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].op == ENTRY_OP_WRITE) lastWrite[NormalizeName(ContainerName(lines[i]))] = i;
  }

  ZipWriter zip;
  if (!zip.Open(output)) return false;
  std::string controlList;
  std::vector<std::pair<std::string, std::string>> dataFiles;  // container name, path
  for (size_t i = 0; i < lines.size(); ++i) {
    const PackageLine& line = lines[i];
    uint32_t contentSize = 0;
    std::string name = ContainerName(line);
    if (NormalizeName(name) == patch_format::kControlListName) {
      ReportError(ERR_BAD_DATA, "%s", line.fileName.c_str());  // would replace the control list
      return false;
    }
    bool packBound = !line.packName.empty();
    if (line.op == ENTRY_OP_WRITE) {
      std::string path = JoinPath(root, packBound ? JoinPath(line.packName, line.fileName)
                                                  : line.fileName);
      File file;
      uint64_t size = 0;
      if (!OpenDataFile(path, &file, &size)) return false;
      contentSize = static_cast<uint32_t>(size);
      bool encode = packBound && line.compressType != COMPRESS_NONE;
      if (encode && GetCodecRegistry().Find(line.compressType) == nullptr) return false;
      if (lastWrite[NormalizeName(name)] == i) {
        if (encode && kind == PATCH_KIND_MASKED_ZIP) {
          std::string data;
          if (!ReadWholeFile(path, &data) || !EncodeForPack(line.compressType, &data) ||
              !zip.AddBuffer(name, std::move(data))) {
            return false;
          }
        } else {
          dataFiles.emplace_back(name, path);  // streamed from disk by libzip
        }
      }
    }
    controlList += FormatControlLine(line, contentSize) + "\r\n";
  }
  if (!zip.AddBuffer(patch_format::kControlListName, controlList)) return false;
  for (const auto& file : dataFiles) {
    if (!zip.AddFile(file.first, file.second)) return false;
  }
  if (!zip.Close()) return false;

  if (kind == PATCH_KIND_MASKED_ZIP) return GiveForm(output, ZipByteForm::kMasked);
  PatchPackagePtr package(CreatePatchPackage());
  return package->ConvertPackageFile(output, output);
}

bool WriteZipContainer(const std::vector<ZipMember>& members, const char* output,
                       ZipByteForm form) {
  ZipWriter zip;
  if (!zip.Open(output)) return false;
  for (const ZipMember& member : members) {
    if (!zip.AddBuffer(member.name, member.data)) return false;
  }
  return zip.Close() && GiveForm(output, form);
}

}  // namespace qlmr
