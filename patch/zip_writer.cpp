#include "patch/zip_writer.h"

#include <zip.h>

#include <algorithm>

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

// The civil date (proleptic Gregorian, UTC) of a day counted from 1970-01-01.
void CivilDate(int64_t days, int* year, int* month, int* day) {
  days += 719468;  // from 0000-03-01, so that leap days end a year
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  int64_t dayOfEra = days - era * 146097;
  int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  int64_t monthIndex = (5 * dayOfYear + 2) / 153;  // from March
  *day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  *month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  *year = static_cast<int>(yearOfEra + era * 400 + (*month <= 2 ? 1 : 0));
}

}  // namespace

ZipWriter::ZipWriter()
    : deflate_(std::make_unique<MemberDeflate>()), deflateMemory_(kDeflateAheadMemory) {}

ZipWriter::~ZipWriter() {
  if (zip_ != nullptr) zip_discard(zip_);
  // The threads stop before the buffers they may still read are freed.
  deflate_.reset();
}

bool ZipWriter::Open(const char* output, ZipMethod method) {
  method_ = method;
  int error = 0;
  zip_ = zip_open(Utf8LibraryFileName(output).c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (zip_ == nullptr) return ReportZipError(error);
  return true;
}

bool ZipWriter::AddBuffer(const std::string& name, std::string data, bool stored) {
  buffers_.push_back(std::move(data));
  const std::string& kept = buffers_.back();
  if (Deflated(stored) && kept.size() <= kDeflateAheadLimit) {
    DeflateMember* member = nullptr;
    zip_source_t* source = deflate_->AddBuffer(zip_, reinterpret_cast<const uint8_t*>(kept.data()),
                                               kept.size(), &member);
    return Add(name, source, stored, member);
  }
  return Add(name, zip_source_buffer(zip_, kept.data(), kept.size(), 0), stored, nullptr);
}

bool ZipWriter::AddFile(const std::string& name, const std::string& path, bool stored) {
  zip_source_t* source = zip_source_file(zip_, Utf8LibraryFileName(path.c_str()).c_str(), 0, -1);
  // libzip's own source tells the file's size, time and attributes; it
  // deflates a large file itself as it copies it.
  zip_stat_t stat;
  if (source != nullptr && Deflated(stored) && zip_source_stat(source, &stat) == 0 &&
      (stat.valid & ZIP_STAT_SIZE) != 0 && stat.size <= kDeflateAheadLimit) {
    DeflateMember* member = nullptr;
    source = deflate_->AddFile(zip_, path, source, stat, &member);
    return Add(name, source, stored, member);
  }
  return Add(name, source, stored, nullptr);
}

void ZipWriter::SetDeflateWork(uint32_t threads, uint64_t memory) {
  deflateThreads_ = threads;
  deflateMemory_ = memory;
}

void ZipWriter::SetCancel(const std::atomic<bool>* cancel) { cancel_ = cancel; }

void ZipWriter::SetMemberTime(int64_t utcSeconds) {
  constexpr int64_t kFirst = 315532800;  // 1980-01-01 00:00:00
  constexpr int64_t kLast = 4354819198;  // 2107-12-31 23:59:58
  utcSeconds = std::min(std::max(utcSeconds, kFirst), kLast);
  int64_t days = utcSeconds / 86400;
  int64_t second = utcSeconds % 86400;
  int year = 0;
  int month = 0;
  int day = 0;
  CivilDate(days, &year, &month, &day);
  dosDate_ = static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
  dosTime_ = static_cast<uint16_t>(((second / 3600) << 11) | ((second / 60 % 60) << 5) |
                                   (second % 60 / 2));
  fixedTime_ = true;
}

bool ZipWriter::Close() {
  if (cancel_ != nullptr) {
    zip_register_cancel_callback_with_state(
        zip_,
        [](zip_t*, void* cancel) {
          return static_cast<const std::atomic<bool>*>(cancel)->load() ? 1 : 0;
        },
        nullptr, const_cast<std::atomic<bool>*>(cancel_));
  }
  deflate_->Start(deflateThreads_, deflateMemory_, cancel_);
  if (zip_close(zip_) != 0) return ReportZipError(zip_error_code_zip(zip_get_error(zip_)));
  zip_ = nullptr;
  return true;
}

bool ZipWriter::Add(const std::string& name, zip_source_t* source, bool stored,
                    DeflateMember* member) {
  if (source == nullptr) return ReportZipError(zip_error_code_zip(zip_get_error(zip_)));
  // CP936 names are stored as their bytes, without the UTF-8 flag.
  zip_int64_t index = zip_file_add(zip_, name.c_str(), source, ZIP_FL_ENC_CP437 | ZIP_FL_OVERWRITE);
  if (index < 0) {
    zip_source_free(source);
    return ReportZipError(zip_error_code_zip(zip_get_error(zip_)));
  }
  deflate_->Place(member, static_cast<uint64_t>(index));  // or takes a replaced one's out
  if (fixedTime_ &&
      zip_file_set_dostime(zip_, static_cast<zip_uint64_t>(index), dosTime_, dosDate_, 0) != 0) {
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
