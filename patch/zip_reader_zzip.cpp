// The zip reader over zziplib. zziplib reads the container through a table of
// file handlers; the inverted and masked forms get copies of its default
// table whose read handler undoes the form by file position.
#include <zzip/lib.h>
#include <zzip/plugin.h>
#include <zzip/zzip.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/platform.h"
#include "patch/zip_reader.h"

namespace qlmr {
namespace {

class ZzipReadHandlers : public ZipReadHandlers {
 public:
  explicit ZzipReadHandlers(ZipByteForm form) : ZipReadHandlers(form) { Refill(); }

  // A copy of the default table without memory mapping, so that every byte
  // zziplib looks at passes through the read handler.
  void Refill() {
    zzip_init_io(&table_, 0);
    if (form() == ZipByteForm::kInverted) table_.fd.read = &InvertedRead;
    if (form() == ZipByteForm::kMasked) table_.fd.read = &MaskedRead;
  }

  zzip_plugin_io_t table() const { return &table_; }

 private:
  static zzip_ssize_t ReadAndUnmask(ZipByteForm form, int fd, void* buffer, zzip_size_t length) {
    zzip_plugin_io_t defaults = zzip_get_default_io();
    zzip_off_t position = defaults->fd.seeks(fd, 0, SEEK_CUR);
    zzip_ssize_t n = defaults->fd.read(fd, buffer, length);
    if (n <= 0 || position < 0) return n;
    UnmaskContainerBytes(form, static_cast<uint64_t>(position), buffer, static_cast<size_t>(n));
    return n;
  }
  static zzip_ssize_t MaskedRead(int fd, void* buffer, zzip_size_t length) {
    return ReadAndUnmask(ZipByteForm::kMasked, fd, buffer, length);
  }
  static zzip_ssize_t InvertedRead(int fd, void* buffer, zzip_size_t length) {
    return ReadAndUnmask(ZipByteForm::kInverted, fd, buffer, length);
  }

  zzip_plugin_io_handlers table_;
};

ZzipReadHandlers& HandlersOf(ZipByteForm form) {
  static ZzipReadHandlers plain(ZipByteForm::kPlain);
  static ZzipReadHandlers inverted(ZipByteForm::kInverted);
  static ZzipReadHandlers masked(ZipByteForm::kMasked);
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

// Entry names compare ignoring ASCII case, as zziplib's caseless lookup does.
std::string CaselessKey(const char* name) {
  std::string key = name;
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return key;
}

// The central directory as zziplib parsed it, with the fields its public
// stat leaves out (CRC, record offset), read from its directory headers.
std::vector<ZipEntryInfo> ReadDirectory(ZZIP_DIR* dir) {
  std::vector<ZipEntryInfo> entries;
  zzip_rewinddir(dir);
  for (;;) {
    const zzip_dir_hdr* header = dir->hdr;
    ZZIP_DIRENT dirent;
    if (header == nullptr || zzip_dir_read(dir, &dirent) == 0) break;
    ZipEntryInfo info;
    info.name.assign(header->d_name, header->d_namlen);
    info.size = header->d_usize;
    info.compressedSize = header->d_csize;
    info.method = header->d_compr;
    info.crc32 = header->d_crc32;
    info.localOffset = header->d_off;
    entries.push_back(std::move(info));
  }
  zzip_rewinddir(dir);
  return entries;
}

class ZzipEntryReader : public ZipEntryReader {
 public:
  ZzipEntryReader(ZZIP_FILE* file, const ZipEntryInfo* info) : file_(file), info_(info) {}
  ~ZzipEntryReader() override { zzip_file_close(file_); }

  bool Info(ZipEntryInfo* info) override {
    if (info_ == nullptr) return false;
    *info = *info_;
    return true;
  }

  bool Rewind() override { return zzip_seek(file_, 0, SEEK_SET) == 0; }
  int64_t Read(void* buffer, uint32_t length) override {
    zzip_ssize_t n = zzip_file_read(file_, buffer, length);
    return n < 0 ? -1 : static_cast<int64_t>(n);
  }
  uint64_t Tell() override {
    zzip_off_t position = zzip_tell(file_);
    return position < 0 ? 0 : static_cast<uint64_t>(position);
  }

 private:
  ZZIP_FILE* file_;
  const ZipEntryInfo* info_;
};

class ZzipDirectory : public ZipDirectory {
 public:
  explicit ZzipDirectory(ZZIP_DIR* dir) : dir_(dir), entries_(ReadDirectory(dir)) {
    // The first of several equal names is the one zziplib opens.
    for (const ZipEntryInfo& info : entries_)
      byName_.emplace(CaselessKey(info.name.c_str()), &info);
  }
  ~ZzipDirectory() override { zzip_dir_close(dir_); }

  std::unique_ptr<ZipEntryReader> OpenEntry(const char* name) override {
    ZZIP_FILE* file = zzip_file_open(dir_, name, ZZIP_CASELESS);
    if (file == nullptr) return nullptr;
    auto found = byName_.find(CaselessKey(name));
    const ZipEntryInfo* info = found == byName_.end() ? nullptr : found->second;
    return std::make_unique<ZzipEntryReader>(file, info);
  }
  int ErrorNumber() const override { return zzip_error(dir_); }
  std::vector<ZipEntryInfo> Entries() const override { return entries_; }

 private:
  ZZIP_DIR* dir_;
  std::vector<ZipEntryInfo> entries_;
  std::map<std::string, const ZipEntryInfo*> byName_;
};

}  // namespace

const ZipReadHandlers* GetZipReadHandlers(ZipByteForm form) { return &HandlersOf(form); }

void RefillZipReadHandlers() {
  HandlersOf(ZipByteForm::kInverted).Refill();
  HandlersOf(ZipByteForm::kMasked).Refill();
}

std::unique_ptr<ZipDirectory> ZipDirectory::Open(const char* path, const ZipReadHandlers* handlers,
                                                 int* zipError) {
  *zipError = 0;
  const auto* own = static_cast<const ZzipReadHandlers*>(handlers);
  std::string name = RuntimeFileName(path);
  zzip_error_t error = ZZIP_NO_ERROR;
  ZZIP_DIR* dir = zzip_dir_open_ext_io(name.c_str(), &error, nullptr, own->table());
  if (dir == nullptr) {
    // zziplib leaves the number at 0 only when it has none to give.
    *zipError = error != ZZIP_NO_ERROR ? static_cast<int>(error) : static_cast<int>(ZZIP_DIR_OPEN);
    return nullptr;
  }
  return std::make_unique<ZzipDirectory>(dir);
}

}  // namespace qlmr
