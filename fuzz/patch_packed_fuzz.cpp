// A packed patch file from bytes: the input is the file without its CRC
// trailer, which is added here so that mutations reach the decoder and the
// zip inside. Opened, counted and extracted as the masked target does.
#include <cstdint>
#include <string>

#include "base/crc.h"
#include "base/file_util.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/patch_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = qlmr::fuzzing::ScratchPath("packed.patch");
  std::string bytes(reinterpret_cast<const char*>(data), size);
  uint32_t crc = 0;
  qlmr::BufferCrc(bytes.data(), static_cast<uint32_t>(bytes.size()), &crc);
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(crc >> (8 * i)));
  qlmr::fuzzing::WriteBytesOrDie(path, reinterpret_cast<const uint8_t*>(bytes.data()),
                                 bytes.size());
  qlmr::fuzzing::OpenAndExtractEverything(path);
  return 0;
}
