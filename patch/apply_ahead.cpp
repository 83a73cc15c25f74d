#include "patch/apply_ahead.h"

#include <algorithm>
#include <new>
#include <system_error>
#include <utility>

#include "base/codec.h"
#include "base/file_util.h"
#include "base/path.h"
#include "patch/extract_entry.h"

namespace qlmr {
namespace {

// The codec of `type`, or null, without the report a failed Find makes: the
// applying thread's error state is its own.
const Codec* CodecOfType(int32_t type) {
  const CodecRegistry& registry = GetCodecRegistry();
  for (int32_t i = 0; i < registry.Count(); ++i) {
    const Codec* codec = registry.GetAt(i);
    if (codec != nullptr && codec->TypeId() == type) return codec;
  }
  return nullptr;
}

// The name ExtractEntry reads an entry's data by, as the apply forms it.
std::string DataName(const PatchEntry& entry) {
  return entry.packName.empty() ? entry.fileName : JoinPath(entry.packName, entry.fileName);
}

bool NeedsEncoding(const PatchEntry& entry) {
  return !entry.packName.empty() && !entry.container->preEncoded &&
         entry.compressType != COMPRESS_NONE;
}

}  // namespace

ApplyAhead::ApplyAhead(const std::vector<PlannedStep>& steps, const std::string& versionFileName,
                       uint32_t encoders, uint64_t memoryBudget)
    : budget_(memoryBudget) {
  bool anyEncoding = false;
  for (const PlannedStep& step : steps) {
    if (step.entry == nullptr || step.entry->op != ENTRY_OP_WRITE) continue;
    bool loose = step.kind == PatchStep::kLooseEntry && step.entry->fileName != versionFileName;
    if (!loose && step.kind != PatchStep::kPackEntry) continue;
    Item item;
    item.entry = step.entry;
    if (!loose && NeedsEncoding(*step.entry)) {
      item.codec = CodecOfType(step.entry->compressType);
      anyEncoding = true;
    }
    itemOf_.emplace(step.entry, items_.size());
    items_.push_back(std::move(item));
  }
  if (items_.empty()) return;
  // Room for every thread first: a thread object that cannot be stored
  // would have to be left running.
  threads_.reserve(encoders + 1);
  // A thread that cannot start leaves its work to the apply.
  for (uint32_t i = 0; anyEncoding && i < encoders; ++i) {
    try {
      threads_.emplace_back(&ApplyAhead::Encode, this);
    } catch (const std::system_error&) {
      break;
    }
    ++encoders_;
  }
  // The reader starts last, when the number of encoders is settled.
  try {
    threads_.emplace_back(&ApplyAhead::Read, this);
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Item& item : items_) item.state = State::kUnprepared;
  }
}

ApplyAhead::~ApplyAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    cancel_ = true;
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void ApplyAhead::WaitForHead(std::unique_lock<std::mutex>* lock) {
  const Item& item = items_[head_];
  changed_.wait(*lock,
                [&] { return item.state == State::kReady || item.state == State::kUnprepared; });
}

const std::vector<uint8_t>* ApplyAhead::Take(const PatchEntry& entry) {
  std::unique_lock<std::mutex> lock(mutex_);
  // The entry taken before is written by now: its buffer can serve again.
  if (head_ > 0) Recycle(&items_[head_ - 1].bytes);
  auto found = itemOf_.find(&entry);
  if (found == itemOf_.end() || found->second < head_) return nullptr;
  // Writes passed over: their work ends (the threads read their buffers
  // until then) and their memory goes back to the budget.
  while (head_ < found->second) {
    WaitForHead(&lock);
    Finish(&items_[head_], State::kUnprepared);
    ++head_;
  }
  Item& item = items_[head_];
  WaitForHead(&lock);
  // Its memory is the apply's own from now on, as the entry it works on.
  used_ -= item.charged;
  item.charged = 0;
  ++head_;
  changed_.notify_all();
  return item.state == State::kReady ? &item.bytes : nullptr;
}

std::vector<uint8_t> ApplyAhead::Spare() {
  std::vector<uint8_t> buffer;
  if (!spares_.empty()) {
    buffer = std::move(spares_.back());
    spares_.pop_back();
    spareBytes_ -= buffer.capacity();
  }
  return buffer;
}

void ApplyAhead::Recycle(std::vector<uint8_t>* buffer) {
  uint64_t size = buffer->capacity();
  if (size > 0 && spareBytes_ + size <= kSpareBufferMemory) {
    try {
      spares_.push_back(std::move(*buffer));
      spareBytes_ += size;
      return;
    } catch (const std::bad_alloc&) {
    }
  }
  std::vector<uint8_t>().swap(*buffer);
}

bool ApplyAhead::Affordable(size_t index, uint64_t memory, uint64_t limit) const {
  // The entry the apply waits for goes ahead one piece of work at a time
  // whatever the budget: its tries together only when they fit.
  return (index == head_ && items_[index].triesRunning == 0) ||
         used_ + memory <= std::min(budget_, limit);
}

void ApplyAhead::Charge(Item* item, uint64_t memory) {
  item->charged += memory;
  used_ += memory;
}

void ApplyAhead::Release(Item* item) {
  used_ -= item->charged;
  item->charged = 0;
  Recycle(&item->bytes);
  for (std::vector<uint8_t>& form : item->tries) Recycle(&form);
  std::vector<std::vector<uint8_t>>().swap(item->tries);
}

void ApplyAhead::Finish(Item* item, State state) {
  item->state = state;
  if (state == State::kUnprepared) Release(item);
  changed_.notify_all();
}

void ApplyAhead::Read() {
  // Directories of this thread's own: one serves one thread.
  std::map<const PatchContainer*, std::unique_ptr<ZipDirectory>> dirs;
  for (size_t i = 0; i < items_.size(); ++i) {
    bool prepared = false;
    try {
      prepared = ReadItem(i, &dirs);
    } catch (const std::bad_alloc&) {
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) return;
    if (!prepared) Finish(&items_[i], State::kUnprepared);
  }
}

bool ApplyAhead::ReadItem(size_t index,
                          std::map<const PatchContainer*, std::unique_ptr<ZipDirectory>>* dirs) {
  Item& item = items_[index];
  const PatchEntry& entry = *item.entry;
  if (NeedsEncoding(entry) && (item.codec == nullptr || encoders_ == 0)) return false;
  std::unique_ptr<ZipDirectory>& zip = (*dirs)[entry.container];
  if (zip == nullptr) {
    int zipError = 0;
    zip = ZipDirectory::Open(entry.container->openedPath.c_str(), entry.container->handlers,
                             &zipError);
    if (zip == nullptr) return false;
  }
  std::string name = DataName(entry);
  const ZipEntryInfo* info = zip->FindEntry(NormalizeName(name, false, true).c_str());
  if (info == nullptr || info->size > patch_format::kMaxInMemoryEntry) return false;
  // A large loose file streams to disk at its turn instead.
  if (entry.packName.empty() && info->size > kLooseAheadLimit) return false;
  std::vector<uint8_t> bytes;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    uint64_t limit = item.codec != nullptr ? UINT64_MAX : kReadAheadMemory;
    changed_.wait(lock, [&] { return stop_ || Affordable(index, info->size, limit); });
    if (stop_) return false;
    Charge(&item, info->size);
    bytes = Spare();
  }
  if (!ExtractEntryInto(zip.get(), name.c_str(), &bytes)) return false;
  // Data the apply would refuse to encode is left for it to refuse.
  if (item.codec != nullptr && bytes.size() != entry.contentSize) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (item.codec == nullptr) {
    item.bytes = std::move(bytes);
    Finish(&item, State::kReady);
    return true;
  }
  // Nothing is shown to the encoders until all of it is in place.
  uint32_t count = EncodeTryCount(*item.codec);
  try {
    item.tries.resize(count);
    for (uint32_t t = 0; t < count; ++t) tries_.push_back({index, t});
  } catch (const std::bad_alloc&) {
    while (!tries_.empty() && tries_.back().item == index) tries_.pop_back();
    return false;
  }
  item.bytes = std::move(bytes);
  item.triesLeft = count;
  item.state = State::kEncoding;
  changed_.notify_all();
  return true;
}

void ApplyAhead::Encode() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    uint64_t memory = 0;
    changed_.wait(lock, [&] {
      if (stop_) return true;
      if (tries_.empty()) return false;
      const Item& next = items_[tries_.front().item];
      memory = EncodeTryMemory(*next.codec, static_cast<uint32_t>(next.bytes.size()));
      return Affordable(tries_.front().item, memory);
    });
    if (stop_) return;
    Try task = tries_.front();
    tries_.pop_front();
    Item& item = items_[task.item];
    if (item.state != State::kEncoding) continue;  // given up while its tries were queued
    Charge(&item, memory);
    ++item.triesRunning;
    std::vector<uint8_t> form = Spare();
    lock.unlock();
    // Both tries read the same bytes; nothing moves them until the last
    // try is done.
    bool ok = false;
    try {
      ok = RunEncodeTry(*item.codec, task.index, item.bytes.data(),
                        static_cast<uint32_t>(item.bytes.size()), &cancel_, &form);
    } catch (const std::bad_alloc&) {
    }
    lock.lock();
    --item.triesRunning;
    item.charged -= memory;
    used_ -= memory;
    changed_.notify_all();  // the memory, or the waiting entry's turn, is free
    if (ok) {
      Charge(&item, form.size());
      item.tries[task.index] = std::move(form);
    } else {
      item.tryFailed = true;
      Recycle(&form);
    }
    if (--item.triesLeft > 0) continue;
    if (item.tryFailed) {
      Finish(&item, State::kUnprepared);
      continue;
    }
    const std::vector<uint8_t>* forms[LzmaCodec::kEncodeTries] = {};
    for (size_t t = 0; t < item.tries.size() && t < LzmaCodec::kEncodeTries; ++t) {
      forms[t] = &item.tries[t];
    }
    std::vector<uint8_t> chosen = std::move(item.tries[ChooseEncodeTry(*item.codec, forms)]);
    Release(&item);
    Charge(&item, chosen.size());
    item.bytes = std::move(chosen);
    Finish(&item, State::kReady);
  }
}

}  // namespace qlmr
