// A pack archive from bytes (the compact form of fuzz/pack_fuzz_input.h), opened for writing: a
// file is added, read back after reopening, and removed again. Whatever the archive held, a change
// that reported success must read back as written.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "fuzz/pack_fuzz_input.h"
#include "pack/pack_archive.h"

namespace {

using namespace qlmr;

constexpr char kName[] = "fuzz\\added.txt";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = fuzzing::ScratchPath("write.pak");
  // The added content comes from the input too, so its size varies.
  size_t contentSize = size == 0 ? 0 : data[0] * 7u;
  std::string content(contentSize, 'q');
  for (size_t i = 0; i < contentSize; ++i) content[i] = static_cast<char>(i * 31 + contentSize);
  std::string file = fuzzing::ExpandPackInput(data, size);
  fuzzing::WriteBytesOrDie(path, reinterpret_cast<const uint8_t*>(file.data()), file.size());

  std::unique_ptr<PackArchive> archive = NewPackArchive();
  if (!archive->Open(path.c_str(), false)) return 0;
  bool added = archive->AddFile(content.data(), static_cast<uint32_t>(content.size()), kName, true,
                                true, 0, 0);
  archive->Close();
  if (added) {
    if (!archive->Open(path.c_str(), true)) {
      fprintf(stderr, "an archive that took a file does not open again\n");
      abort();
    }
    std::string back(content.size(), '\0');
    if (!archive->ReadFileData(kName, true, &back[0], static_cast<uint32_t>(back.size())) ||
        back != content) {
      fprintf(stderr, "an added file does not read back\n");
      abort();
    }
    archive->Close();
  }
  if (archive->Open(path.c_str(), false)) {
    archive->RemoveFile(kName, true);
    archive->Close();
  }
  return 0;
}
