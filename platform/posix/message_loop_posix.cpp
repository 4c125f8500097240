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

namespace telvane::platform {

namespace {

thread_local MessageLoop* g_current_loop = nullptr;

int64_t SystemWallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct QueuedMessage {
  uint64_t window = 0;  // 0: a task
  uint32_t message = 0;
  uintptr_t wparam = 0;
  intptr_t lparam = 0;
  std::function<void()> task;
};

// Clock time plus a delay or time-out. Saturates, so a huge delay means "never" instead of
// wrapping round into the past.
int64_t ClockAdd(int64_t now, int64_t ms) {
  return ms > std::numeric_limits<int64_t>::max() - now ? std::numeric_limits<int64_t>::max()
                                                        : now + ms;
}

// A real-clock wait is cut into slices of at most a day, so the absolute time point the
// condition variable gets stays far inside its nanosecond range.
constexpr int64_t kMaxWaitSliceMs = 24 * 60 * 60 * 1000;

// Delayed tasks are ordered by due time, then by posting order, so tasks due together run
// in the order they were posted.
using DelayKey = std::pair<int64_t, uint64_t>;

}  // namespace

class MessageLoop::Impl {
 public:
  explicit Impl(ClockMode mode)
      : mode_(mode), real_start_(std::chrono::steady_clock::now()), wall_base_(SystemWallMs()) {}

  ClockMode mode() const { return mode_; }

  int64_t Now() const {
    if (mode_ == ClockMode::kVirtual) return virtual_ms_.load(std::memory_order_acquire);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 real_start_)
        .count();
  }

  int64_t Wall() const {
    if (mode_ == ClockMode::kVirtual) return wall_base_ + Now();
    return SystemWallMs();
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

  TaskId PostDelayed(int64_t delay_ms, std::function<void()> task) {
    std::lock_guard lock(mu_);
    QueueDueLocked();
    const TaskId id = ++last_task_id_;
    const DelayKey key{ClockAdd(Now(), std::max<int64_t>(delay_ms, 0)), ++sequence_};
    delayed_.emplace(key, Delayed{id, std::move(task)});
    delayed_index_.emplace(id, key);
    cv_.notify_one();
    return id;
  }

  bool CancelDelayed(TaskId id) {
    std::lock_guard lock(mu_);
    auto it = delayed_index_.find(id);
    if (it == delayed_index_.end()) return false;
    delayed_.erase(it->second);
    delayed_index_.erase(it);
    return true;
  }

  bool PumpOne() {
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

  bool WaitForMessage(int64_t timeout_ms) {
    std::unique_lock lock(mu_);
    const bool bounded = timeout_ms >= 0;
    const int64_t deadline = bounded ? ClockAdd(Now(), timeout_ms) : 0;
    for (;;) {
      QueueDueLocked();
      if (!queue_.empty()) return true;
      const int64_t now = Now();
      if (bounded && now >= deadline) return false;
      const bool have_due = !delayed_.empty();
      int64_t wake = 0;
      if (have_due) wake = delayed_.begin()->first.first;
      if (bounded) wake = have_due ? std::min(wake, deadline) : deadline;
      const bool timed = have_due || bounded;
      if (mode_ == ClockMode::kVirtual && timed) {
        // Nothing to do until the next due point: jump there.
        virtual_ms_.store(std::max(wake, now), std::memory_order_release);
        continue;
      }
      if (timed) {
        const int64_t until = std::min(wake, ClockAdd(now, kMaxWaitSliceMs));
        cv_.wait_until(lock, real_start_ + std::chrono::milliseconds(until));
      } else {
        // Only another thread can post now; on the virtual clock too.
        cv_.wait(lock);
      }
    }
  }

  void Sleep(int64_t ms) {
    if (ms <= 0) return;
    if (mode_ == ClockMode::kVirtual) {
      AdvanceVirtual(ms);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    std::lock_guard lock(mu_);
    QueueDueLocked();
  }

  void AdvanceVirtual(int64_t ms) {
    assert(mode_ == ClockMode::kVirtual);
    std::lock_guard lock(mu_);
    virtual_ms_.store(ClockAdd(Now(), std::max<int64_t>(ms, 0)), std::memory_order_release);
    QueueDueLocked();
  }

  uint64_t AddWindow(MessageWindow::Handler handler) {
    std::lock_guard lock(mu_);
    const uint64_t handle = ++last_window_;
    windows_.emplace(handle, std::make_shared<MessageWindow::Handler>(std::move(handler)));
    return handle;
  }

  void RemoveWindow(uint64_t handle) {
    std::lock_guard lock(mu_);
    windows_.erase(handle);
    std::erase_if(queue_, [handle](const QueuedMessage& m) { return m.window == handle; });
  }

  void Broadcast(uint32_t message, uintptr_t wparam, intptr_t lparam) {
    std::lock_guard lock(mu_);
    QueueDueLocked();
    for (const auto& entry : windows_) {
      queue_.push_back(QueuedMessage{entry.first, message, wparam, lparam, {}});
    }
    cv_.notify_one();
  }

  size_t QueuedCount() const {
    std::lock_guard lock(mu_);
    return queue_.size();
  }

  size_t DelayedCount() const {
    std::lock_guard lock(mu_);
    return delayed_.size();
  }

 private:
  struct Delayed {
    TaskId id;
    std::function<void()> task;
  };

  void QueueDueLocked() {
    const int64_t now = Now();
    while (!delayed_.empty() && delayed_.begin()->first.first <= now) {
      auto node = delayed_.extract(delayed_.begin());
      delayed_index_.erase(node.mapped().id);
      queue_.push_back(QueuedMessage{0, 0, 0, 0, std::move(node.mapped().task)});
    }
  }

  const ClockMode mode_;
  const std::chrono::steady_clock::time_point real_start_;
  const int64_t wall_base_;
  std::atomic<int64_t> virtual_ms_{0};

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<QueuedMessage> queue_;
  std::map<DelayKey, Delayed> delayed_;
  std::unordered_map<TaskId, DelayKey> delayed_index_;
  std::unordered_map<uint64_t, std::shared_ptr<MessageWindow::Handler>> windows_;
  TaskId last_task_id_ = 0;
  uint64_t sequence_ = 0;
  uint64_t last_window_ = 0;
};

MessageLoop::MessageLoop(ClockMode mode) : impl_(std::make_unique<Impl>(mode)) {
  assert(g_current_loop == nullptr && "one message loop per thread");
  g_current_loop = this;
}

MessageLoop::~MessageLoop() {
  if (g_current_loop == this) g_current_loop = nullptr;
}

MessageLoop* MessageLoop::Current() { return g_current_loop; }

ClockMode MessageLoop::Mode() const { return impl_->mode(); }

void MessageLoop::PostTask(std::function<void()> task) {
  impl_->Post(QueuedMessage{0, 0, 0, 0, std::move(task)});
}

TaskId MessageLoop::PostDelayedTask(int64_t delay_ms, std::function<void()> task) {
  return impl_->PostDelayed(delay_ms, std::move(task));
}

bool MessageLoop::CancelDelayedTask(TaskId id) { return impl_->CancelDelayed(id); }

void MessageLoop::PostToWindow(uint64_t window, uint32_t message, uintptr_t wparam,
                               intptr_t lparam) {
  impl_->Post(QueuedMessage{window, message, wparam, lparam, {}});
}

void MessageLoop::Broadcast(uint32_t message, uintptr_t wparam, intptr_t lparam) {
  impl_->Broadcast(message, wparam, lparam);
}

bool MessageLoop::PumpOne() { return impl_->PumpOne(); }

bool MessageLoop::WaitForMessage(int64_t timeout_ms) { return impl_->WaitForMessage(timeout_ms); }

void MessageLoop::Sleep(int64_t ms) { impl_->Sleep(ms); }

int64_t MessageLoop::NowMs() const { return impl_->Now(); }

int64_t MessageLoop::WallMs() const { return impl_->Wall(); }

void MessageLoop::AdvanceVirtualTime(int64_t ms) { impl_->AdvanceVirtual(ms); }

size_t MessageLoop::QueuedCount() const { return impl_->QueuedCount(); }

size_t MessageLoop::DelayedCount() const { return impl_->DelayedCount(); }

namespace {
MessageLoop& CurrentLoopForWindow() {
  MessageLoop* loop = MessageLoop::Current();
  // A window without a loop could never receive anything: a programming error.
  if (loop == nullptr)
    throw std::logic_error("a message window needs a message loop on its thread");
  return *loop;
}
}  // namespace

MessageWindow::MessageWindow(Handler handler)
    : loop_(CurrentLoopForWindow()), handle_(loop_.impl_->AddWindow(std::move(handler))) {}

MessageWindow::~MessageWindow() { loop_.impl_->RemoveWindow(handle_); }

void MessageWindow::Post(uint32_t message, uintptr_t wparam, intptr_t lparam) {
  loop_.impl_->Post(QueuedMessage{handle_, message, wparam, lparam, {}});
}

void MessageWindow::Broadcast(uint32_t message, uintptr_t wparam, intptr_t lparam) {
  loop_.impl_->Broadcast(message, wparam, lparam);
}

}  // namespace telvane::platform
