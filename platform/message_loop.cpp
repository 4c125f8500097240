// The parts of the message loop that are the same on every system: one loop per thread, and
// the public calls, which the system's backend carries out.
#include "platform/message_loop.h"

#include <cassert>
#include <stdexcept>

#include "platform/message_loop_impl.h"

namespace telvane::platform {

namespace {

thread_local MessageLoop* g_current_loop = nullptr;

MessageLoop& CurrentLoopForWindow() {
  MessageLoop* loop = MessageLoop::Current();
  // A window without a loop could never receive anything: a programming error.
  if (loop == nullptr) {
    throw std::logic_error("a message window needs a message loop on its thread");
  }
  return *loop;
}

}  // namespace

MessageLoop::MessageLoop(ClockMode mode) : impl_(Impl::Create(mode)) {
  assert(g_current_loop == nullptr && "one message loop per thread");
  g_current_loop = this;
}

MessageLoop::~MessageLoop() {
  if (g_current_loop == this) g_current_loop = nullptr;
}

MessageLoop* MessageLoop::Current() { return g_current_loop; }

ClockMode MessageLoop::Mode() const { return impl_->mode(); }

void MessageLoop::PostTask(std::function<void()> task) { impl_->PostTask(std::move(task)); }

TaskId MessageLoop::PostDelayedTask(int64_t delay_ms, std::function<void()> task) {
  return impl_->PostDelayed(delay_ms, std::move(task));
}

bool MessageLoop::CancelDelayedTask(TaskId id) { return impl_->CancelDelayed(id); }

void MessageLoop::PostToWindow(uint64_t window, uint32_t message, uintptr_t wparam,
                               intptr_t lparam) {
  impl_->PostToWindow(window, message, wparam, lparam);
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

MessageWindow::MessageWindow(Handler handler)
    : loop_(CurrentLoopForWindow()), handle_(loop_.impl_->AddWindow(std::move(handler))) {}

MessageWindow::~MessageWindow() { loop_.impl_->RemoveWindow(handle_); }

void MessageWindow::Post(uint32_t message, uintptr_t wparam, intptr_t lparam) {
  loop_.PostToWindow(handle_, message, wparam, lparam);
}

void MessageWindow::Broadcast(uint32_t message, uintptr_t wparam, intptr_t lparam) {
  loop_.Broadcast(message, wparam, lparam);
}

}  // namespace telvane::platform
