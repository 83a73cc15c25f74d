// A pack archive from bytes (the compact form of fuzz/pack_fuzz_input.h), opened read-only: every
// in-use slot's file is read through a stream in the ways a reader moves in it, then the archive is
// verified against its list file.
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/pack_fuzz_input.h"
#include "pack/pack_archive.h"
#include "pack/pack_inspect.h"

namespace {

using namespace qlmr;

void ReadThrough(PackFileStream* stream) {
  uint8_t buffer[4096];
  uint32_t size = stream->GetSize();
  while (!stream->IsEof() && stream->Read(buffer, sizeof buffer) > 0) {
  }
  stream->SetPosition(size / 2);
  char line[64];
  while (!stream->IsEof() && stream->ReadLine(line, sizeof line - 1) > 0) {
  }
  stream->SetPosition(0);
  stream->SkipLine();
  stream->GetPosition();
  stream->GetCrc();
}

bool OnFile(void*, const char*, PackFileStream* stream) {
  if (stream != nullptr) ReadThrough(stream);
  return true;
}
bool OnHash(void*, uint32_t, uint32_t) { return true; }
bool OnBlock(void*, uint32_t, uint32_t, uint32_t) { return true; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = fuzzing::ScratchPath("read.pak");
  std::string file = fuzzing::ExpandPackInput(data, size);
  fuzzing::WriteBytesOrDie(path, reinterpret_cast<const uint8_t*>(file.data()), file.size());
  std::unique_ptr<PackArchive> archive = NewPackArchive();
  if (!archive->Open(path.c_str(), true)) return 0;
  std::vector<PackSlotInfo> slots;
  if (ListPackSlots(*archive, &slots)) {
    for (const PackSlotInfo& slot : slots) {
      PackFileStream* stream = OpenPackSlot(*archive, slot.slot);
      if (stream == nullptr) continue;
      ReadThrough(stream);
      stream->Release();
    }
  }
  archive->Verify(nullptr, &OnFile, &OnHash, &OnBlock);
  archive->Close();
  return 0;
}
