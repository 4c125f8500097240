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
// Delayed tasks are kept on the loop's clock, not as window timers: a timer message is only
// made when the queue is empty, so a task due before a later post would run after it. A due
// task is queued like a posted task whenever the thread looks at the queue or posts.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include "platform/message_loop.h"
#include "platform/message_loop_impl.h"

namespace telvane::platform {

namespace {

// A thread wait is given whole milliseconds below INFINITE; longer waits are made in slices.
constexpr int64_t kMaxWaitSliceMs = 24 * 60 * 60 * 1000;

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

class Win32Loop final : public MessageLoop::Impl, public LoopAccess {
 public:
  explicit Win32Loop(ClockMode mode)
      : clock_(mode),
        thread_id_(GetCurrentThreadId()),
        wake_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    if (wake_ == nullptr) throw std::runtime_error("cannot create the loop's wake-up event");
    task_window_ = AttachWindow(nullptr);
  }

  ~Win32Loop() override {
    // Tasks still queued die with the loop; their carriers find no window.
    DetachWindow(task_window_);
    CloseHandle(wake_);
  }

  ClockMode mode() const override { return clock_.mode(); }

  int64_t Now() const override { return clock_.Now(); }

  int64_t Wall() const override { return clock_.Wall(); }

  void PostTask(std::function<void()> task) override {
    Post(task_window_, QueuedMessage{0, 0, 0, std::move(task)});
  }

  void PostToWindow(uint64_t window, uint32_t message, uintptr_t wparam, intptr_t lparam) override {
    Post(reinterpret_cast<HWND>(static_cast<uintptr_t>(window)),
         QueuedMessage{message, wparam, lparam, {}});
  }

  uint64_t AddWindow(MessageWindow::Handler handler) override {
    return reinterpret_cast<uintptr_t>(
        AttachWindow(std::make_shared<MessageWindow::Handler>(std::move(handler))));
  }

  void RemoveWindow(uint64_t window) override {
    DetachWindow(reinterpret_cast<HWND>(static_cast<uintptr_t>(window)));
  }

  TaskId PostDelayed(int64_t delay_ms, std::function<void()> task) override {
    std::lock_guard lock(mu_);
    QueueDueLocked();
    const TaskId id =
        delayed_.Add(ClockAdd(Now(), std::max<int64_t>(delay_ms, 0)), std::move(task));
    // A loop waiting without limit must learn that it has a time to wake at.
    SetEvent(wake_);
    return id;
  }

  bool CancelDelayed(TaskId id) override {
    std::lock_guard lock(mu_);
    return delayed_.Cancel(id);
  }

  bool PumpOne() override {
    {
      std::lock_guard lock(mu_);
      QueueDueLocked();
    }
    MSG message;
    if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) return false;
    TranslateMessage(&message);
    DispatchMessageA(&message);
    return true;
  }

  bool WaitForMessage(int64_t timeout_ms) override {
    const bool bounded = timeout_ms >= 0;
    const int64_t deadline = bounded ? ClockAdd(Now(), timeout_ms) : 0;
    for (;;) {
      bool have_due = false;
      int64_t wake = 0;
      {
        std::lock_guard lock(mu_);
        QueueDueLocked();
        if (const std::optional<int64_t> next_due = delayed_.NextDue()) {
          have_due = true;
          wake = *next_due;
        }
      }
      MSG message;
      if (PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE)) return true;
      const int64_t now = Now();
      if (bounded && now >= deadline) return false;
      if (bounded) wake = have_due ? std::min(wake, deadline) : deadline;
      const bool timed = have_due || bounded;
      if (clock_.IsVirtual() && timed) {
        // Nothing to do until the next due point: jump there.
        clock_.SetVirtual(std::max(wake, now));
        continue;
      }
      const DWORD wait_ms =
          timed ? static_cast<DWORD>(std::clamp<int64_t>(wake - now, 0, kMaxWaitSliceMs))
                : INFINITE;
      // Wakes for a message already in the queue too, not only for one that arrives later.
      MsgWaitForMultipleObjectsEx(1, &wake_, wait_ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
  }

  void Sleep(int64_t ms) override {
    if (ms <= 0) return;
    if (clock_.IsVirtual()) {
      AdvanceVirtual(ms);
      return;
    }
    const int64_t end = ClockAdd(Now(), ms);
    for (int64_t now = Now(); now < end; now = Now()) {
      ::Sleep(static_cast<DWORD>(std::min(end - now, kMaxWaitSliceMs)));
    }
    std::lock_guard lock(mu_);
    QueueDueLocked();
  }

  void AdvanceVirtual(int64_t ms) override {
    assert(clock_.IsVirtual());
    std::lock_guard lock(mu_);
    clock_.SetVirtual(ClockAdd(Now(), std::max<int64_t>(ms, 0)));
    QueueDueLocked();
  }

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

  void Broadcast(uint32_t message, uintptr_t wparam, intptr_t lparam) override {
    std::unique_lock lock(mu_);
    QueueDueLocked();
    for (auto& [window, data] : windows_) {
      if (window == task_window_) continue;
      PostCarrierLocked(window, *data, QueuedMessage{message, wparam, lparam, {}});
    }
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

  size_t DelayedCount() const override {
    std::lock_guard lock(mu_);
    return delayed_.Size();
  }

 private:
  // The thread queue holds a limited number of posted messages. Another thread that meets a
  // full queue waits for the loop to take some; the loop thread itself cannot, so for it a
  // full queue is an error.
  void Post(HWND window, QueuedMessage message) {
    for (;;) {
      {
        std::lock_guard lock(mu_);
        QueueDueLocked();
        auto it = windows_.find(window);
        if (it == windows_.end()) {
          // Not a window of this loop (gone, or someone else's): a plain posted message.
          if (!message.task) PostMessageA(window, message.message, message.wparam, message.lparam);
          return;
        }
        if (PostCarrierLocked(window, *it->second, std::move(message))) return;
      }
      if (GetCurrentThreadId() == thread_id_) {
        throw std::runtime_error("the thread's message queue is full");
      }
      ::Sleep(1);
    }
  }

  // Queues the entry behind a carrier; false (and nothing queued) when the system refuses.
  bool PostCarrierLocked(HWND window, WindowData& data, QueuedMessage&& message) {
    data.pending.push_back(std::move(message));
    if (PostMessageA(window, CarrierMessage(), 0, 0)) return true;
    message = std::move(data.pending.back());
    data.pending.pop_back();
    return false;
  }

  void QueueDueLocked() {
    const int64_t now = Now();
    WindowData& tasks = *windows_.at(task_window_);
    delayed_.TakeDue(now, [&](std::function<void()>& task) {
      QueuedMessage message{0, 0, 0, std::move(task)};
      if (PostCarrierLocked(task_window_, tasks, std::move(message))) return true;
      // The queue is full: the task stays due and is queued at the next look.
      task = std::move(message.task);
      return false;
    });
  }

  LoopClock clock_;
  const DWORD thread_id_;
  const HANDLE wake_;
  HWND task_window_ = nullptr;

  mutable std::mutex mu_;
  DelayedTasks delayed_;
  std::unordered_map<HWND, std::unique_ptr<WindowData>> windows_;
};

std::unique_ptr<MessageLoop::Impl> MessageLoop::Impl::Create(ClockMode mode) {
  return std::make_unique<Win32Loop>(mode);
}

}  // namespace telvane::platform
