#include "patch/zip_writer.h"

#include <zip.h>

#include "base/error.h"
#include "base/mask.h"
#include "base/platform.h"
#include "patch/member_deflate.h"

namespace qlmr {
namespace {

bool ReportZipError(int error) {
  ReportError(ERR_ZIP, "ziperr=%d", error);
  return false;
}

}  // namespace

ZipWriter::ZipWriter() : deflate_(std::make_unique<MemberDeflate>()) {}

ZipWriter::~ZipWriter() {
  if (zip_ != nullptr) zip_discard(zip_);
}

bool ZipWriter::Open(const char* output, ZipMethod method) {
  method_ = method;
  int error = 0;
  zip_ = zip_open(RuntimeFileName(output).c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (zip_ == nullptr) return ReportZipError(error);
  return true;
}

bool ZipWriter::AddBuffer(const std::string& name, std::string data, bool stored) {
  buffers_.push_back(std::move(data));
  const std::string& kept = buffers_.back();
  if (Deflated(stored) && kept.size() <= kDeflateAheadLimit) {
    return Add(
        name, deflate_->AddBuffer(zip_, reinterpret_cast<const uint8_t*>(kept.data()), kept.size()),
        stored);
  }
  return Add(name, zip_source_buffer(zip_, kept.data(), kept.size(), 0), stored);
}

bool ZipWriter::AddFile(const std::string& name, const std::string& path, bool stored) {
  std::string file = RuntimeFileName(path.c_str());
  zip_source_t* source = zip_source_file(zip_, file.c_str(), 0, -1);
  // libzip's own source tells the file's size and time, and deflates a
  // large file itself as it copies it.
  zip_stat_t stat;
  if (source != nullptr && Deflated(stored) && zip_source_stat(source, &stat) == 0 &&
      (stat.valid & ZIP_STAT_SIZE) != 0 && stat.size <= kDeflateAheadLimit) {
    source = deflate_->AddFile(zip_, path, source, stat);
  }
  return Add(name, source, stored);
}

bool ZipWriter::Close() {
  deflate_->Start(UsableProcessorCount());
  if (zip_close(zip_) != 0) return ReportZipError(zip_error_code_zip(zip_get_error(zip_)));
  zip_ = nullptr;
  return true;
}

bool ZipWriter::Add(const std::string& name, zip_source_t* source, bool stored) {
  if (source == nullptr) return ReportZipError(zip_error_code_zip(zip_get_error(zip_)));
  // CP936 names are stored as their bytes, without the UTF-8 flag.
  zip_int64_t index = zip_file_add(zip_, name.c_str(), source, ZIP_FL_ENC_CP437 | ZIP_FL_OVERWRITE);
  if (index < 0) {
    zip_source_free(source);
    return ReportZipError(zip_error_code_zip(zip_get_error(zip_)));
  }
  zip_int32_t zipMethod = stored || method_ == ZipMethod::kStore ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
  if (zip_set_file_compression(zip_, static_cast<zip_uint64_t>(index), zipMethod, 0) != 0) {
    return ReportZipError(zip_error_code_zip(zip_get_error(zip_)));
  }
  return true;
}

bool WriteZipContainer(const std::vector<ZipMember>& members, const char* output,
                       ZipByteForm form) {
  ZipWriter zip;
  if (!zip.Open(output)) return false;
  for (const ZipMember& member : members) {
    if (!zip.AddBuffer(member.name, member.data)) return false;
  }
  if (!zip.Close()) return false;
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

}  // namespace qlmr
