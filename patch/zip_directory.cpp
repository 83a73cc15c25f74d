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

std::unique_ptr<ZipEntryReader> ZipDirectory::OpenEntry(const char* name) {
  if (!indexed_) {
    indexed_ = true;
    std::vector<std::string> names;
    if (ListEntryNames(&names)) {
      index_.reserve(names.size());
      // emplace keeps the first of several entries with one key.
      for (size_t i = 0; i < names.size(); ++i) index_.emplace(ZipLookupKey(names[i]), i);
    }
  }
  auto found = index_.find(ZipLookupKey(name == nullptr ? "" : name));
  if (found == index_.end()) return nullptr;
  return OpenEntryAt(found->second);
}

}  // namespace qlmr
