// The carrier block and the version texts from bytes. The input is the tail
// of an updater file after the carrier offset; the version texts it names
// are parsed and compared, and comparing must be consistent both ways.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"
#include "update/carrier.h"
#include "update/version.h"

namespace {

using namespace qlmr;

int Reverse(int comparison) {
  if (comparison == VERSION_OLDER) return VERSION_NEWER;
  if (comparison == VERSION_NEWER) return VERSION_OLDER;
  return comparison;
}

void CheckVersions(const std::string& a, const std::string& b) {
  VersionInfo first = ParseVersion(a.c_str());
  VersionInfo second = ParseVersion(b.c_str());
  if (CompareVersions(first, second) != Reverse(CompareVersions(second, first)) ||
      CompareVersions(first, first) != VERSION_EQUAL) {
    fprintf(stderr, "version comparison is not consistent\n");
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = fuzzing::ScratchPath("updater.exe");
  // A small offset keeps the files small; the reader takes any offset.
  constexpr uint64_t kOffset = 16;
  std::string bytes(kOffset, 'M');
  bytes.append(reinterpret_cast<const char*>(data), size);
  fuzzing::WriteBytesOrDie(path, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  EmbeddedPatch patch;
  if (ExtractEmbeddedPatch(path.c_str(), kOffset, fuzzing::ScratchFolder(), &patch)) {
    CheckVersions(patch.fromVersionText, patch.toVersionText);
  }
  // The same bytes as two texts split at their first zero byte.
  std::string text(reinterpret_cast<const char*>(data), size);
  size_t zero = text.find('\0');
  CheckVersions(text.substr(0, zero), zero == std::string::npos ? "" : text.substr(zero + 1));
  return 0;
}
