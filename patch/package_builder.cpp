#include "patch/package_builder.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

#include "base/codec.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/mask.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/strings.h"
#include "pack/pack_list_file.h"
#include "patch/control_list.h"
#include "patch/patch_format.h"
#include "patch/zip_writer.h"

namespace qlmr {
namespace {

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
  std::vector<uint8_t> encoded;
  if (!EncodeToBuffer(*codec, reinterpret_cast<const uint8_t*>(data->data()),
                      static_cast<uint32_t>(data->size()), &encoded)) {
    return false;
  }
  data->assign(encoded.begin(), encoded.end());
  return true;
}

// The file that holds the data of a line's write.
std::string DataPath(const PackageLine& line, const char* root, const PackageData& source) {
  if (!source.path.empty()) return source.path;
  return JoinPath(root,
                  line.packName.empty() ? line.fileName : JoinPath(line.packName, line.fileName));
}

// The checks that keep a package from failing part way through an apply,
// before anything is written: a list file it stores in a pack archive must
// read back in Verify, and in a packed package (whose pack-bound data the
// updater encodes) every file of type 2 or 3 must be one its codec accepts,
// since LZMA, for one, refuses small inputs it cannot shrink.
bool CheckPackBoundData(const std::vector<PackageLine>& lines, const char* root, PatchKind kind,
                        const std::vector<PackageData>* data,
                        const std::map<std::string, size_t>& lastWrite, bool encodingsProven) {
  std::string refused;
  size_t refusals = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const PackageLine& line = lines[i];
    if (line.op != ENTRY_OP_WRITE || line.packName.empty()) continue;
    if (lastWrite.at(NormalizeName(ContainerName(line))) != i) continue;
    const PackageData source = data != nullptr ? (*data)[i] : PackageData();
    // Bytes taken over in their stored form are the pack archive's already.
    bool isList = NormalizeName(line.fileName) == kPackListFileName &&
                  (!source.storedForm || line.compressType == COMPRESS_NONE);
    bool encodedAtApply = kind == PATCH_KIND_PACKED && !source.storedForm && !encodingsProven &&
                          (line.compressType == COMPRESS_LZO || line.compressType == COMPRESS_LZMA);
    if (!isList && !encodedAtApply) continue;
    std::string bytes;
    if (!ReadWholeFile(DataPath(line, root, source), &bytes)) return false;
    if (isList && !CheckPackListText(bytes)) return false;
    if (encodedAtApply && !EncodeForPack(line.compressType, &bytes)) {
      refused += (refusals++ == 0 ? "" : ", ") + JoinPath(line.packName, line.fileName) + " (" +
                 LastErrorMessage() + ")";
    }
  }
  if (refusals == 0) return true;
  ReportError(ERR_CODEC, "%zu pack-bound files the updater could not encode: %s", refusals,
              refused.c_str());
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
  return ReadPackageListText(path, &text) && ParsePackageList(text, lines);
}

bool ReadPackageListText(const char* path, std::string* text) { return ReadWholeFile(path, text); }

bool ParsePackageList(const std::string& text, std::vector<PackageLine>* lines) {
  lines->clear();
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
                       PatchKind kind, const std::vector<PackageData>* data) {
  return BuildPatchPackage(lines, root, output, kind, data, PackageBuildOptions());
}

bool BuildPatchPackage(const std::vector<PackageLine>& lines, const char* root, const char* output,
                       PatchKind kind, const std::vector<PackageData>* data,
                       ZipMethod packedMethod) {
  PackageBuildOptions options;
  options.packedMethod = packedMethod;
  return BuildPatchPackage(lines, root, output, kind, data, options);
}

bool BuildPatchPackage(const std::vector<PackageLine>& lines, const char* root, const char* output,
                       PatchKind kind, const std::vector<PackageData>* data,
                       const PackageBuildOptions& options) {
  if (root == nullptr || output == nullptr || output[0] == '\0' ||
      (kind != PATCH_KIND_MASKED_ZIP && kind != PATCH_KIND_PACKED) ||
      (data != nullptr && data->size() != lines.size())) {
    ReportError(ERR_INVALID, "");
    return false;
  }
  // The container holds one data entry per name: the one of the last write.
  std::map<std::string, size_t> lastWrite;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].op == ENTRY_OP_WRITE) lastWrite[NormalizeName(ContainerName(lines[i]))] = i;
  }

  if (!CheckPackBoundData(lines, root, kind, data, lastWrite, options.encodingsProven)) {
    return false;
  }

  ZipWriter zip;
  if (!zip.Open(output, kind == PATCH_KIND_PACKED ? options.packedMethod : ZipMethod::kDeflate)) {
    return false;
  }
  if (options.memberTime >= 0) zip.SetMemberTime(options.memberTime);
  std::string controlList;
  struct DataFile {
    std::string name;  // in the container
    std::string path;
    bool stored;
  };
  std::vector<DataFile> dataFiles;
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
      const PackageData source = data != nullptr ? (*data)[i] : PackageData();
      if (source.storedForm && (!packBound || kind != PATCH_KIND_MASKED_ZIP)) {
        ReportError(ERR_INVALID, "");  // only a masked package carries stored bytes
        return false;
      }
      std::string path = DataPath(line, root, source);
      File file;
      uint64_t size = 0;
      if (!OpenDataFile(path, &file, &size)) return false;
      contentSize = source.storedForm ? source.contentSize : static_cast<uint32_t>(size);
      bool encode = packBound && line.compressType != COMPRESS_NONE && !source.storedForm;
      if (encode && GetCodecRegistry().Find(line.compressType) == nullptr) return false;
      if (lastWrite[NormalizeName(name)] == i) {
        // LZO and LZMA output, masked, does not deflate: it goes in as it is.
        bool compressed = packBound && kind == PATCH_KIND_MASKED_ZIP &&
                          (line.compressType == COMPRESS_LZO || line.compressType == COMPRESS_LZMA);
        if (encode && kind == PATCH_KIND_MASKED_ZIP) {
          std::string data;
          if (!ReadWholeFile(path, &data) || !EncodeForPack(line.compressType, &data) ||
              !zip.AddBuffer(name, std::move(data), compressed)) {
            return false;
          }
        } else {
          dataFiles.push_back({name, path, compressed});  // streamed from disk by libzip
        }
      }
    }
    controlList += FormatControlLine(line, contentSize) + "\r\n";
  }
  if (!zip.AddBuffer(patch_format::kControlListName, controlList)) return false;
  for (const DataFile& file : dataFiles) {
    if (!zip.AddFile(file.name, file.path, file.stored)) return false;
  }
  if (!zip.Close()) return false;

  if (kind == PATCH_KIND_MASKED_ZIP) return MaskFileInPlace(output, false, false);
  PatchPackagePtr package(CreatePatchPackage());
  return package->ConvertPackageFile(output, output);
}

}  // namespace qlmr
