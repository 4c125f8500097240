// The message loop over the thread's own Windows message queue.
//
// Every MessageWindow is a real hidden message-only window of the loop thread, so the handle
// it gives out can be handed to the system (a wave output notifies it with CALLBACK_WINDOW)
// and the system's messages reach its handler unchanged. The telephony library posts its
// callbacks to a hidden window of its own on the same thread; pumping takes them in the one
// order the thread queue has.
//
// What the loop posts itself (tasks, and messages for its windows) is not put in the queue
// as the raw message: the parameters wait in a per-window list, and the queue gets a carrier
// message that tells the window to take the next one. That keeps the order of the queue,
// lets any message number be posted (the system refuses to post some numbers, those whose
// parameters are pointers), and lets the loop count and drop what it queued.
//
// Delayed tasks are kept by the shared loop on its clock, not as window timers: a timer
// message is only made when the queue is empty, so a task due before a later post would run
// after it. The loop hands a due task over like a posted task.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include "platform/message_loop_backend.h"

namespace telvane::platform {

namespace {

struct QueuedMessage {
  uint32_t message = 0;
  uintptr_t wparam = 0;
  intptr_t lparam = 0;
  std::function<void()> task;  // set for the loop's own window, empty for a MessageWindow
};

struct WindowData;

// The window procedure reaches the loop through this, without the loop's private class.
class LoopAccess {
 public:
  virtual ~LoopAccess() = default;
  // Takes the next entry of the window's list; false when the list is empty.
  virtual bool TakePending(WindowData& window, QueuedMessage& out) = 0;
};

// What a window of the loop needs in its window procedure.
struct WindowData {
  LoopAccess* loop = nullptr;
  std::shared_ptr<MessageWindow::Handler> handler;  // null for the loop's task window
  std::deque<QueuedMessage> pending;                // one entry per carrier in the queue
};

// The module the window procedure lives in, which owns the window class.
HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&ThisModule), &module);
  return module;
}

// The carrier is a message number of its own, so it never meets a number an application or
// the system uses.
UINT CarrierMessage() {
  static const UINT carrier = RegisterWindowMessageA("Telvane.MessageLoop.Carrier");
  return carrier;
}

LRESULT CALLBACK LoopWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* data = reinterpret_cast<WindowData*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  // Creation and destruction messages arrive while no data is attached: the system handles
  // them.
  if (data == nullptr) return DefWindowProcA(window, message, wparam, lparam);
  if (message == CarrierMessage()) {
    QueuedMessage entry;
    if (!data->loop->TakePending(*data, entry)) return 0;
    if (entry.task) {
      entry.task();
    } else if (data->handler) {
      // The copy keeps the handler alive if it destroys its own window.
      std::shared_ptr<MessageWindow::Handler> handler = data->handler;
      (*handler)(entry.message, entry.wparam, entry.lparam);
    }
    return 0;
  }
  if (data->handler) {
    std::shared_ptr<MessageWindow::Handler> handler = data->handler;
    (*handler)(message, static_cast<uintptr_t>(wparam), static_cast<intptr_t>(lparam));
    return 0;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

const char* WindowClassName() {
  static const char* const name = [] {
    WNDCLASSEXA window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = &LoopWindowProc;
    window_class.hInstance = ThisModule();
    window_class.lpszClassName = "TelvaneMessageWindow";
    if (RegisterClassExA(&window_class) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      throw std::runtime_error("cannot register the message window class");
    }
    return "TelvaneMessageWindow";
  }();
  return name;
}

// A hidden message-only window: it has no screen presence and gets no broadcasts.
HWND CreateHiddenWindow() {
  HWND window = CreateWindowExA(0, WindowClassName(), "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                ThisModule(), nullptr);
  if (window == nullptr) throw std::runtime_error("cannot create a message window");
  return window;
}

}  // namespace

class Win32Backend final : public MessageLoop::Backend, public LoopAccess {
 public:
  Win32Backend() : wake_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    if (wake_ == nullptr) throw std::runtime_error("cannot create the loop's wake-up event");
    task_window_ = AttachWindow(nullptr);
  }

  ~Win32Backend() override {
    // Tasks still queued die with the loop; their carriers find no window.
    DetachWindow(task_window_);
    CloseHandle(wake_);
  }

  bool PostTask(std::function<void()>& task) override {
    std::lock_guard lock(mu_);
    QueuedMessage message{0, 0, 0, std::move(task)};
    if (PostCarrierLocked(task_window_, *windows_.at(task_window_), message)) return true;
    task = std::move(message.task);
    return false;
  }

  bool PostToWindow(uint64_t window, uint32_t message, uintptr_t wparam, intptr_t lparam) override {
    const HWND hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(window));
    std::lock_guard lock(mu_);
    auto it = windows_.find(hwnd);
    if (it == windows_.end()) {
      // Not a window of this loop (gone, or someone else's): a plain posted message.
      PostMessageA(hwnd, message, wparam, lparam);
      return true;
    }
    QueuedMessage entry{message, wparam, lparam, {}};
    return PostCarrierLocked(hwnd, *it->second, entry);
  }

  void Broadcast(uint32_t message, uintptr_t wparam, intptr_t lparam) override {
    std::lock_guard lock(mu_);
    for (auto& [window, data] : windows_) {
      if (window == task_window_) continue;
      QueuedMessage entry{message, wparam, lparam, {}};
      PostCarrierLocked(window, *data, entry);
    }
  }

  void Wake() override { SetEvent(wake_); }

  bool WaitForMessage(std::optional<TimePoint> until) override {
    MSG message;
    if (PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE)) return true;
    DWORD wait_ms = INFINITE;
    if (until) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          *until - std::chrono::steady_clock::now());
      // A mere look leaves a wake-up pending for the wait that follows it.
      if (left.count() <= 0) return false;
      wait_ms = static_cast<DWORD>(std::min<int64_t>(left.count(), INFINITE - 1));
    }
    // Wakes for a message already in the queue too, not only for one that arrives later.
    MsgWaitForMultipleObjectsEx(1, &wake_, wait_ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    return PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE) != 0;
  }

  bool DispatchOne() override {
    MSG message;
    if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) return false;
    TranslateMessage(&message);
    DispatchMessageA(&message);
    return true;
  }

  uint64_t AddWindow(MessageWindow::Handler handler) override {
    return reinterpret_cast<uintptr_t>(
        AttachWindow(std::make_shared<MessageWindow::Handler>(std::move(handler))));
  }

  void RemoveWindow(uint64_t window) override {
    DetachWindow(reinterpret_cast<HWND>(static_cast<uintptr_t>(window)));
  }

  bool TakePending(WindowData& window, QueuedMessage& out) override {
    std::lock_guard lock(mu_);
    if (window.pending.empty()) return false;
    out = std::move(window.pending.front());
    window.pending.pop_front();
    return true;
  }

  size_t QueuedCount() const override {
    std::lock_guard lock(mu_);
    size_t count = 0;
    for (const auto& entry : windows_) count += entry.second->pending.size();
    return count;
  }

 private:
  // Loop thread only: the window belongs to the thread that creates it.
  HWND AttachWindow(std::shared_ptr<MessageWindow::Handler> handler) {
    HWND window = CreateHiddenWindow();
    auto data = std::make_unique<WindowData>();
    data->loop = this;
    data->handler = std::move(handler);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(data.get()));
    std::lock_guard lock(mu_);
    windows_.emplace(window, std::move(data));
    return window;
  }

  // Loop thread only. Drops what is queued for the window, then destroys it.
  void DetachWindow(HWND window) {
    std::unique_ptr<WindowData> data;
    {
      std::lock_guard lock(mu_);
      auto it = windows_.find(window);
      if (it == windows_.end()) return;
      data = std::move(it->second);
      windows_.erase(it);
    }
    const UINT carrier = CarrierMessage();
    MSG message;
    while (PeekMessageA(&message, window, carrier, carrier, PM_REMOVE)) {
    }
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    DestroyWindow(window);
  }

  // Queues the entry behind a carrier; false (and the entry back in `message`) when the
  // system refuses because the thread's queue is full.
  bool PostCarrierLocked(HWND window, WindowData& data, QueuedMessage& message) {
    data.pending.push_back(std::move(message));
    if (PostMessageA(window, CarrierMessage(), 0, 0)) return true;
    message = std::move(data.pending.back());
    data.pending.pop_back();
    return false;
  }

  const HANDLE wake_;
  HWND task_window_ = nullptr;

  mutable std::mutex mu_;
  std::unordered_map<HWND, std::unique_ptr<WindowData>> windows_;
};

std::unique_ptr<MessageLoop::Backend> MessageLoop::Backend::Create() {
  return std::make_unique<Win32Backend>();
}

}  // namespace telvane::platform
