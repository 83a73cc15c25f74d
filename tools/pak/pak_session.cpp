#include "tools/pak/pak_session.h"

#include <cstdio>

#include "base/codec.h"
#include "base/error.h"
#include "base/platform.h"
#include "pack/pack_format.h"
#include "tools/failure.h"
#include "tools/tool_support.h"

namespace qlmr {
namespace tools {

int FailArchive(const std::string& action, const std::string& archive) {
  if (LastErrorCode() == ERR_MODE) {
    std::string cause =
        "it is open for writing, or a write to it was interrupted; when no write is running, '" +
        ProgramName() + " repair " + ShownPath(archive) + "' closes it";
    return Fail(action, archive, cause.c_str());
  }
  if (LastErrorCode() == ERR_VERSION) {
    return Fail(action, archive,
                "it is not a pack archive, or one of a format this tool does not know");
  }
  if (LastErrorCode() == ERR_READ && SystemErrorInMessage(LastErrorMessage()) == 0) {
    return Fail(action, archive,
                "it ends before its header and tables do: it is no pack archive, or a cut one");
  }
  if (LastErrorCode() == ERR_NOT_FOUND) {
    // The message is the stored name alone.
    std::string cause = "it stores no file '" + ShownPath(LastErrorMessage()) + "'";
    return Fail(action, archive, cause.c_str());
  }
  return Fail(action, archive);
}

bool ReadStoredText(PackArchive& archive, const char* name, std::string* text) {
  PackFileStream* stream = archive.OpenFile(name);
  if (stream == nullptr) return false;
  text->assign(stream->GetSize(), '\0');
  uint32_t got = text->empty() ? 0 : stream->Read(&(*text)[0], stream->GetSize());
  stream->Release();
  return got == text->size();
}

bool ReadSession::Open(const std::string& path) {
  if (!input_.Open(path) || !archive_->Open(input_.path().c_str(), true)) return false;
  listed_.assign(kPackHashSlotCount, nullptr);
  const char* listName = archive_->GetListFileName();
  if (archive_->HasFile(listName)) {
    listSlot_ = FindPackSlot(*archive_, listName);
    std::string text;
    if (!ReadStoredText(*archive_, listName, &text)) return false;
    list_.Parse(text);
    for (const auto& keyed : list_.entries()) {
      int32_t slot = FindPackSlotOfKey(*archive_, keyed.first);
      if (slot >= 0) listed_[static_cast<uint32_t>(slot)] = &keyed.second;
    }
  }
  return ListPackSlots(*archive_, &slots_);
}

const PackListEntry* ReadSession::ListedAt(uint32_t slot) const {
  return slot < listed_.size() ? listed_[slot] : nullptr;
}

std::string ReadSession::NameOf(const PackSlotInfo& info) const {
  if (IsListFile(info.slot)) return kPackListFileName;
  const PackListEntry* listed = ListedAt(info.slot);
  if (listed != nullptr) return listed->name;
  char text[40];
  snprintf(text, sizeof text, "#%u/%08X/%08X", info.slot, info.hash.hashA, info.hash.hashB);
  return text;
}

bool ReadSession::IsNamed(const PackSlotInfo& info) const {
  return IsListFile(info.slot) || ListedAt(info.slot) != nullptr;
}

uint64_t ReadSession::ContentBytes() const {
  uint64_t bytes = 0;
  for (const PackSlotInfo& info : slots_) bytes += info.hasBlock ? info.block.contentSize : 0;
  return bytes;
}

WriteSession::~WriteSession() {
  if (open_) archive_->Close();
}

bool WriteSession::Open(const std::string& path) {
  if (!archive_->Open(path.c_str(), false)) return false;
  open_ = true;
  return ReadList();
}

bool WriteSession::Create(const std::string& path) {
  if (!archive_->Create(path.c_str())) return false;
  open_ = true;
  return true;
}

bool WriteSession::ReadList() {
  if (!keepList_ || !archive_->HasFile(kPackListFileName)) return true;
  std::string text;
  if (!ReadStoredText(*archive_, kPackListFileName, &text)) return false;
  list_.Parse(text);
  // Without the blanks WriteList may have put after it.
  std::string title = list_.title();
  while (!title.empty() && title.back() == ' ') title.pop_back();
  list_.SetTitle(title.empty() ? "qlmr-pak list" : title);
  return true;
}

bool WriteSession::StoreBuffer(const std::string& name, const void* bytes, uint32_t length,
                               uint8_t type, uint32_t contentSize) {
  static const uint8_t kNothing = 0;
  return archive_->AddFile(length == 0 ? &kNothing : bytes, length, name.c_str(), true, false, type,
                           contentSize);
}

bool WriteSession::StoreFile(const std::string& name, const std::string& path) {
  return archive_->AddFile(path.c_str(), 0, name.c_str(), false, false, COMPRESS_NONE, 0);
}

bool WriteSession::Remove(const std::string& name) {
  if (!archive_->RemoveFile(name.c_str(), false)) return false;
  list_.Remove(name);
  return true;
}

bool WriteSession::WriteList() {
  if (!keepList_) return true;
  std::string text = list_.Serialize();
  // A stored file replaced in its own extent gets its bytes before its new
  // size, so a write cut off between the two would leave a list that reads
  // cut or with a stale tail, and the names it loses would be stored but
  // unlisted. Line 1 is free text: blanks after the title make the new list
  // either exactly as long as the old one (one write, nothing else
  // changes) or long enough to move to a new extent, which the archive
  // switches to whole or not at all.
  if (archive_->HasFile(kPackListFileName) &&
      archive_->GetCompressType(kPackListFileName) == COMPRESS_NONE) {
    uint32_t old = archive_->GetFileSize(kPackListFileName, true);
    if (text.size() != old && BlockExtent(static_cast<uint32_t>(text.size())) == BlockExtent(old)) {
      size_t length = text.size() < old ? old : BlockExtent(old) + 1;
      text.insert(text.find('\n'), length - text.size(), ' ');
    }
  }
  return archive_->AddFile(text.data(), static_cast<uint32_t>(text.size()), kPackListFileName, true,
                           true, COMPRESS_NONE, 0);
}

bool WriteSession::Close(bool ok, bool writeList) {
  KeptError first;
  if (writeList) {
    bool listed = WriteList();
    if (!ok && !listed) first.Restore();
    ok = ok && listed;
  }
  KeptError beforeClose;
  bool closed = archive_->Close();
  open_ = false;
  if (!ok) beforeClose.Restore();
  return ok && closed;
}

}  // namespace tools
}  // namespace qlmr
