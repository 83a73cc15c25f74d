// Installations described in memory, written to disk and compared with what
// is on disk: loose files, and pack archives by their stored files. Also a
// generator of releases, each a random change of the one before. For the
// tests of the release tools. Failures to write a fixture abort the binary.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>

#include "base/file_util.h"
#include "pack/pack_archive.h"

namespace qlmr {
namespace testing_support {

struct StoredModel {
  uint8_t type = 0;
  std::string content;
};

struct ArchiveModel {
  bool withList = true;
  uint8_t listType = 0;
  std::map<std::string, StoredModel> files;  // by the name as written
};

struct TreeModel {
  std::map<std::string, std::string> loose;  // ".ver" among them
  std::map<std::string, ArchiveModel> archives;
};

// `content` as a pack archive stores it under compression `type`.
std::string Encoded(uint8_t type, const std::string& content);
// The list file of an archive of `archive`'s files.
std::string ListText(const ArchiveModel& archive);
// Stores `content` under `name` with `type` in an open archive.
void AddOrDie(PackArchive& archive, const std::string& name, uint8_t type,
              const std::string& content);
void WriteArchiveOrDie(const std::string& path, const ArchiveModel& model);
void WriteTreeOrDie(const TreeModel& tree, const std::string& root);

// Adds test failures, labelled `what`, where the installation at `root` is
// not the one `want` describes: its loose names, loose files byte for byte,
// archives by their stored files, types, contents and list file.
void ExpectInstallation(const std::string& root, const TreeModel& want, const std::string& what);

// How many generated cases a property test tries: the positive number in the
// environment variable `name` (scripts/diff-property.sh sets it for longer
// runs), else `fallback`; and the seed of the first, from QLMR_DIFF_SEED.
int GeneratedCaseCount(const char* name, int fallback);
uint32_t FirstGeneratedSeed();

// Random installations and releases of them: loose files and archives, and
// per release files changed, gone, added, renamed in case, stored under
// another type, archives removed and added.
class ReleaseGenerator {
 public:
  explicit ReleaseGenerator(uint32_t seed) : rng_(seed) {}

  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

  // Text-like content (every codec can store it) or, for the types that do
  // not need it to shrink, random bytes. Type 3 content is long enough to shrink.
  std::string Content(uint8_t type) {
    static const char* const kWords[] = {
        "sword ", "shield ", "\xB5\xD8\xCD\xBC ", "potion ", "0x1F ", "\r\n", "castle "};
    size_t length = Below(5) == 0 ? Below(40) : Below(3000);
    if (type != 0 && length == 0) length = 1;
    if (type == 3 && length < 200) length = 200;  // LZMA must shrink it
    std::string content;
    if (type != 3 && Below(3) == 0) {
      for (size_t i = 0; i < length; ++i) content += static_cast<char>(Below(256));
      return content;
    }
    while (content.size() < length) content += kWords[Below(7)];
    content.resize(length);
    return content;
  }

  std::string Name(const char* extension) {
    static const char* const kFolders[] = {"", "bin\\", "Data\\", "data\\map\\",
                                           "\xD6\xD0\xCE\xC4\\"};
    static const char* const kStems[] = {"item", "Icon", "\xB5\xD8\xCD\xBC", "readme", "x"};
    return std::string(kFolders[Below(5)]) + kStems[Below(5)] + std::to_string(Below(1000)) +
           extension;
  }

  // The same name with the case of its ASCII letters changed.
  std::string Recased(const std::string& name) {
    std::string result = name;
    for (size_t i = 0; i < result.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(result[i]);
      if (c >= 0x81 && c <= 0xFE) {
        ++i;  // both bytes of a double-byte character stay
      } else if (isalpha(c) && Below(2) == 0) {
        result[i] = static_cast<char>(isupper(c) ? tolower(c) : toupper(c));
      }
    }
    return result;
  }

  ArchiveModel Archive(bool withList) {
    ArchiveModel archive;
    archive.withList = withList;
    archive.listType = static_cast<uint8_t>(Below(3));  // a short list would not shrink
    uint32_t count = 2 + Below(10);
    for (uint32_t i = 0; i < count; ++i) PutStored(&archive, StoredName());
    return archive;
  }

  std::string StoredName() {
    // A stored name may hold a double-byte character whose trail byte is a
    // backslash; it never reaches the disk.
    return Below(6) == 0 ? "\x95\x5C" + Name(".bin") : Name(Below(2) == 0 ? ".tga" : ".dat");
  }

  void PutStored(ArchiveModel* archive, const std::string& name) {
    if (HasKey(archive->files, name)) return;
    uint8_t type = static_cast<uint8_t>(Below(4));
    archive->files[name] = {type, Content(type)};
  }

  template <typename Map>
  static bool HasKey(const Map& map, const std::string& name) {
    for (const auto& item : map) {
      if (NormalizeName(item.first) == NormalizeName(name)) return true;
    }
    return false;
  }

  // A first release at `version`.
  TreeModel Old(const std::string& version = "CN.0.551.065") {
    TreeModel tree;
    tree.loose[".ver"] = version;
    uint32_t count = 4 + Below(10);
    for (uint32_t i = 0; i < count; ++i) PutLoose(&tree, Name(".txt"));
    for (uint32_t i = 0; i < 3; ++i) {
      std::string name = Name(".pak");
      if (!HasKey(tree.archives, name) && !HasKey(tree.loose, name)) {
        tree.archives[name] = Archive(i != 0);  // the first has no list file
      }
    }
    return tree;
  }

  void PutLoose(TreeModel* tree, const std::string& name) {
    if (HasKey(tree->loose, name) || HasKey(tree->archives, name)) return;
    tree->loose[name] = Content(0);
  }

  // The release after `old`, at `version`.
  TreeModel New(const TreeModel& old, const std::string& version = "CN.0.551.066") {
    TreeModel tree;
    tree.loose[".ver"] = version;
    for (const auto& file : old.loose) {
      if (file.first == ".ver") continue;
      switch (Below(7)) {
        case 0:  // gone
          break;
        case 1:  // changed: shorter or longer
          tree.loose[file.first] = Below(2) == 0 ? file.second.substr(0, file.second.size() / 2)
                                                 : file.second + Content(0);
          break;
        case 2:  // only the case changed
          tree.loose[Recased(file.first)] = file.second;
          break;
        case 3:  // case and content changed
          tree.loose[Recased(file.first)] = Content(0);
          break;
        default:
          tree.loose[file.first] = file.second;
      }
    }
    for (uint32_t i = Below(3); i > 0; --i) PutLoose(&tree, Name(".txt"));
    bool removed = false;
    for (const auto& archive : old.archives) {
      if (!removed && archive.second.withList && Below(3) == 0) {
        removed = true;  // an archive removed
        continue;
      }
      std::string name = Below(4) == 0 ? Recased(archive.first) : archive.first;
      tree.archives[name] = Mutated(archive.second);
    }
    std::string added = Name(".pak");
    if (!HasKey(tree.archives, added) && !HasKey(tree.loose, added)) {
      tree.archives[added] = Archive(true);
    }
    return tree;
  }

  ArchiveModel Mutated(const ArchiveModel& old) {
    ArchiveModel archive;
    archive.withList = old.withList;
    archive.listType = Below(4) == 0 ? static_cast<uint8_t>(Below(3)) : old.listType;
    for (const auto& file : old.files) {
      const StoredModel& stored = file.second;
      switch (Below(8)) {
        case 0:  // gone
          break;
        case 1: {  // shrinks or grows
          std::string content = Content(stored.type);
          archive.files[file.first] = {stored.type, content};
          break;
        }
        case 2: {  // another type, the same content where that type can hold it
          uint8_t type = static_cast<uint8_t>((stored.type + 1 + Below(3)) % 4);
          archive.files[file.first] = {type, type == 3 ? Content(3) : stored.content};
          break;
        }
        case 3:  // only the case changed
          archive.files[Recased(file.first)] = stored;
          break;
        default:
          archive.files[file.first] = stored;
      }
    }
    for (uint32_t i = Below(4); i > 0; --i) PutStored(&archive, StoredName());
    return archive;
  }

 private:
  std::mt19937 rng_;
};

}  // namespace testing_support
}  // namespace qlmr
