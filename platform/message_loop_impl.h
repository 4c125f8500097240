// What a backend of the message loop provides: the queue, the clock and the windows of one
// thread. The public MessageLoop and MessageWindow forward to it; each system has one
// implementation (message_loop_<os>.cpp), made by Create.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>

#include "platform/message_loop.h"

namespace telvane::platform {

// now + ms, held at the end of the clock's range so that huge time-outs cannot wrap.
inline int64_t ClockAdd(int64_t now, int64_t ms) {
  return ms > std::numeric_limits<int64_t>::max() - now ? std::numeric_limits<int64_t>::max()
                                                        : now + ms;
}

// The loop's clock: the machine's monotonic clock, or a virtual one that moves only when the
// loop sets it. Milliseconds since the loop was made; the wall time goes with it.
class LoopClock {
 public:
  explicit LoopClock(ClockMode mode)
      : mode_(mode), real_start_(std::chrono::steady_clock::now()), wall_base_(SystemNowMs()) {}

  ClockMode mode() const { return mode_; }
  bool IsVirtual() const { return mode_ == ClockMode::kVirtual; }

  int64_t Now() const {
    if (IsVirtual()) return virtual_ms_.load(std::memory_order_acquire);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 real_start_)
        .count();
  }

  int64_t Wall() const { return IsVirtual() ? wall_base_ + Now() : SystemNowMs(); }

  // Virtual clock only: the time jumps to ms.
  void SetVirtual(int64_t ms) { virtual_ms_.store(ms, std::memory_order_release); }

  // The machine's time point of a clock time, for waits on the real clock.
  std::chrono::steady_clock::time_point RealTimeOf(int64_t ms) const {
    return real_start_ + std::chrono::milliseconds(ms);
  }

 private:
  static int64_t SystemNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }

  const ClockMode mode_;
  const std::chrono::steady_clock::time_point real_start_;
  const int64_t wall_base_;
  std::atomic<int64_t> virtual_ms_{0};
};

// The delayed tasks of a loop, ordered by due time and then by posting order, so tasks due
// together run in the order they were posted. Not thread-safe: the backend guards it with
// its own lock.
class DelayedTasks {
 public:
  TaskId Add(int64_t due, std::function<void()> task) {
    const TaskId id = ++last_id_;
    const Key key{due, ++sequence_};
    tasks_.emplace(key, Entry{id, std::move(task)});
    index_.emplace(id, key);
    return id;
  }

  bool Cancel(TaskId id) {
    auto it = index_.find(id);
    if (it == index_.end()) return false;
    tasks_.erase(it->second);
    index_.erase(it);
    return true;
  }

  // When the first task falls due, or nothing when none is pending.
  std::optional<int64_t> NextDue() const {
    if (tasks_.empty()) return std::nullopt;
    return tasks_.begin()->first.first;
  }

  size_t Size() const { return tasks_.size(); }

  // Hands the tasks due at `now` to queue, first due first. queue returns false when it
  // cannot take the task now; the task then stays pending, due, and the hand-over stops.
  template <typename Queue>
  void TakeDue(int64_t now, Queue&& queue) {
    while (!tasks_.empty() && tasks_.begin()->first.first <= now) {
      auto first = tasks_.begin();
      if (!queue(first->second.task)) return;
      index_.erase(first->second.id);
      tasks_.erase(first);
    }
  }

 private:
  using Key = std::pair<int64_t, uint64_t>;
  struct Entry {
    TaskId id;
    std::function<void()> task;
  };
  std::map<Key, Entry> tasks_;
  std::unordered_map<TaskId, Key> index_;
  TaskId last_id_ = 0;
  uint64_t sequence_ = 0;
};

class MessageLoop::Impl {
 public:
  static std::unique_ptr<Impl> Create(ClockMode mode);
  virtual ~Impl() = default;

  virtual ClockMode mode() const = 0;
  virtual void PostTask(std::function<void()> task) = 0;
  virtual TaskId PostDelayed(int64_t delay_ms, std::function<void()> task) = 0;
  virtual bool CancelDelayed(TaskId id) = 0;
  virtual void PostToWindow(uint64_t window, uint32_t message, uintptr_t wparam,
                            intptr_t lparam) = 0;
  virtual void Broadcast(uint32_t message, uintptr_t wparam, intptr_t lparam) = 0;
  virtual bool PumpOne() = 0;
  virtual bool WaitForMessage(int64_t timeout_ms) = 0;
  virtual void Sleep(int64_t ms) = 0;
  virtual int64_t Now() const = 0;
  virtual int64_t Wall() const = 0;
  virtual void AdvanceVirtual(int64_t ms) = 0;
  virtual size_t QueuedCount() const = 0;
  virtual size_t DelayedCount() const = 0;
  // Loop thread only: a new window for the handler, and its end.
  virtual uint64_t AddWindow(MessageWindow::Handler handler) = 0;
  virtual void RemoveWindow(uint64_t window) = 0;
};

}  // namespace telvane::platform
