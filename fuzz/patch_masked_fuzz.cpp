// A masked patch file from bytes: the input is the zip, masked here so that
// mutations work on zip structure. The package is opened, counted and every
// entry of its plan extracted as an apply would (loose files to a scratch
// file, pack-bound data into memory).
#include <cstdint>
#include <string>

#include "base/mask.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/patch_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = qlmr::fuzzing::ScratchPath("masked.patch");
  std::string bytes(reinterpret_cast<const char*>(data), size);
  qlmr::MaskBuffer(&bytes[0], bytes.size(), 0);
  qlmr::fuzzing::WriteBytesOrDie(path, reinterpret_cast<const uint8_t*>(bytes.data()),
                                 bytes.size());
  qlmr::fuzzing::OpenAndExtractEverything(path);
  return 0;
}
