// The parts of the message loop that are the same on every system: one loop per thread, the
// clock (real or virtual), the delayed tasks and their place among the posts, sleeping, and
// the bounded wait. The system's backend only queues, waits, wakes and dispatches.
#include "platform/message_loop.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/message_loop_backend.h"

namespace telvane::platform {

namespace {

thread_local MessageLoop* g_current_loop = nullptr;

// A wait or sleep on the machine's clock is cut into slices of at most a day, so that no
// system call is handed a time beyond its range.
constexpr int64_t kMaxWaitSliceMs = 24 * 60 * 60 * 1000;

// now + ms, held at the end of the clock's range so that huge time-outs cannot wrap.
int64_t ClockAdd(int64_t now, int64_t ms) {
  return ms > kNoDeadline - now ? kNoDeadline : now + ms;
}

int64_t SystemNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
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
  const ClockMode mode_;
  const std::chrono::steady_clock::time_point real_start_;
  const int64_t wall_base_;
  std::atomic<int64_t> virtual_ms_{0};
};

// The delayed tasks, ordered by due time and then by posting order, so tasks due together
// run in the order they were posted. Not thread-safe: the loop guards it.
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

}  // namespace

class MessageLoop::Core {
 public:
  explicit Core(ClockMode mode)
      : clock_(mode), thread_(std::this_thread::get_id()), backend_(Backend::Create()) {}

  LoopClock& clock() { return clock_; }
  Backend& backend() { return *backend_; }

  // Queues through post (a backend call) behind every delayed task already due, so a task
  // that fell due before this post goes ahead of it even if the loop thread has not looked
  // at the delayed tasks since. The system's queue may be full: another thread waits for the
  // loop to take some; the loop thread itself cannot, so for it that is an error.
  template <typename Post>
  void PostInOrder(Post&& post) {
    for (;;) {
      {
        std::lock_guard lock(mu_);
        QueueDueLocked();
        if (post()) return;
      }
      if (std::this_thread::get_id() == thread_) {
        throw std::runtime_error("the thread's message queue is full");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  TaskId PostDelayed(int64_t delay_ms, std::function<void()> task) {
    std::lock_guard lock(mu_);
    QueueDueLocked();
    const TaskId id =
        delayed_.Add(ClockAdd(clock_.Now(), std::max<int64_t>(delay_ms, 0)), std::move(task));
    // A loop waiting without limit, or until later, must learn of the earlier time. Woken
    // under the lock: the loop thread cannot see the task, finish and destroy the loop
    // before the wake is done.
    backend_->Wake();
    return id;
  }

  bool CancelDelayed(TaskId id) {
    std::lock_guard lock(mu_);
    return delayed_.Cancel(id);
  }

  // Queues the delayed tasks that have fallen due.
  void QueueDue() {
    std::lock_guard lock(mu_);
    QueueDueLocked();
  }

  bool WaitForMessage(int64_t timeout_ms) {
    const bool bounded = timeout_ms >= 0;
    const int64_t deadline = bounded ? ClockAdd(clock_.Now(), timeout_ms) : 0;
    for (;;) {
      std::optional<int64_t> next_due;
      {
        std::lock_guard lock(mu_);
        QueueDueLocked();
        next_due = delayed_.NextDue();
      }
      if (backend_->WaitForMessage(Backend::TimePoint{})) return true;
      const int64_t now = clock_.Now();
      if (bounded && now >= deadline) return false;
      std::optional<int64_t> wake = next_due;
      if (bounded) wake = std::min(wake.value_or(deadline), deadline);
      if (wake && clock_.IsVirtual()) {
        // Nothing to do until the next due point: jump there. Under the lock, so that a task
        // another thread posted meanwhile for a sooner time is not jumped over.
        std::lock_guard lock(mu_);
        const int64_t target = std::min(*wake, delayed_.NextDue().value_or(*wake));
        clock_.SetVirtual(std::max(target, now));
        continue;
      }
      // Without a time to wake at, only another thread can post now; on the virtual clock
      // too.
      std::optional<Backend::TimePoint> until;
      if (wake) until = clock_.RealTimeOf(std::min(*wake, ClockAdd(now, kMaxWaitSliceMs)));
      backend_->WaitForMessage(until);
    }
  }

  void Sleep(int64_t ms) {
    if (ms <= 0) return;
    if (clock_.IsVirtual()) {
      AdvanceVirtual(ms);
      return;
    }
    const int64_t end = ClockAdd(clock_.Now(), ms);
    for (int64_t now = clock_.Now(); now < end; now = clock_.Now()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(end - now, kMaxWaitSliceMs)));
    }
    QueueDue();
  }

  void AdvanceVirtual(int64_t ms) {
    assert(clock_.IsVirtual());
    std::lock_guard lock(mu_);
    clock_.SetVirtual(ClockAdd(clock_.Now(), std::max<int64_t>(ms, 0)));
    QueueDueLocked();
  }

  size_t DelayedCount() const {
    std::lock_guard lock(mu_);
    return delayed_.Size();
  }

 private:
  void QueueDueLocked() {
    // A task the backend cannot take now (its queue is full) stays due and is queued at the
    // next look.
    delayed_.TakeDue(clock_.Now(),
                     [this](std::function<void()>& task) { return backend_->PostTask(task); });
  }

  LoopClock clock_;
  const std::thread::id thread_;
  const std::unique_ptr<Backend> backend_;
  mutable std::mutex mu_;  // guards delayed_ and the order of posts against due tasks
  DelayedTasks delayed_;
};

namespace {

MessageLoop& CurrentLoopForWindow() {
  MessageLoop* loop = MessageLoop::Current();
  // A window without a loop could never receive anything: a programming error.
  if (loop == nullptr) {
    throw std::logic_error("a message window needs a message loop on its thread");
  }
  return *loop;
}

}  // namespace

MessageLoop::MessageLoop(ClockMode mode) : core_(std::make_unique<Core>(mode)) {
  assert(g_current_loop == nullptr && "one message loop per thread");
  g_current_loop = this;
}

MessageLoop::~MessageLoop() {
  if (g_current_loop == this) g_current_loop = nullptr;
}

MessageLoop* MessageLoop::Current() { return g_current_loop; }

ClockMode MessageLoop::Mode() const { return core_->clock().mode(); }

void MessageLoop::PostTask(std::function<void()> task) {
  core_->PostInOrder([&] { return core_->backend().PostTask(task); });
}

TaskId MessageLoop::PostDelayedTask(int64_t delay_ms, std::function<void()> task) {
  return core_->PostDelayed(delay_ms, std::move(task));
}

bool MessageLoop::CancelDelayedTask(TaskId id) { return core_->CancelDelayed(id); }

void MessageLoop::PostToWindow(uint64_t window, uint32_t message, uintptr_t wparam,
                               intptr_t lparam) {
  core_->PostInOrder(
      [&] { return core_->backend().PostToWindow(window, message, wparam, lparam); });
}

void MessageLoop::Broadcast(uint32_t message, uintptr_t wparam, intptr_t lparam) {
  core_->PostInOrder([&] {
    core_->backend().Broadcast(message, wparam, lparam);
    return true;
  });
}

bool MessageLoop::PumpOne() {
  core_->QueueDue();
  return core_->backend().DispatchOne();
}

size_t MessageLoop::RunUntilIdle() {
  size_t count = 0;
  while (PumpOne()) ++count;
  return count;
}

WaitResult MessageLoop::RunUntil(const std::function<bool()>& done, int64_t deadline_ms) {
  for (;;) {
    if (done()) return WaitResult::kReached;
    const int64_t now = NowMs();
    if (now >= deadline_ms) return WaitResult::kTimedOut;
    if (!PumpOne()) WaitForMessage(deadline_ms == kNoDeadline ? kInfinite : deadline_ms - now);
  }
}

void MessageLoop::RunFor(int64_t ms) {
  // A time already past is no time: DeadlineAfter would read it as no deadline at all.
  RunUntil([] { return false; }, DeadlineAfter(std::max<int64_t>(ms, 0)));
  RunUntilIdle();
}

int64_t MessageLoop::DeadlineAfter(int64_t ms) const {
  return ms < 0 ? kNoDeadline : ClockAdd(NowMs(), ms);
}

bool MessageLoop::WaitForMessage(int64_t timeout_ms) { return core_->WaitForMessage(timeout_ms); }

void MessageLoop::Sleep(int64_t ms) { core_->Sleep(ms); }

int64_t MessageLoop::NowMs() const { return core_->clock().Now(); }

int64_t MessageLoop::WallMs() const { return core_->clock().Wall(); }

void MessageLoop::AdvanceVirtualTime(int64_t ms) { core_->AdvanceVirtual(ms); }

size_t MessageLoop::QueuedCount() const { return core_->backend().QueuedCount(); }

size_t MessageLoop::DelayedCount() const { return core_->DelayedCount(); }

MessageWindow::MessageWindow(Handler handler)
    : loop_(CurrentLoopForWindow()),
      handle_(loop_.core_->backend().AddWindow(std::move(handler))) {}

MessageWindow::~MessageWindow() { loop_.core_->backend().RemoveWindow(handle_); }

void MessageWindow::Post(uint32_t message, uintptr_t wparam, intptr_t lparam) {
  loop_.PostToWindow(handle_, message, wparam, lparam);
}

void MessageWindow::Broadcast(uint32_t message, uintptr_t wparam, intptr_t lparam) {
  loop_.Broadcast(message, wparam, lparam);
}

}  // namespace telvane::platform
