#include "tests/support/test_util.h"

#ifdef _WIN32
#include <windows.h>
#endif
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"

namespace qlmr {
namespace testing_support {

TempDir::TempDir() {
  // Made in one step under a random name: threads of one test make them at
  // once (each tool run makes one for its streams), and a file made, removed
  // and made again as a folder could be taken by the other in between.
  std::string file;
  if (!MakePrivateFolder(TempFolderPath().c_str(), "qlt", &file)) {
    fprintf(stderr, "cannot make a temporary folder\n");
    abort();
  }
  path_ = file;
}

TempDir::~TempDir() {
  RemoveFolderContents(path_.c_str());
  RemoveEmptyFolder(path_.c_str());
}

std::string TempDir::Join(const std::string& name) const { return JoinPath(path_, name); }

CurrentFolderScope::CurrentFolderScope(const std::string& folder) {
  char buffer[4096];
  if (getcwd(buffer, sizeof buffer) == nullptr ||
      chdir(RuntimeFileName(folder.c_str()).c_str()) != 0) {
    fprintf(stderr, "cannot change to %s\n", folder.c_str());
    abort();
  }
  previous_ = buffer;
}

CurrentFolderScope::~CurrentFolderScope() {
  if (chdir(previous_.c_str()) != 0) {
    fprintf(stderr, "cannot change back to %s\n", previous_.c_str());
    abort();
  }
}

std::vector<Spelling> SpellingsOfOneFile(const TempDir& dir, const std::string& name) {
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  std::vector<Spelling> spellings = {
      {"through the current folder", "./" + name},
      {"through the current folder, backslash", ".\\" + name},
      {"plain", name},
      {"another letter case", upper},
      {"absolute", dir.Join(name)},
  };
#ifndef _WIN32
  std::string symbolic = "symlink-" + name;
  std::string hard = "hardlink-" + name;
  if (symlink(name.c_str(), symbolic.c_str()) != 0 || link(name.c_str(), hard.c_str()) != 0) {
    fprintf(stderr, "cannot link %s\n", name.c_str());
    abort();
  }
  spellings.push_back({"symbolic link", symbolic});
  spellings.push_back({"hard link", hard});
#endif
  return spellings;
}

bool MakeLink(const std::string& link, const std::string& target, LinkKind kind) {
#ifdef _WIN32
  auto wide = [](const std::string& path) {
    std::wstring text(path.size() + 1, L'\0');
    int n = MultiByteToWideChar(936, 0, path.c_str(), -1, &text[0], static_cast<int>(text.size()));
    text.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return text;
  };
  if (kind == LinkKind::kHard) {
    return CreateHardLinkW(wide(link).c_str(), wide(target).c_str(), nullptr) != 0;
  }
  // Without the privilege, developer mode may still allow it.
  constexpr DWORD kAllowUnprivileged = 0x2;
  DWORD flags = kAllowUnprivileged;
  if (IsFolder(target.c_str())) flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
  return CreateSymbolicLinkW(wide(link).c_str(), wide(target).c_str(), flags) != 0;
#else
  std::string from = RuntimeFileName(target.c_str());
  std::string at = RuntimeFileName(link.c_str());
  return (kind == LinkKind::kHard ? ::link(from.c_str(), at.c_str())
                                  : symlink(from.c_str(), at.c_str())) == 0;
#endif
}

namespace {

void Snapshot(const std::string& root, const std::string& prefix,
              std::map<std::string, std::string>* tree) {
  std::vector<FolderEntry> entries;
  ListFolder(JoinPath(root, prefix).c_str(), &entries);
  for (const FolderEntry& entry : entries) {
    std::string name = prefix.empty() ? entry.name : prefix + "\\" + entry.name;
    if (entry.isFolder) {
      (*tree)[name + "\\"] = "";
      Snapshot(root, name, tree);
    } else {
      (*tree)[name] = ReadFileOrEmpty(JoinPath(root, name));
    }
  }
}

}  // namespace

std::map<std::string, std::string> SnapshotTree(const std::string& root) {
  std::map<std::string, std::string> tree;
  Snapshot(root, "", &tree);
  return tree;
}

void WriteFileOrDie(const std::string& path, const std::string& content) {
  std::string folder = PathFolder(path);
  if (!folder.empty()) CreateFolderChain(folder.c_str());
  File file;
  if (!file.Open(path.c_str(), FileMode::kCreate) ||
      !file.Write(content.data(), static_cast<uint32_t>(content.size()))) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    abort();
  }
}

std::string ReadFileOrEmpty(const std::string& path, bool* ok) {
  File file;
  uint64_t size = 0;
  std::string content;
  bool good = file.Open(path.c_str(), FileMode::kRead) && file.Size(&size);
  if (good) {
    content.resize(size);
    uint32_t got = 0;
    good = file.Read(&content[0], static_cast<uint32_t>(size), &got) && got == size;
  }
  if (ok != nullptr) *ok = good;
  return good ? content : std::string();
}

void CopyTreeOrDie(const std::string& from, const std::string& to) {
  CreateFolderChain(to.c_str());
  std::vector<FolderEntry> entries;
  if (!ListFolder(from.c_str(), &entries)) abort();
  for (const FolderEntry& entry : entries) {
    std::string source = JoinPath(from, entry.name);
    std::string target = JoinPath(to, entry.name);
    if (entry.isFolder) {
      CopyTreeOrDie(source, target);
    } else if (!CopyFileReplace(source.c_str(), target.c_str())) {
      fprintf(stderr, "cannot copy %s\n", source.c_str());
      abort();
    }
  }
}

std::string RandomBytes(uint32_t seed, size_t length) {
  std::mt19937 engine(seed);
  std::string bytes(length, '\0');
  for (char& c : bytes) c = static_cast<char>(engine() & 0xFF);
  return bytes;
}

}  // namespace testing_support
}  // namespace qlmr
