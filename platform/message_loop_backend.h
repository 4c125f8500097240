// What a system's message loop does its own way: the thread's queue of messages, sleeping
// until something is queued, waking, and dispatching one message; and the windows that
// messages are addressed to. The clock, the delayed tasks and their order among the posts
// are the same everywhere and live in MessageLoop itself (message_loop.cpp), which hands a
// delayed task to the backend as an ordinary posted task once it falls due.
//
// Each system has one backend (message_loop_<os>.cpp), made by Create for the thread that
// makes the loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/message_loop.h"

namespace telvane::platform {

class MessageLoop::Backend {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  static std::unique_ptr<Backend> Create();
  virtual ~Backend() = default;

  // Thread-safe. Queue a task, or a message for a window, behind what is queued. False when
  // the system's queue is full: nothing was queued and the task is left with the caller.
  virtual bool PostTask(std::function<void()>& task) = 0;
  virtual bool PostToWindow(uint64_t window, uint32_t message, uintptr_t wparam,
                            intptr_t lparam) = 0;
  // Thread-safe. Queues the message for every window (tasks have none).
  virtual void Broadcast(uint32_t message, uintptr_t wparam, intptr_t lparam) = 0;

  // Thread-safe. Ends the loop thread's current WaitForMessage early, or the next one if
  // none is under way.
  virtual void Wake() = 0;
  // Loop thread only. True at once when a message is queued; otherwise blocks until one is,
  // until the machine's clock reaches `until` (none: no limit) or until woken, and then says
  // whether a message is queued. A time already passed makes it a look without waiting.
  virtual bool WaitForMessage(std::optional<TimePoint> until) = 0;
  // Loop thread only. Takes the first queued message and dispatches it; false when none.
  virtual bool DispatchOne() = 0;

  // Loop thread only. A new window for the handler, and its end, which drops what is still
  // queued for it.
  virtual uint64_t AddWindow(MessageWindow::Handler handler) = 0;
  virtual void RemoveWindow(uint64_t window) = 0;

  // Thread-safe. Messages the loop queued that have not been dispatched yet.
  virtual size_t QueuedCount() const = 0;
};

}  // namespace telvane::platform
