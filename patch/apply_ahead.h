// What an apply prepares before each entry's turn, on threads of its own:
// the content of the files it will write, read out of the patch (unpacked
// and checked) into memory, and for a packed patch the pack-bound data
// encoded with its codec, every codec try on a processor of its own. Work
// runs in the order of the apply and stops at a memory budget, except for
// the entry the apply waits for, which always goes ahead (its tries one at a
// time when they do not fit the budget together).
//
// The disk is changed by the applying thread alone, in its order: it takes
// each prepared entry at its turn. An entry that could not be prepared,
// whatever the reason (a damaged entry, no memory, a codec that refuses the
// data, no thread), is handed back unprepared, and the applying thread does
// that entry's work itself as it always did, failure reports included. So
// preparing changes how long an apply takes, never what it does.
//
// Internal to the patch subsystem.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "patch/patch_package_impl.h"

namespace qlmr {

class Codec;

// Loose files larger than this stream to disk at their turn, as without
// preparation: in memory they would hold the budget for one file.
constexpr uint64_t kLooseAheadLimit = 16u << 20;
// Entries that need no encoding are read ahead only this far: the apply
// writes them faster than they are read, so more would only hold memory.
constexpr uint64_t kReadAheadMemory = 32u << 20;
// Buffers of earlier entries kept for later ones, at most this much.
constexpr uint64_t kSpareBufferMemory = 32u << 20;

class ApplyAhead {
 public:
  // Prepares the writes among `steps`, the plan of an apply (the version
  // file `versionFileName` excepted: it is written last, on its own), with
  // `encoders` threads for the codecs' tries (none: pack-bound data that
  // needs encoding is left unprepared) and one that reads. Starts at once.
  ApplyAhead(const std::vector<PlannedStep>& steps, const std::string& versionFileName,
             uint32_t encoders, uint64_t memoryBudget = kApplyAheadMemory);
  // Stops the work, cancels tries that run, and waits for the threads.
  ~ApplyAhead();
  ApplyAhead(const ApplyAhead&) = delete;
  ApplyAhead& operator=(const ApplyAhead&) = delete;

  // For the write of `entry`, the next write of the plan: waits until it is
  // prepared and gives what the apply would otherwise make itself: a loose
  // file's content, or the bytes AddFile stores for a pack-bound entry,
  // valid until the next Take. Null when the entry is not prepared: the
  // caller does its work. Writes of the plan that the apply passed over
  // (taken out of order, or not at all) are dropped when a later one is
  // taken, so that the entries after them are still prepared; an entry the
  // plan did not hold, or one taken again, gives null and changes nothing.
  const std::vector<uint8_t>* Take(const PatchEntry& entry);

 private:
  enum class State { kWaiting, kEncoding, kReady, kUnprepared };
  struct Item {
    const PatchEntry* entry = nullptr;
    const Codec* codec = nullptr;  // pack-bound data to encode with
    State state = State::kWaiting;
    std::vector<uint8_t> bytes;               // as read, then as stored
    std::vector<std::vector<uint8_t>> tries;  // the codec's forms
    uint32_t triesLeft = 0;
    uint32_t triesRunning = 0;
    bool tryFailed = false;
    uint64_t charged = 0;  // of the budget, while held
  };
  struct Try {
    size_t item;
    uint32_t index;
  };

  void Read();
  void Encode();
  // A buffer that served an earlier entry, or an empty one: reading into
  // memory that is already the process's costs no page faults. Locked.
  std::vector<uint8_t> Spare();
  void Recycle(std::vector<uint8_t>* buffer);
  // Reads one item; false when it is left unprepared.
  bool ReadItem(size_t index, std::map<const PatchContainer*, std::unique_ptr<ZipDirectory>>* dirs);
  // Whether work of `memory` bytes for item `index` may start now, within
  // `limit` or the budget, whichever is smaller. Locked.
  bool Affordable(size_t index, uint64_t memory, uint64_t limit = UINT64_MAX) const;
  void Charge(Item* item, uint64_t memory);
  void Release(Item* item);
  void Finish(Item* item, State state);
  // Waits until the item at head_ is prepared or given up. Locked.
  void WaitForHead(std::unique_lock<std::mutex>* lock);

  std::vector<Item> items_;
  std::map<const PatchEntry*, size_t> itemOf_;  // index in items_
  uint64_t budget_;
  uint64_t used_ = 0;
  size_t head_ = 0;  // the item Take waits for next
  std::vector<std::vector<uint8_t>> spares_;
  uint64_t spareBytes_ = 0;
  std::deque<Try> tries_;
  bool stop_ = false;
  std::atomic<bool> cancel_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::thread> threads_;
  uint32_t encoders_ = 0;
};

}  // namespace qlmr
