// The zip reader over libzip, for Windows, where zziplib is not built. libzip
// reads the container through a source callback of ours: it reads the file
// through the platform layer (so CP936 names work on any code page) and undoes
// the byte form by file position.
#include <zip.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/little_endian.h"
#include "base/platform.h"
#include "patch/zip_checks.h"
#include "patch/zip_reader.h"

namespace qlmr {
namespace {

class LibzipReadHandlers : public ZipReadHandlers {
 public:
  explicit LibzipReadHandlers(ZipByteForm form) : ZipReadHandlers(form) {}
};

const LibzipReadHandlers& HandlersOf(ZipByteForm form) {
  static const LibzipReadHandlers plain(ZipByteForm::kPlain);
  static const LibzipReadHandlers inverted(ZipByteForm::kInverted);
  static const LibzipReadHandlers masked(ZipByteForm::kMasked);
  switch (form) {
    case ZipByteForm::kInverted:
      return inverted;
    case ZipByteForm::kMasked:
      return masked;
    case ZipByteForm::kPlain:
      break;
  }
  return plain;
}

// The container file as libzip's source: an open platform file, the read
// position and the byte form. Owned by the source; freed by ZIP_SOURCE_FREE.
struct ContainerSource {
  File file;
  ZipByteForm form = ZipByteForm::kPlain;
  uint64_t size = 0;
  uint64_t position = 0;
  zip_error_t error;
};

zip_int64_t Fail(ContainerSource* source, int zipError) {
  zip_error_set(&source->error, zipError, LastSystemError());
  return -1;
}

zip_int64_t ContainerCallback(void* state, void* data, zip_uint64_t length,
                              zip_source_cmd_t command) {
  auto* source = static_cast<ContainerSource*>(state);
  switch (command) {
    case ZIP_SOURCE_OPEN:
      source->position = 0;
      return 0;
    case ZIP_SOURCE_READ: {
      uint64_t left = source->position < source->size ? source->size - source->position : 0;
      uint32_t want = static_cast<uint32_t>(length < left ? length : left);
      if (length > UINT32_MAX && left > UINT32_MAX) want = UINT32_MAX;
      uint32_t got = 0;
      if (want > 0 && !source->file.ReadAt(source->position, data, want, &got)) {
        return Fail(source, ZIP_ER_READ);
      }
      UnmaskContainerBytes(source->form, source->position, data, got);
      source->position += got;
      return got;
    }
    case ZIP_SOURCE_CLOSE:
      return 0;
    case ZIP_SOURCE_STAT: {
      auto* stat = static_cast<zip_stat_t*>(data);
      zip_stat_init(stat);
      stat->size = source->size;
      stat->valid |= ZIP_STAT_SIZE;
      return sizeof *stat;
    }
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&source->error, data, length);
    case ZIP_SOURCE_FREE:
      zip_error_fini(&source->error);
      delete source;
      return 0;
    case ZIP_SOURCE_SEEK: {
      zip_int64_t target = zip_source_seek_compute_offset(source->position, source->size, data,
                                                          length, &source->error);
      if (target < 0) return -1;
      source->position = static_cast<uint64_t>(target);
      return 0;
    }
    case ZIP_SOURCE_TELL:
      return static_cast<zip_int64_t>(source->position);
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(
          ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR,
          ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL, ZIP_SOURCE_SUPPORTS, -1);
    default:
      zip_error_set(&source->error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

// Reads `length` bytes at `position` of the container as zip bytes.
bool ReadZipBytes(ContainerSource* source, uint64_t position, void* data, uint32_t length) {
  uint32_t got = 0;
  if (!source->file.ReadAt(position, data, length, &got) || got != length) return false;
  UnmaskContainerBytes(source->form, position, data, length);
  return true;
}

// The offsets of the entries' local records, in central directory order,
// read from the central directory: libzip keeps them to itself. Empty when
// the directory is not where its end record says (libzip judged it, and the
// layout check then passes over the entries).
std::vector<uint64_t> LocalRecordOffsets(ContainerSource* source) {
  namespace fmt = zip_format;
  std::vector<uint64_t> offsets;
  uint64_t tailLength =
      std::min<uint64_t>(source->size, fmt::kEndRecordSize + fmt::kEndCommentLimit);
  std::vector<uint8_t> tail(static_cast<size_t>(tailLength));
  uint64_t tailStart = source->size - tailLength;
  if (tailLength < fmt::kEndRecordSize ||
      !ReadZipBytes(source, tailStart, tail.data(), static_cast<uint32_t>(tailLength))) {
    return offsets;
  }
  size_t end = tail.size() - fmt::kEndRecordSize + 1;
  do {
    --end;
  } while (end > 0 && LoadLittleEndian32(tail.data() + end) != fmt::kEndSignature);
  if (LoadLittleEndian32(tail.data() + end) != fmt::kEndSignature) return offsets;
  uint32_t directorySize = LoadLittleEndian32(tail.data() + end + fmt::kEndDirectorySizeOffset);
  uint32_t directoryOffset = LoadLittleEndian32(tail.data() + end + fmt::kEndDirectoryOffsetOffset);
  if (uint64_t{directoryOffset} + directorySize > tailStart + end) return offsets;
  std::vector<uint8_t> directory(directorySize);
  if (directorySize > 0 &&
      !ReadZipBytes(source, directoryOffset, directory.data(), directorySize)) {
    return offsets;
  }
  for (size_t at = 0; at + fmt::kCentralHeaderSize <= directory.size();) {
    const uint8_t* record = directory.data() + at;
    if (LoadLittleEndian32(record) != fmt::kCentralSignature) break;
    offsets.push_back(LoadLittleEndian32(record + fmt::kCentralLocalOffsetOffset));
    at += fmt::kCentralHeaderSize + LoadLittleEndian(record + fmt::kCentralNameLengthOffset, 2) +
          LoadLittleEndian(record + fmt::kCentralExtraLengthOffset, 2) +
          LoadLittleEndian(record + fmt::kCentralCommentLengthOffset, 2);
  }
  return offsets;
}

// The central directory record of entry `index`, its name in raw bytes
// (names are CP936 and must not be recoded). libzip does not tell where an
// entry's local record lies: LocalRecordOffsets does.
bool StatEntry(zip_t* archive, zip_uint64_t index, ZipEntryInfo* info) {
  zip_stat_t stat;
  constexpr zip_uint64_t kNeeded =
      ZIP_STAT_NAME | ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC;
  if (zip_stat_index(archive, index, ZIP_FL_ENC_RAW, &stat) != 0 ||
      (stat.valid & kNeeded) != kNeeded) {
    return false;
  }
  info->name = stat.name;
  info->size = stat.size;
  info->compressedSize = stat.comp_size;
  info->method = stat.comp_method;
  info->crc32 = stat.crc;
  return true;
}

class LibzipEntryReader : public ZipEntryReader {
 public:
  LibzipEntryReader(zip_t* archive, zip_uint64_t index, zip_file_t* file)
      : archive_(archive), index_(index), file_(file) {}
  ~LibzipEntryReader() override {
    if (file_ != nullptr) zip_fclose(file_);
  }

  // This libzip cannot seek inside compressed data, so the entry starts over.
  bool Rewind() override {
    if (file_ != nullptr) zip_fclose(file_);
    file_ = zip_fopen_index(archive_, index_, 0);
    position_ = 0;
    return file_ != nullptr;
  }
  int64_t Read(void* buffer, uint32_t length) override {
    if (file_ == nullptr) return -1;
    zip_int64_t n = zip_fread(file_, buffer, length);
    if (n < 0) return -1;
    position_ += static_cast<uint64_t>(n);
    return n;
  }
  uint64_t Tell() override { return position_; }

 private:
  zip_t* archive_;
  zip_uint64_t index_;
  zip_file_t* file_;
  uint64_t position_ = 0;
};

class LibzipDirectory : public ZipDirectory {
 public:
  // `source` is the archive's: it lives as long as the archive.
  LibzipDirectory(zip_t* archive, ContainerSource* source) : archive_(archive), source_(source) {}
  ~LibzipDirectory() override { zip_discard(archive_); }

  int ErrorNumber() const override { return zip_error_code_zip(zip_get_error(archive_)); }

 protected:
  bool ListEntries(std::vector<ZipEntryInfo>* entries) override {
    zip_int64_t count = zip_get_num_entries(archive_, 0);
    if (count < 0) return false;
    entries->reserve(static_cast<size_t>(count));
    std::vector<uint64_t> offsets = LocalRecordOffsets(source_);
    // Offsets count only when they are the directory libzip read.
    if (offsets.size() != static_cast<size_t>(count)) offsets.clear();
    for (zip_int64_t i = 0; i < count; ++i) {
      ZipEntryInfo info;
      if (!StatEntry(archive_, static_cast<zip_uint64_t>(i), &info)) return false;
      if (!offsets.empty()) info.localOffset = offsets[static_cast<size_t>(i)];
      entries->push_back(std::move(info));
    }
    return true;
  }

  std::unique_ptr<ZipEntryReader> OpenEntryAt(size_t position) override {
    zip_file_t* file = zip_fopen_index(archive_, position, 0);
    if (file == nullptr) return nullptr;
    return std::make_unique<LibzipEntryReader>(archive_, position, file);
  }

 private:
  zip_t* archive_;
  ContainerSource* source_;
};

}  // namespace

const ZipReadHandlers* GetZipReadHandlers(ZipByteForm form) { return &HandlersOf(form); }

// The handlers hold nothing but their form: there is nothing to refill.
void RefillZipReadHandlers() {}

std::unique_ptr<ZipDirectory> ZipDirectory::Open(const char* path, const ZipReadHandlers* handlers,
                                                 int* zipError) {
  *zipError = 0;
  auto* source = new ContainerSource;
  source->form = handlers->form();
  zip_error_init(&source->error);
  if (!source->file.Open(path, FileMode::kRead) || !source->file.Size(&source->size)) {
    *zipError = ZIP_ER_OPEN;
    zip_error_fini(&source->error);
    delete source;
    return nullptr;
  }
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* zipSource = zip_source_function_create(&ContainerCallback, source, &error);
  if (zipSource == nullptr) {
    *zipError = zip_error_code_zip(&error);
    zip_error_fini(&error);
    zip_error_fini(&source->error);
    delete source;
    return nullptr;
  }
  // From here the source owns the container state, the archive the source.
  zip_t* archive = zip_open_from_source(zipSource, ZIP_RDONLY, &error);
  if (archive == nullptr) {
    *zipError = zip_error_code_zip(&error);
    zip_error_fini(&error);
    zip_source_free(zipSource);
    return nullptr;
  }
  zip_error_fini(&error);
  return std::make_unique<LibzipDirectory>(archive, source);
}

}  // namespace qlmr
