// The application thread's message queue, its clock and its one way of waiting.
//
// Everything the program does runs on one thread: telephony callbacks, wave-output
// completions, the line device's deferred notifications and timers all reach it as messages
// in this queue, and run when the thread pumps (PumpOne) or inside a wait. Other threads
// (a driver's serial reader, an audio pacer) only post.
//
//   MessageLoop loop(ClockMode::kVirtual);       // one per thread, owned by that thread
//   MessageWindow window([](uint32_t id, uintptr_t w, intptr_t l) { ... });
//   window.Post(kMyMessage, 1, 2);               // from any thread
//   if (loop.RunUntil([&] { return done; }, loop.DeadlineAfter(30000)) ==
//       WaitResult::kTimedOut) { ... }
//
// Waiting. RunUntil is the one bounded wait, "handle messages one at a time until this holds
// or that time has come", and RunFor is made of it. PumpOne and WaitForMessage are the two
// steps it repeats: a caller that waits for something says what in a RunUntil rather than
// repeating them by hand. RunUntilIdle handles what is queued without waiting; Sleep is a
// pause that handles nothing. Timers that cancel what they scheduled when they are destroyed
// are in platform/timers.h.
//
// Time. The loop owns the one clock of the thread: "now", the wall time, Sleep, timers,
// delayed tasks and wait time-outs all read it. On the virtual clock time stands still
// while the thread works and jumps, whenever the thread sleeps or waits with nothing
// queued, to the next due delayed task (or to the end of the sleep or wait), so a call with
// ten-second time-outs runs in milliseconds and the same way every time.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>

namespace telvane::platform {

enum class ClockMode { kReal, kVirtual };

// A wait without time-out.
inline constexpr int64_t kInfinite = -1;

// A deadline that never comes.
inline constexpr int64_t kNoDeadline = std::numeric_limits<int64_t>::max();

// How a RunUntil ended.
enum class WaitResult { kReached, kTimedOut };

// Identifies a delayed task so that it can be cancelled; 0 is never used.
using TaskId = uint64_t;

class MessageLoop {
 public:
  // Makes this loop the calling thread's current loop; there may be one per thread.
  explicit MessageLoop(ClockMode mode = ClockMode::kReal);
  ~MessageLoop();
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;

  // The calling thread's loop, or null when it has none.
  static MessageLoop* Current();

  ClockMode Mode() const;

  // Thread-safe. Queues a task that runs when the loop thread dispatches it.
  void PostTask(std::function<void()> task);

  // Thread-safe. Runs the task on the loop thread once delay_ms have passed on the clock:
  // it is queued behind whatever was posted before it fell due. Returns its identifier.
  TaskId PostDelayedTask(int64_t delay_ms, std::function<void()> task);

  // Thread-safe. Cancels a delayed task that has not been queued yet; true if it was found.
  bool CancelDelayedTask(TaskId id);

  // Thread-safe. Queues the message for every live window of the loop (a broadcast).
  void Broadcast(uint32_t message, uintptr_t wparam, intptr_t lparam);

  // Thread-safe. Queues a message for the window with this handle (MessageWindow::Handle());
  // it is dropped if that window is gone when the message is taken.
  void PostToWindow(uint64_t window, uint32_t message, uintptr_t wparam, intptr_t lparam);

  // Loop thread only. Takes at most one queued message without waiting and dispatches it.
  // Returns false when there was none.
  bool PumpOne();

  // Loop thread only. Dispatches queued messages, those queued meanwhile included, until
  // none is left; never waits and never moves the clock. Returns how many ran.
  size_t RunUntilIdle();

  // Loop thread only. Handles messages one at a time, waiting for the next when none is
  // queued, until done() holds (kReached) or the clock reaches deadline_ms (kTimedOut).
  // done() is asked first and after every message, so a condition that already holds
  // handles nothing; the deadline is looked at between messages only. kNoDeadline waits
  // without limit.
  WaitResult RunUntil(const std::function<bool()>& done, int64_t deadline_ms);

  // Loop thread only. Handles every message that falls due within the next ms on the clock,
  // those due at its very end included: RunUntil with a condition that never holds, then
  // RunUntilIdle.
  void RunFor(int64_t ms);

  // Thread-safe. The clock time ms from now, held at kNoDeadline so that it cannot wrap;
  // kInfinite (or any negative time) gives kNoDeadline.
  int64_t DeadlineAfter(int64_t ms) const;

  // Loop thread only. Returns true as soon as a message is queued (it stays queued), false
  // when timeout_ms passed first. kInfinite waits without limit.
  bool WaitForMessage(int64_t timeout_ms);

  // Loop thread only. Blocks the thread for ms milliseconds of clock time; nothing is
  // dispatched meanwhile. Delayed tasks that fall due are queued in order.
  void Sleep(int64_t ms);

  // Thread-safe. Milliseconds on the clock since the loop was made; never goes back.
  int64_t NowMs() const;

  // Thread-safe. The local wall time, milliseconds since 1970, that goes with NowMs().
  int64_t WallMs() const;

  // Loop thread only, virtual clock only: moves time forward to now + ms, queueing what
  // falls due. Tests use it to stand for work that takes time.
  void AdvanceVirtualTime(int64_t ms);

  // Number of messages queued and delayed tasks pending; for tests and diagnostics.
  size_t QueuedCount() const;
  size_t DelayedCount() const;

  // The system's part of the loop (message_loop_backend.h); only the backends use it.
  class Backend;

 private:
  friend class MessageWindow;
  class Core;
  std::unique_ptr<Core> core_;
};

// A target for window-style messages (message number and two parameters), the equivalent
// of a hidden window and its window procedure. Messages still queued for a window when it
// is destroyed are dropped, never delivered to a dead object.
class MessageWindow {
 public:
  using Handler = std::function<void(uint32_t message, uintptr_t wparam, intptr_t lparam)>;

  // Loop thread only: registers with the calling thread's current loop, which must exist.
  explicit MessageWindow(Handler handler);
  ~MessageWindow();
  MessageWindow(const MessageWindow&) = delete;
  MessageWindow& operator=(const MessageWindow&) = delete;

  // Thread-safe. Queues a message for this window.
  void Post(uint32_t message, uintptr_t wparam, intptr_t lparam);

  // Thread-safe. Queues the message for every live window of the loop (a broadcast).
  void Broadcast(uint32_t message, uintptr_t wparam, intptr_t lparam);

  uint64_t Handle() const { return handle_; }

 private:
  MessageLoop& loop_;
  uint64_t handle_;
};

}  // namespace telvane::platform
