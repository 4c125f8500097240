// What a backend of the message loop provides: the queue, the clock and the windows of one
// thread. The public MessageLoop and MessageWindow forward to it; each system has one
// implementation (message_loop_<os>.cpp), made by Create.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/message_loop.h"

namespace telvane::platform {

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
