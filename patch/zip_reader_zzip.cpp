// The zip reader over zziplib. zziplib reads the container through a table of
// file handlers; the inverted and masked forms get copies of its default
// table whose read handler undoes the form by file position. Entries are
// opened at their directory record (zzip/lib.h, the header zziplib keeps for
// extensions, gives the record list), so an open does not walk the list.
#include <zzip/lib.h>
#include <zzip/plugin.h>
#include <zzip/zzip.h>

#include <algorithm>
#include <cstdio>
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

class ZzipEntryReader : public ZipEntryReader {
 public:
  explicit ZzipEntryReader(ZZIP_FILE* file) : file_(file) {}
  ~ZzipEntryReader() override { zzip_file_close(file_); }

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
};

class ZzipDirectory : public ZipDirectory {
 public:
  explicit ZzipDirectory(ZZIP_DIR* dir) : dir_(dir) {}
  ~ZzipDirectory() override { zzip_dir_close(dir_); }

  int ErrorNumber() const override { return zzip_error(dir_); }

 protected:
  bool ListEntries(std::vector<ZipEntryInfo>* entries) override {
    // The records zziplib made of the central directory, each giving the
    // distance to the next; 0 ends the list. They keep the fields its public
    // stat leaves out (CRC, record offset).
    for (zzip_dir_hdr* record = dir_->hdr0; record != nullptr;) {
      records_.push_back(record);
      ZipEntryInfo info;
      info.name.assign(record->d_name, record->d_namlen);
      info.size = record->d_usize;
      info.compressedSize = record->d_csize;
      info.method = record->d_compr;
      info.crc32 = record->d_crc32;
      info.localOffset = record->d_off;
      entries->push_back(std::move(info));
      if (record->d_reclen == 0) break;
      record = reinterpret_cast<zzip_dir_hdr*>(reinterpret_cast<char*>(record) + record->d_reclen);
    }
    return true;
  }

  std::unique_ptr<ZipEntryReader> OpenEntryAt(size_t position) override {
    zzip_dir_hdr* record = records_[position];
    // zziplib opens by name only, comparing from the first record on;
    // starting it at the wanted record makes the open one compare instead of
    // a walk over the directory.
    zzip_dir_hdr* first = dir_->hdr0;
    dir_->hdr0 = record;
    ZZIP_FILE* file = zzip_file_open(dir_, record->d_name, ZZIP_CASELESS);
    dir_->hdr0 = first;
    if (file == nullptr) return nullptr;
    return std::make_unique<ZzipEntryReader>(file);
  }

 private:
  ZZIP_DIR* dir_;
  std::vector<zzip_dir_hdr*> records_;  // in directory order
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
