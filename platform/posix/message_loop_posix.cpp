// Our own message queue for systems without window messages: a mutex-guarded deque of
// messages plus a time-ordered set of delayed tasks, and a clock that is either the
// machine's monotonic clock or a virtual one that jumps when the thread would wait.
#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include "platform/message_loop.h"
#include "platform/message_loop_impl.h"

namespace telvane::platform {

namespace {

struct QueuedMessage {
  uint64_t window = 0;  // 0: a task
  uint32_t message = 0;
  uintptr_t wparam = 0;
  intptr_t lparam = 0;
  std::function<void()> task;
};

// A real-clock wait is cut into slices of at most a day, so the absolute time point the
// condition variable gets stays far inside its nanosecond range.
constexpr int64_t kMaxWaitSliceMs = 24 * 60 * 60 * 1000;

}  // namespace

class PosixLoop final : public MessageLoop::Impl {
 public:
  explicit PosixLoop(ClockMode mode) : clock_(mode) {}

  ClockMode mode() const override { return clock_.mode(); }

  int64_t Now() const override { return clock_.Now(); }

  int64_t Wall() const override { return clock_.Wall(); }

  void PostTask(std::function<void()> task) override {
    Post(QueuedMessage{0, 0, 0, 0, std::move(task)});
  }

  void PostToWindow(uint64_t window, uint32_t message, uintptr_t wparam, intptr_t lparam) override {
    Post(QueuedMessage{window, message, wparam, lparam, {}});
  }

  // Notifies while holding the lock: once the loop thread can see the message it may
  // return and destroy the loop, and the condition variable with it.
  void Post(QueuedMessage message) {
    std::lock_guard lock(mu_);
    // A delayed task that fell due before this post goes ahead of it, even if the loop
    // thread has not looked at the delayed tasks since.
    QueueDueLocked();
    queue_.push_back(std::move(message));
    cv_.notify_one();
  }

  TaskId PostDelayed(int64_t delay_ms, std::function<void()> task) override {
    std::lock_guard lock(mu_);
    QueueDueLocked();
    const TaskId id =
        delayed_.Add(ClockAdd(Now(), std::max<int64_t>(delay_ms, 0)), std::move(task));
    cv_.notify_one();
    return id;
  }

  bool CancelDelayed(TaskId id) override {
    std::lock_guard lock(mu_);
    return delayed_.Cancel(id);
  }

  bool PumpOne() override {
    QueuedMessage message;
    std::shared_ptr<MessageWindow::Handler> handler;
    {
      std::lock_guard lock(mu_);
      QueueDueLocked();
      if (queue_.empty()) return false;
      message = std::move(queue_.front());
      queue_.pop_front();
      if (message.window != 0) {
        auto it = windows_.find(message.window);
        if (it != windows_.end()) handler = it->second;
      }
    }
    if (message.task) {
      message.task();
    } else if (handler) {
      (*handler)(message.message, message.wparam, message.lparam);
    }
    return true;
  }

  bool WaitForMessage(int64_t timeout_ms) override {
    std::unique_lock lock(mu_);
    const bool bounded = timeout_ms >= 0;
    const int64_t deadline = bounded ? ClockAdd(Now(), timeout_ms) : 0;
    for (;;) {
      QueueDueLocked();
      if (!queue_.empty()) return true;
      const int64_t now = Now();
      if (bounded && now >= deadline) return false;
      const std::optional<int64_t> next_due = delayed_.NextDue();
      const bool have_due = next_due.has_value();
      int64_t wake = next_due.value_or(0);
      if (bounded) wake = have_due ? std::min(wake, deadline) : deadline;
      const bool timed = have_due || bounded;
      if (clock_.IsVirtual() && timed) {
        // Nothing to do until the next due point: jump there.
        clock_.SetVirtual(std::max(wake, now));
        continue;
      }
      if (timed) {
        const int64_t until = std::min(wake, ClockAdd(now, kMaxWaitSliceMs));
        cv_.wait_until(lock, clock_.RealTimeOf(until));
      } else {
        // Only another thread can post now; on the virtual clock too.
        cv_.wait(lock);
      }
    }
  }

  void Sleep(int64_t ms) override {
    if (ms <= 0) return;
    if (clock_.IsVirtual()) {
      AdvanceVirtual(ms);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    std::lock_guard lock(mu_);
    QueueDueLocked();
  }

  void AdvanceVirtual(int64_t ms) override {
    assert(clock_.IsVirtual());
    std::lock_guard lock(mu_);
    clock_.SetVirtual(ClockAdd(Now(), std::max<int64_t>(ms, 0)));
    QueueDueLocked();
  }

  uint64_t AddWindow(MessageWindow::Handler handler) override {
    std::lock_guard lock(mu_);
    const uint64_t handle = ++last_window_;
    windows_.emplace(handle, std::make_shared<MessageWindow::Handler>(std::move(handler)));
    return handle;
  }

  void RemoveWindow(uint64_t handle) override {
    std::lock_guard lock(mu_);
    windows_.erase(handle);
    std::erase_if(queue_, [handle](const QueuedMessage& m) { return m.window == handle; });
  }

  void Broadcast(uint32_t message, uintptr_t wparam, intptr_t lparam) override {
    std::lock_guard lock(mu_);
    QueueDueLocked();
    for (const auto& entry : windows_) {
      queue_.push_back(QueuedMessage{entry.first, message, wparam, lparam, {}});
    }
    cv_.notify_one();
  }

  size_t QueuedCount() const override {
    std::lock_guard lock(mu_);
    return queue_.size();
  }

  size_t DelayedCount() const override {
    std::lock_guard lock(mu_);
    return delayed_.Size();
  }

 private:
  void QueueDueLocked() {
    const int64_t now = Now();
    delayed_.TakeDue(now, [this](std::function<void()>& task) {
      queue_.push_back(QueuedMessage{0, 0, 0, 0, std::move(task)});
      return true;
    });
  }

  LoopClock clock_;

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<QueuedMessage> queue_;
  DelayedTasks delayed_;
  std::unordered_map<uint64_t, std::shared_ptr<MessageWindow::Handler>> windows_;
  uint64_t last_window_ = 0;
};

std::unique_ptr<MessageLoop::Impl> MessageLoop::Impl::Create(ClockMode mode) {
  return std::make_unique<PosixLoop>(mode);
}

}  // namespace telvane::platform
