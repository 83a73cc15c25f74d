// The fault seam of the platform layer (base/platform.h): tests arm it to
// count, fail or end the calls that change the disk. A library of its own,
// so that programs do not carry it.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/platform.h"
#include "base/platform_system.h"

namespace qlmr {
namespace {

// The unit in which a power cut keeps or loses unflushed data.
constexpr size_t kSectorSize = 512;

// One name per file whatever the letter case or separators.
std::string PathKey(const char* path) {
  std::string key = path == nullptr ? "" : path;
  for (char& c : key) {
    if (c == '\\') c = '/';
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

const char* ModelName(FaultModel model) {
  switch (model) {
    case FaultModel::kCount:
      return "count";
    case FaultModel::kFail:
      return "fail";
    case FaultModel::kCrash:
      return "crash";
    case FaultModel::kTornWrite:
      return "torn write";
    case FaultModel::kPowerCut:
      return "power cut";
  }
  return "?";
}

}  // namespace

class FaultSeam final : public FaultHooks {
 public:
  static FaultSeam& Get() {
    static FaultSeam seam;
    return seam;
  }

  void Arm(const FaultPlan& plan) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    plan_ = plan;
    calls_ = 0;
    fired_ = false;
    handles_.clear();
    dirty_.clear();
    SetFaultHooks(this);
  }

  void Disarm() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    SetFaultHooks(nullptr);
    handles_.clear();
    dirty_.clear();
  }

  uint64_t calls() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return calls_;
  }

  bool fired() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return fired_;
  }

  bool Open(File* file, const char* path, FileMode mode) override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    handles_.erase(file->handle_);
    if (CreatesFile(mode) && !Act(nullptr, nullptr, 0, nullptr)) return false;
    if (!file->SystemOpen(path, mode)) return false;
    if (mode == FileMode::kRead) return true;
    std::string key = PathKey(path);
    handles_[file->handle_] = Handle{key, path};
    // The truncation is durable: what the file held before is gone.
    if (CreatesFile(mode)) Truncated(key);
    return true;
  }

  bool Close(File* file) override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    handles_.erase(file->handle_);
    return file->SystemClose();
  }

  bool Write(File* file, const void* buffer, uint32_t length, const uint64_t* position) override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!Act(file, buffer, length, position)) return false;
    if (plan_.model == FaultModel::kPowerCut) MarkDirty(file);
    return position == nullptr ? file->SystemWrite(buffer, length)
                               : file->SystemWriteAt(*position, buffer, length);
  }

  bool Flush(File* file) override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!Act(nullptr, nullptr, 0, nullptr)) return false;
    if (!file->SystemFlush()) return false;
    auto handle = handles_.find(file->handle_);
    if (handle != handles_.end()) dirty_.erase(handle->second.key);
    return true;
  }

  bool Pass() override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return Act(nullptr, nullptr, 0, nullptr);
  }

  void Removed(const char* path) override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    dirty_.erase(PathKey(path));
  }

  void FolderEmptied(const char* path) override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::string prefix = PathKey(path);
    if (!prefix.empty() && prefix.back() != '/') prefix += '/';
    for (auto it = dirty_.lower_bound(prefix);
         it != dirty_.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
      it = dirty_.erase(it);
    }
  }

  void Moved(const char* from, const char* to) override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::string fromKey = PathKey(from);
    std::string toKey = PathKey(to);
    auto moved = dirty_.find(fromKey);
    if (moved != dirty_.end()) {
      Dirty entry = moved->second;
      entry.path = to;
      dirty_.erase(moved);
      dirty_[toKey] = entry;
    } else {
      dirty_.erase(toKey);
    }
    // An open handle follows its file.
    for (auto& handle : handles_) {
      if (handle.second.key == fromKey) handle.second = Handle{toKey, to};
    }
  }

  // Every file system that holds one of `paths` is flushed whole.
  void MadeDurable(const std::vector<std::string>& paths) override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::set<size_t> flushed;
    for (const std::string& path : paths) flushed.insert(FileSystemOf(PathKey(path.c_str())));
    for (auto it = dirty_.begin(); it != dirty_.end();) {
      it = flushed.count(FileSystemOf(it->first)) != 0 ? dirty_.erase(it) : std::next(it);
    }
  }

  void Copied(const char* to) override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (plan_.model != FaultModel::kPowerCut) return;
    dirty_[PathKey(to)] = Dirty{to, std::string()};
  }

 private:
  struct Handle {
    std::string key;
    std::string path;
  };
  // A file with data written since its last flush, and what it held then.
  struct Dirty {
    std::string path;
    std::string durable;
  };

  // Counts one call and acts on it if it is the planned one. False: the call
  // fails, with the system error set. Does not return when the process ends.
  bool Act(File* file, const void* buffer, uint32_t length, const uint64_t* position) {
    ++calls_;
    if (plan_.model == FaultModel::kCount || fired_ || calls_ != plan_.at) return true;
    fired_ = true;
    fprintf(stderr, "fault seam: %s at call %llu, seed %u\n", ModelName(plan_.model),
            static_cast<unsigned long long>(calls_), plan_.seed);
    switch (plan_.model) {
      case FaultModel::kFail:
        SetLastSystemError(SystemErrorFor(plan_.error));
        return false;
      case FaultModel::kTornWrite:
        if (file != nullptr && length > 1) {
          uint32_t prefix = length / 2;
          if (position == nullptr) {
            file->SystemWrite(buffer, prefix);
          } else {
            file->SystemWriteAt(*position, buffer, prefix);
          }
        }
        break;
      case FaultModel::kPowerCut:
        CutPower();
        break;
      default:
        break;
    }
    fflush(stderr);
    std::_Exit(plan_.exitCode);
  }

  // The file system that holds `key`: 0 for the one that holds everything,
  // or 1 + the index of the innermost of the plan's separate folders that
  // holds it.
  size_t FileSystemOf(const std::string& key) const {
    size_t found = 0;
    size_t foundLength = 0;
    for (size_t i = 0; i < plan_.separateFileSystems.size(); ++i) {
      std::string folder = PathKey(plan_.separateFileSystems[i].c_str());
      while (!folder.empty() && folder.back() == '/') folder.pop_back();
      bool inside = key.compare(0, folder.size(), folder) == 0 &&
                    (key.size() == folder.size() || key[folder.size()] == '/');
      if (inside && folder.size() >= foundLength) {
        found = i + 1;
        foundLength = folder.size();
      }
    }
    return found;
  }

  void Truncated(const std::string& key) {
    auto found = dirty_.find(key);
    if (found != dirty_.end()) found->second.durable.clear();
  }

  void MarkDirty(File* file) {
    auto handle = handles_.find(file->handle_);
    if (handle == handles_.end()) return;  // opened before the seam was armed
    if (dirty_.count(handle->second.key) != 0) return;
    dirty_[handle->second.key] = Dirty{handle->second.path, ReadWhole(handle->second.path)};
  }

  static std::string ReadWhole(const std::string& path) {
    File file;
    std::string content;
    if (!file.SystemOpen(path.c_str(), FileMode::kRead)) return content;
    char piece[1 << 16];
    uint32_t got = 0;
    while (file.Read(piece, sizeof piece, &got) && got > 0) content.append(piece, got);
    file.SystemClose();
    return content;
  }

  // Each unflushed file keeps, sector by sector, its durable or its new
  // content, and its old or new length.
  void CutPower() {
    std::mt19937 random(plan_.seed);
    for (const auto& entry : dirty_) {
      const std::string& durable = entry.second.durable;
      std::string current = ReadWhole(entry.second.path);
      size_t length = (random() & 1) != 0 ? current.size() : durable.size();
      std::string result(length, '\0');
      for (size_t at = 0; at < length; at += kSectorSize) {
        bool keepNew = (random() & 1) != 0;
        const std::string& from = keepNew ? current : durable;
        for (size_t i = at; i < length && i < at + kSectorSize && i < from.size(); ++i) {
          result[i] = from[i];
        }
      }
      File file;
      if (!file.SystemOpen(entry.second.path.c_str(), FileMode::kCreate)) continue;
      file.SystemWrite(result.data(), static_cast<uint32_t>(result.size()));
      file.SystemClose();
    }
  }

  std::recursive_mutex mutex_;
  FaultPlan plan_;
  uint64_t calls_ = 0;
  bool fired_ = false;
  std::map<intptr_t, Handle> handles_;
  std::map<std::string, Dirty> dirty_;
};

void ArmFaultSeam(const FaultPlan& plan) { FaultSeam::Get().Arm(plan); }
void DisarmFaultSeam() { FaultSeam::Get().Disarm(); }
uint64_t FaultSeamCalls() { return FaultSeam::Get().calls(); }
bool FaultSeamFired() { return FaultSeam::Get().fired(); }

}  // namespace qlmr
