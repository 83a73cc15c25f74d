// A first-in first-out queue between threads: any thread pushes, one thread
// pops and waits for the next item.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

namespace qlmr {

template <typename T>
class BlockingQueue {
 public:
  void Push(T item) {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(std::move(item));
    ready_.notify_one();
  }

  T Pop() {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return !items_.empty(); });
    return Take();
  }

  // False when nothing arrived before `deadline`.
  bool PopUntil(std::chrono::steady_clock::time_point deadline, T* item) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ready_.wait_until(lock, deadline, [this] { return !items_.empty(); })) return false;
    *item = Take();
    return true;
  }

 private:
  T Take() {
    T item = std::move(items_.front());
    items_.pop_front();
    return item;
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<T> items_;
};

}  // namespace qlmr
