// The process's codec registry and its three codecs.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "base/codec.h"
#include "base/codec_file.h"
#include "base/codec_format.h"
#include "base/error.h"

namespace qlmr {
namespace {

class StandardCodecRegistry final : public CodecRegistry {
 public:
  StandardCodecRegistry() {
    static const MaskCodec mask_codec;
    static const LzoCodec lzo_codec;
    static const LzmaCodec lzma_codec;
    Register(&mask_codec);
    Register(&lzo_codec);
    Register(&lzma_codec);
  }

  bool Register(const Codec* codec) override {
    if (codec == nullptr) {
      ReportError(ERR_INVALID, "");
      return false;
    }
    for (const Codec* known : codecs_) {
      if (known->TypeId() == codec->TypeId()) {
        ReportError(ERR_DUPLICATE, "compresType=%d", codec->TypeId());
        return false;
      }
    }
    codecs_.push_back(codec);
    return true;
  }

  int32_t Count() const override { return static_cast<int32_t>(codecs_.size()); }

  const Codec* GetAt(int32_t index) const override {
    if (index < 0 || index >= Count()) {
      ReportError(ERR_INVALID, "");
      return nullptr;
    }
    return codecs_[index];
  }

  const Codec* Find(int32_t type) const override {
    for (const Codec* codec : codecs_) {
      if (codec->TypeId() == type) return codec;
    }
    ReportError(ERR_INVALID, "");
    return nullptr;
  }

  bool EncodeFile(const Codec* codec, const char* source, const char* destination,
                  uint32_t* sourceSize, const uint8_t* header, uint32_t headerLength,
                  bool appendCrc, uint32_t* encodedLength) const override {
    return EncodeCodecFile(codec, source, destination, sourceSize, header, headerLength, appendCrc,
                           encodedLength);
  }

  bool DecodeFile(const Codec* codec, const char* source, const char* destination,
                  uint32_t dataOffset, uint32_t decodedSize) const override {
    return DecodeCodecFile(codec, source, destination, dataOffset, decodedSize);
  }

 private:
  std::vector<const Codec*> codecs_;  // not owned: the codecs live for the process
};

}  // namespace

CodecRegistry& GetCodecRegistry() {
  static StandardCodecRegistry registry;
  return registry;
}

bool EncodeToBuffer(const Codec& codec, const uint8_t* data, uint32_t length,
                    std::vector<uint8_t>* encoded) {
  uint32_t capacity = std::max({codec.MaxEncodedSize(length), length, 1u});
  try {
    encoded->assign(capacity, 0);
  } catch (const std::bad_alloc&) {
    ReportError(ERR_NO_MEMORY, "Size=%d", static_cast<int>(capacity));
    return false;
  }
  if (length > 0) memcpy(encoded->data(), data, length);
  uint32_t size = length;
  if (!codec.Encode(encoded->data(), capacity, &size)) return false;
  encoded->resize(size);
  return true;
}

uint32_t EncodeTryCount(const Codec& codec) {
  return dynamic_cast<const LzmaCodec*>(&codec) != nullptr ? LzmaCodec::kEncodeTries : 1;
}

uint64_t EncodeTryMemory(const Codec& codec, uint32_t length) {
  if (const auto* lzma = dynamic_cast<const LzmaCodec*>(&codec)) {
    return lzma->EncodeTryMemory(length);
  }
  // The buffer EncodeToBuffer grows, and a scratch copy and work area of the
  // same order inside the codec.
  uint64_t bound = std::max({codec.MaxEncodedSize(length), length, 1u});
  return 2 * bound + (codec.TypeId() == COMPRESS_LZO ? kLzoWorkMemorySize : 0);
}

bool RunEncodeTry(const Codec& codec, uint32_t index, const uint8_t* data, uint32_t length,
                  const std::atomic<bool>* cancel, std::vector<uint8_t>* encoded) {
  if (const auto* lzma = dynamic_cast<const LzmaCodec*>(&codec)) {
    return lzma->EncodeTry(index, data, length, cancel, encoded);
  }
  return EncodeToBuffer(codec, data, length, encoded);
}

uint32_t ChooseEncodeTry(const Codec& codec, const std::vector<uint8_t>* const* forms) {
  if (dynamic_cast<const LzmaCodec*>(&codec) == nullptr) return 0;
  return LzmaCodec::ChosenTry(static_cast<uint32_t>(forms[0]->size()),
                              static_cast<uint32_t>(forms[1]->size()));
}

}  // namespace qlmr
