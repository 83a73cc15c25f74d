// qlmr_release_gen OUT [SCALE]: two installations of the game, OUT/old and
// OUT/new, the size of a real release and shaped like one, for measuring the
// release tools and the updater on it: `qlmr-patchkit diff OUT/old OUT/new`
// gives a patch of about 1,600 entries, 1,300 of them pack-bound LZMA
// (type 3) writes holding some 270 MB, over installations of about 250 MB.
// SCALE (default 1) shrinks or grows every file, not their number: the
// entries stay as many. The same arguments always give the same bytes.
//
// Each tree holds the version file, x86 programs and libraries, text
// configuration files, a large media file that stays the same, and four pack
// archives of stored files of all four types (mostly LZMA), each with its
// list file. NEW changes most stored files and many loose files, adds and
// deletes a few of each.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/codec.h"
#include "base/crc.h"
#include "base/error.h"
#include "base/file_util.h"
#include "base/path.h"
#include "base/platform.h"
#include "bench/bench_util.h"
#include "pack/pack_archive.h"
#include "pack/pack_list_file.h"

namespace {

using namespace qlmr;

[[noreturn]] void Die(const std::string& what) {
  fprintf(stderr, "qlmr_release_gen: %s\n", what.c_str());
  exit(1);
}

// Bytes shaped like compiled 32-bit x86 code: instructions with relative
// calls and jumps, whose targets the x86 filter turns absolute.
std::string X86Code(std::mt19937* engine, size_t size) {
  static const uint8_t kOpcodes[] = {0x55, 0x8B, 0x89, 0x83, 0x50, 0x53, 0x56, 0x57,
                                     0x5D, 0xC3, 0x33, 0x85, 0x74, 0x75, 0x8D, 0x6A};
  std::string code;
  code.reserve(size + 8);
  while (code.size() < size) {
    uint32_t pick = (*engine)() % 16;
    if (pick < 3) {
      code += static_cast<char>(pick == 0 ? 0xE8 : 0xE9);  // call / jmp rel32
      uint32_t target = (*engine)() % 65536 - 32768;
      for (int i = 0; i < 4; ++i) code += static_cast<char>(target >> (8 * i));
    } else {
      code += static_cast<char>(kOpcodes[(*engine)() % sizeof kOpcodes]);
      code += static_cast<char>(0xC0 + (*engine)() % 8);
    }
  }
  code.resize(size);
  return code;
}

std::string Noise(std::mt19937* engine, size_t size) {
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>((*engine)() & 0xFF);
  return bytes;
}

// A size between `low` and `high`, evenly spread on a logarithmic scale, as
// game files are.
size_t LogSize(std::mt19937* engine, double low, double high) {
  std::uniform_real_distribution<double> exponent(std::log(low), std::log(high));
  return static_cast<size_t>(std::exp(exponent(*engine)));
}

struct StoredFile {
  std::string name;
  uint8_t type = COMPRESS_LZMA;
  std::string content;  // dropped once encoded
  uint32_t contentSize = 0;
  uint32_t crc = 0;
  std::string stored;  // encoded with `type`
};

struct Archive {
  std::string name;
  std::vector<StoredFile> files;
};

struct Tree {
  std::map<std::string, std::string> looseFiles;  // path below the root -> content
  std::vector<Archive> archives;
};

// Runs `work(i)` for i < count on every processor.
void ForEachOnEveryProcessor(size_t count, const std::function<void(size_t)>& work) {
  std::atomic<size_t> next{0};
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < UsableProcessorCount(); ++t) {
    threads.emplace_back([&] {
      for (size_t i = next++; i < count; i = next++) work(i);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

void EncodeAll(Tree* tree) {
  std::vector<StoredFile*> files;
  for (Archive& archive : tree->archives) {
    for (StoredFile& file : archive.files) files.push_back(&file);
  }
  ForEachOnEveryProcessor(files.size(), [&](size_t i) {
    StoredFile& file = *files[i];
    file.contentSize = static_cast<uint32_t>(file.content.size());
    BufferCrc(file.content.data(), file.contentSize, &file.crc);
    if (file.type == COMPRESS_NONE) {
      file.stored = std::move(file.content);
      return;
    }
    std::vector<uint8_t> encoded;
    const Codec* codec = GetCodecRegistry().Find(file.type);
    if (!EncodeToBuffer(*codec, reinterpret_cast<const uint8_t*>(file.content.data()),
                        file.contentSize, &encoded)) {
      Die("cannot encode " + file.name + ": " + LastErrorMessage());
    }
    file.stored.assign(encoded.begin(), encoded.end());
    std::string().swap(file.content);
  });
}

void WriteTree(const Tree& tree, const std::string& root) {
  for (const auto& file : tree.looseFiles) {
    bench::WriteFileOrExit(JoinPath(root, file.first), file.second);
  }
  for (const Archive& archive : tree.archives) {
    std::string path = JoinPath(root, archive.name);
    CreateFolderChain(PathFolder(path).c_str());
    auto pack = NewPackArchive();
    if (!pack->Create(path.c_str())) Die("cannot create " + path);
    PackListFile list;
    for (const StoredFile& file : archive.files) {
      if (!pack->AddFile(file.stored.data(), static_cast<uint32_t>(file.stored.size()),
                         file.name.c_str(), true, false, file.type, file.contentSize)) {
        Die("cannot store " + file.name + ": " + LastErrorMessage());
      }
      list.Put({file.name, file.contentSize, file.crc});
    }
    std::string text = list.Serialize();
    if (!pack->AddFile(text.data(), static_cast<uint32_t>(text.size()), kPackListFileName, true,
                       false, COMPRESS_NONE, 0) ||
        !pack->Close()) {
      Die("cannot finish " + path);
    }
  }
}

class Generator {
 public:
  explicit Generator(double scale) : scale_(scale), engine_(20261210) {}

  void Make(Tree* old, Tree* now) {
    MakeLoose(old, now);
    static const char* const kArchives[] = {"data\\item.pak", "data\\map.pak", "data\\ui.pak",
                                            "data\\effect.pak"};
    for (const char* name : kArchives) MakeArchive(name, old, now);
  }

 private:
  size_t Size(double n) const { return std::max<size_t>(1, static_cast<size_t>(n * scale_)); }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(engine_) < p; }

  std::string Content(bool code, size_t size) {
    return code ? X86Code(&engine_, size) : bench::GameLikeContent(&engine_, size);
  }

  void MakeLoose(Tree* old, Tree* now) {
    old->looseFiles[".ver"] = "CN|00000.00551.00065";
    now->looseFiles[".ver"] = "CN|00000.00551.00066";
    // A media file that every version shares: large, and incompressible.
    std::string media = Noise(&engine_, Size(100u << 20));
    old->looseFiles["media\\intro.dat"] = media;
    now->looseFiles["media\\intro.dat"] = media;
    old->looseFiles["qlmr.exe"] = Content(true, Size(6u << 20));
    now->looseFiles["qlmr.exe"] = Content(true, Size(6u << 20));
    for (size_t i = 0; i < 250; ++i) {
      bool code = i % 3 == 0;
      std::string name =
          code ? "bin\\module" + std::to_string(i) + ".dll"
               : "config\\set" + std::to_string(i % 10) + "\\option" + std::to_string(i) + ".cfg";
      std::string content = Content(code, Size(LogSize(&engine_, 500, code ? 600000 : 60000)));
      if (!Chance(0.03)) old->looseFiles[name] = content;  // else added in NEW
      if (Chance(0.02)) continue;                          // gone in NEW
      now->looseFiles[name] = Chance(0.6) ? Content(code, content.size() + 100) : content;
    }
  }

  void MakeArchive(const char* name, Tree* old, Tree* now) {
    Archive before{name, {}};
    Archive after{name, {}};
    for (size_t i = 0; i < 420; ++i) {
      StoredFile file;
      file.name = "res\\" + std::to_string(i % 40) + "\\asset" + std::to_string(i) + ".bin";
      uint32_t kind = engine_() % 100;
      file.type = kind < 86   ? COMPRESS_LZMA
                  : kind < 92 ? COMPRESS_LZO
                  : kind < 96 ? COMPRESS_MASK
                              : COMPRESS_NONE;
      bool code = engine_() % 4 == 0;
      file.content = Content(code, Size(LogSize(&engine_, 8 << 10, 1 << 20)));
      before.files.push_back(file);
      if (Chance(0.02)) continue;  // deleted
      if (Chance(0.9)) file.content = Content(code, file.content.size() + engine_() % 4096);
      after.files.push_back(file);
    }
    for (size_t i = 0; i < 8; ++i) {
      StoredFile file;
      file.name = "res\\added" + std::to_string(i) + ".bin";
      file.content = Content(false, Size(LogSize(&engine_, 8 << 10, 1 << 20)));
      after.files.push_back(file);
    }
    old->archives.push_back(std::move(before));
    now->archives.push_back(std::move(after));
  }

  double scale_;
  std::mt19937 engine_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: qlmr_release_gen OUT [SCALE]\n");
    return 2;
  }
  std::string out = argv[1];
  double scale = argc == 3 ? atof(argv[2]) : 1.0;
  if (!(scale > 0)) Die("SCALE must be above 0");
  Tree old;
  Tree now;
  Generator(scale).Make(&old, &now);
  GetCodecRegistry();  // made once, before the threads use it
  EncodeAll(&old);
  WriteTree(old, JoinPath(out, "old"));
  old = Tree();
  EncodeAll(&now);
  WriteTree(now, JoinPath(out, "new"));
  return 0;
}
