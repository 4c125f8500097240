// The Win32 message loop against the system's own queue: its windows are real hidden
// windows that the system (a wave output, the telephony library) can post to, and what the
// system posts meets what the loop posts in the one order of the thread queue.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/message_loop.h"

namespace telvane::platform {
namespace {

HWND AsHwnd(uint64_t handle) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(handle)); }

struct Received {
  uint32_t message;
  uintptr_t wparam;
  intptr_t lparam;
  bool operator==(const Received&) const = default;
};

class MessageWindowWin32Test : public testing::Test {
 protected:
  MessageLoop loop_{ClockMode::kVirtual};
  std::vector<Received> received_;
  MessageWindow window_{[this](uint32_t message, uintptr_t wparam, intptr_t lparam) {
    received_.push_back({message, wparam, lparam});
  }};
};

// The handle is a hidden window of the loop's thread that takes plain posted messages, as a
// wave output's CALLBACK_WINDOW notifications are, even from another thread.
TEST_F(MessageWindowWin32Test, HandleIsAWindowOfTheThreadThatTakesSystemPosts) {
  HWND window = AsHwnd(window_.Handle());
  ASSERT_TRUE(IsWindow(window));
  EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), GetCurrentThreadId());
  EXPECT_FALSE(IsWindowVisible(window));
  std::thread([window] { EXPECT_TRUE(PostMessageA(window, 0x3BD, 7, 8)); }).join();
  ASSERT_TRUE(loop_.WaitForMessage(0));
  loop_.RunUntilIdle();
  EXPECT_EQ(received_, (std::vector<Received>{{0x3BD, 7, 8}}));
}

// What the loop posts and what the system posts reach the window in the order they were
// queued; the loop counts only its own.
TEST_F(MessageWindowWin32Test, LoopAndSystemPostsKeepTheQueueOrder) {
  window_.Post(0x401, 1, 0);
  PostMessageA(AsHwnd(window_.Handle()), 0x3BD, 2, 0);
  window_.Post(0x402, 3, 0);
  EXPECT_EQ(loop_.QueuedCount(), 2u);
  loop_.RunUntilIdle();
  EXPECT_EQ(received_, (std::vector<Received>{{0x401, 1, 0}, {0x3BD, 2, 0}, {0x402, 3, 0}}));
  EXPECT_EQ(loop_.QueuedCount(), 0u);
}

// Numbers the system will not post itself (their parameters would be pointers) still reach
// the window when the loop posts them, with their parameters unchanged.
TEST_F(MessageWindowWin32Test, AnyMessageNumberCanBePosted) {
  window_.Post(WM_CREATE, 1, -1);
  window_.Post(WM_SETTEXT, 2, -2);
  window_.Post(0, 3, -3);
  loop_.RunUntilIdle();
  EXPECT_EQ(received_,
            (std::vector<Received>{{WM_CREATE, 1, -1}, {WM_SETTEXT, 2, -2}, {0, 3, -3}}));
}

// A destroyed window is gone for the system too, and what was queued for it is dropped.
TEST_F(MessageWindowWin32Test, DestroyedWindowIsGoneAndItsMessagesDropped) {
  bool called = false;
  HWND handle;
  {
    MessageWindow doomed([&](uint32_t, uintptr_t, intptr_t) { called = true; });
    handle = AsHwnd(doomed.Handle());
    doomed.Post(0x401, 0, 0);
    PostMessageA(handle, 0x3BD, 0, 0);
  }
  EXPECT_FALSE(IsWindow(handle));
  EXPECT_EQ(loop_.QueuedCount(), 0u);
  loop_.RunUntilIdle();
  EXPECT_FALSE(called);
}

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_APP + 9) {
    auto* log = reinterpret_cast<std::vector<std::string>*>(wparam);
    log->push_back("foreign " + std::to_string(lparam));
    return 0;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

// A hidden window of someone else on the thread (the telephony library keeps one for its
// callbacks) is served by the same pump, in order with the loop's tasks.
TEST_F(MessageWindowWin32Test, ForeignWindowsOfTheThreadAreDispatched) {
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = &RecordingProc;
  window_class.hInstance = GetModuleHandleA(nullptr);
  window_class.lpszClassName = "TelvaneForeignTestWindow";
  RegisterClassA(&window_class);
  HWND foreign = CreateWindowExA(0, window_class.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                 nullptr, window_class.hInstance, nullptr);
  ASSERT_NE(foreign, nullptr);
  std::vector<std::string> log;
  loop_.PostTask([&] { log.push_back("task 1"); });
  PostMessageA(foreign, WM_APP + 9, reinterpret_cast<WPARAM>(&log), 5);
  loop_.PostTask([&] { log.push_back("task 2"); });
  loop_.RunUntilIdle();
  DestroyWindow(foreign);
  EXPECT_EQ(log, (std::vector<std::string>{"task 1", "foreign 5", "task 2"}));
}

// A message the system queued counts as something to do: a wait returns at once, and on
// the virtual clock time does not jump past a pending delayed task.
TEST_F(MessageWindowWin32Test, SystemMessageEndsAWaitWithoutMovingVirtualTime) {
  loop_.PostDelayedTask(10'000, [] {});
  PostMessageA(AsHwnd(window_.Handle()), 0x3BD, 0, 0);
  EXPECT_TRUE(loop_.WaitForMessage(kInfinite));
  EXPECT_EQ(loop_.NowMs(), 0);
  loop_.RunUntilIdle();
  EXPECT_EQ(received_.size(), 1u);
  EXPECT_TRUE(loop_.WaitForMessage(kInfinite));
  EXPECT_EQ(loop_.NowMs(), 10'000);
}

// Broadcast reaches the loop's windows only, never the loop's own task window.
TEST_F(MessageWindowWin32Test, BroadcastReachesEveryWindowOnce) {
  std::vector<Received> other;
  MessageWindow second([&](uint32_t message, uintptr_t wparam, intptr_t lparam) {
    other.push_back({message, wparam, lparam});
  });
  loop_.Broadcast(32437, 1, 2);
  EXPECT_EQ(loop_.QueuedCount(), 2u);
  loop_.RunUntilIdle();
  EXPECT_EQ(received_, (std::vector<Received>{{32437, 1, 2}}));
  EXPECT_EQ(other, (std::vector<Received>{{32437, 1, 2}}));
}

}  // namespace
}  // namespace telvane::platform
