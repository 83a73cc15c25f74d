// Shared by every zip reader backend: undoing a container's byte form.
#include <cstdint>

#include "base/mask.h"
#include "patch/zip_reader.h"

namespace qlmr {

void UnmaskContainerBytes(ZipByteForm form, uint64_t position, void* data, size_t length) {
  uint8_t* bytes = static_cast<uint8_t*>(data);
  switch (form) {
    case ZipByteForm::kPlain:
      return;
    case ZipByteForm::kInverted:
      for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(~bytes[i]);
      return;
    case ZipByteForm::kMasked:
      // The mask depends on the low 8 bits of the position only.
      MaskBuffer(bytes, length, static_cast<uint32_t>(position));
      return;
  }
}

}  // namespace qlmr
