#include "tools/file_digest.h"

#include <zlib.h>

#include <vector>

#include "base/error.h"
#include "base/platform.h"

#ifdef _WIN32
#include <windows.h>
// windows.h first: wincrypt.h needs its types.
#include <wincrypt.h>
#else
#include <nettle/sha2.h>
#endif

namespace qlmr {
namespace tools {
namespace {

constexpr size_t kSha256Bytes = 32;

#ifdef _WIN32
// SHA-256 from the system's cryptography provider (advapi32, which every
// program of the system may import).
class Sha256 {
 public:
  Sha256() {
    ok_ = CryptAcquireContextW(&provider_, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
          CryptCreateHash(provider_, CALG_SHA_256, 0, 0, &hash_);
  }
  ~Sha256() {
    if (hash_ != 0) CryptDestroyHash(hash_);
    if (provider_ != 0) CryptReleaseContext(provider_, 0);
  }
  void Update(const uint8_t* data, uint32_t length) {
    ok_ = ok_ && CryptHashData(hash_, data, length, 0);
  }
  bool Finish(uint8_t* digest) {
    DWORD size = kSha256Bytes;
    return ok_ && CryptGetHashParam(hash_, HP_HASHVAL, digest, &size, 0) && size == kSha256Bytes;
  }

 private:
  HCRYPTPROV provider_ = 0;
  HCRYPTHASH hash_ = 0;
  bool ok_ = false;
};
#else
// SHA-256 from nettle.
class Sha256 {
 public:
  Sha256() { sha256_init(&context_); }
  void Update(const uint8_t* data, uint32_t length) { sha256_update(&context_, length, data); }
  bool Finish(uint8_t* digest) {
    sha256_digest(&context_, kSha256Bytes, digest);
    return true;
  }

 private:
  sha256_ctx context_;
};
#endif

}  // namespace

bool DigestFile(const std::string& path, FileDigests* digests) {
  *digests = FileDigests();
  File file;
  if (!file.Open(path.c_str(), FileMode::kRead)) {
    ReportError(ERR_ACCESS, "File=%s, WinErr=%d", path.c_str(), LastSystemError());
    return false;
  }
  std::vector<uint8_t> buffer(1u << 16);
  Sha256 sha;
  uLong crc = crc32(0L, Z_NULL, 0);
  for (;;) {
    uint32_t got = 0;
    if (!file.Read(buffer.data(), static_cast<uint32_t>(buffer.size()), &got)) {
      ReportError(ERR_READ, "File=%s, WinErr=%d", path.c_str(), LastSystemError());
      return false;
    }
    if (got == 0) break;
    crc = crc32(crc, buffer.data(), got);
    sha.Update(buffer.data(), got);
    digests->bytes += got;
  }
  uint8_t digest[kSha256Bytes];
  if (!sha.Finish(digest)) {
    ReportError(ERR_CODEC, "SHA-256");
    return false;
  }
  digests->crc32 = static_cast<uint32_t>(crc);
  static const char kHex[] = "0123456789abcdef";
  for (uint8_t byte : digest) {
    digests->sha256 += kHex[byte >> 4];
    digests->sha256 += kHex[byte & 15];
  }
  return true;
}

}  // namespace tools
}  // namespace qlmr
