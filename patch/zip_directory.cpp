// The lookup index every zip reader backend shares.
#include "patch/zip_reader.h"

namespace qlmr {

std::string ZipLookupKey(const std::string& name) {
  std::string key = name;
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '\\') c = '/';
  }
  return key;
}

void ZipDirectory::Index() {
  if (indexed_) return;
  indexed_ = true;
  if (!ListEntries(&entries_)) {
    entries_.clear();
    return;
  }
  index_.reserve(entries_.size());
  // emplace keeps the first of several entries with one key.
  for (size_t i = 0; i < entries_.size(); ++i) index_.emplace(ZipLookupKey(entries_[i].name), i);
}

const std::vector<ZipEntryInfo>& ZipDirectory::Entries() {
  Index();
  return entries_;
}

const ZipEntryInfo* ZipDirectory::FindEntry(const char* name) {
  Index();
  auto found = index_.find(ZipLookupKey(name == nullptr ? "" : name));
  return found == index_.end() ? nullptr : &entries_[found->second];
}

std::unique_ptr<ZipEntryReader> ZipDirectory::OpenEntry(const ZipEntryInfo& entry) {
  Index();
  if (entries_.empty() || &entry < entries_.data() || &entry >= entries_.data() + entries_.size()) {
    return nullptr;  // not an entry of this directory
  }
  return OpenEntryAt(static_cast<size_t>(&entry - entries_.data()));
}

std::unique_ptr<ZipEntryReader> ZipDirectory::OpenEntry(const char* name) {
  const ZipEntryInfo* entry = FindEntry(name);
  return entry == nullptr ? nullptr : OpenEntry(*entry);
}

}  // namespace qlmr
