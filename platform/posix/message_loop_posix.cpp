// The message loop's queue for systems without window messages: a mutex-guarded deque of
// tasks and window messages, and a condition variable the loop thread sleeps on.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "platform/message_loop_backend.h"

namespace telvane::platform {

namespace {

struct QueuedMessage {
  uint64_t window = 0;  // 0: a task
  uint32_t message = 0;
  uintptr_t wparam = 0;
  intptr_t lparam = 0;
  std::function<void()> task;
};

class PosixBackend final : public MessageLoop::Backend {
 public:
  bool PostTask(std::function<void()>& task) override {
    Push(QueuedMessage{0, 0, 0, 0, std::move(task)});
    return true;
  }

  bool PostToWindow(uint64_t window, uint32_t message, uintptr_t wparam, intptr_t lparam) override {
    Push(QueuedMessage{window, message, wparam, lparam, {}});
    return true;
  }

  void Broadcast(uint32_t message, uintptr_t wparam, intptr_t lparam) override {
    std::lock_guard lock(mu_);
    for (const auto& entry : windows_) {
      queue_.push_back(QueuedMessage{entry.first, message, wparam, lparam, {}});
    }
    cv_.notify_one();
  }

  void Wake() override {
    std::lock_guard lock(mu_);
    woken_ = true;
    cv_.notify_one();
  }

  bool WaitForMessage(std::optional<TimePoint> until) override {
    std::unique_lock lock(mu_);
    if (!queue_.empty()) return true;
    // A mere look leaves a wake-up pending for the wait that follows it.
    if (until && *until <= std::chrono::steady_clock::now()) return false;
    const auto ready = [this] { return !queue_.empty() || woken_; };
    if (until) {
      cv_.wait_until(lock, *until, ready);
    } else {
      cv_.wait(lock, ready);
    }
    woken_ = false;
    return !queue_.empty();
  }

  bool DispatchOne() override {
    QueuedMessage message;
    std::shared_ptr<MessageWindow::Handler> handler;
    {
      std::lock_guard lock(mu_);
      if (queue_.empty()) return false;
      message = std::move(queue_.front());
      queue_.pop_front();
      if (message.window != 0) {
        auto it = windows_.find(message.window);
        if (it != windows_.end()) handler = it->second;
      }
    }
    // Run without the lock: a handler posts, pumps nested messages or ends its own window;
    // the copy of the handler keeps it alive to its end.
    if (message.task) {
      message.task();
    } else if (handler) {
      (*handler)(message.message, message.wparam, message.lparam);
    }
    return true;
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

  size_t QueuedCount() const override {
    std::lock_guard lock(mu_);
    return queue_.size();
  }

 private:
  // Notifies while holding the lock: once the loop thread can see the message it may
  // return and destroy the loop, and the condition variable with it.
  void Push(QueuedMessage message) {
    std::lock_guard lock(mu_);
    queue_.push_back(std::move(message));
    cv_.notify_one();
  }

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<QueuedMessage> queue_;
  bool woken_ = false;
  std::unordered_map<uint64_t, std::shared_ptr<MessageWindow::Handler>> windows_;
  uint64_t last_window_ = 0;
};

}  // namespace

std::unique_ptr<MessageLoop::Backend> MessageLoop::Backend::Create() {
  return std::make_unique<PosixBackend>();
}

}  // namespace telvane::platform
