#include "platform/message_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/run_until_quiet.h"

namespace telvane::platform {
namespace {

using testing::RunUntilQuiet;

using Log = std::vector<std::string>;

class VirtualLoopTest : public ::testing::Test {
 protected:
  MessageLoop loop_{ClockMode::kVirtual};
  Log log_;

  std::function<void()> Record(std::string name) {
    return [this, name = std::move(name)] { log_.push_back(name); };
  }
  std::function<void()> RecordWithTime(std::string name) {
    return [this, name = std::move(name)] {
      log_.push_back(name + "@" + std::to_string(loop_.NowMs()));
    };
  }
};

// The loop installs itself as the thread's loop, and only that thread's.
TEST(MessageLoopCurrentTest, OneLoopPerThreadForItsLifetime) {
  std::thread([] {
    EXPECT_EQ(MessageLoop::Current(), nullptr);
    {
      MessageLoop loop(ClockMode::kVirtual);
      EXPECT_EQ(MessageLoop::Current(), &loop);
      EXPECT_EQ(loop.Mode(), ClockMode::kVirtual);
      std::thread([] { EXPECT_EQ(MessageLoop::Current(), nullptr); }).join();
    }
    EXPECT_EQ(MessageLoop::Current(), nullptr);
  }).join();
}

// Posted tasks run in posting order, and a task posted while pumping runs after those
// already queued; an empty queue reports false.
TEST_F(VirtualLoopTest, PostedTasksRunInFifoOrder) {
  EXPECT_FALSE(loop_.PumpOne());
  loop_.PostTask(Record("a"));
  loop_.PostTask([this] {
    log_.push_back("b");
    loop_.PostTask(Record("d"));
  });
  loop_.PostTask(Record("c"));
  EXPECT_EQ(loop_.QueuedCount(), 3u);
  EXPECT_EQ(loop_.RunUntilIdle(), 4u);
  EXPECT_EQ(log_, (Log{"a", "b", "c", "d"}));
  EXPECT_EQ(loop_.QueuedCount(), 0u);
}

// A task may pump the loop itself (the device's waits do): the lock is not held while it
// runs, the nested pump takes the next message, and the outer pump goes on after it.
TEST_F(VirtualLoopTest, TaskMayPumpNestedMessages) {
  loop_.PostTask([this] {
    log_.push_back("outer begins");
    EXPECT_TRUE(loop_.PumpOne());
    log_.push_back("outer ends");
  });
  loop_.PostTask(Record("nested"));
  loop_.PostTask(Record("last"));
  loop_.RunUntilIdle();
  EXPECT_EQ(log_, (Log{"outer begins", "nested", "outer ends", "last"}));
}

// Delayed tasks run at their due time, earliest first; tasks due together run in posting
// order, whatever their delays were.
TEST_F(VirtualLoopTest, DelayedTasksRunInDueOrderAndTiesInPostOrder) {
  loop_.PostDelayedTask(30, RecordWithTime("a"));
  loop_.PostDelayedTask(10, RecordWithTime("b"));
  loop_.AdvanceVirtualTime(5);
  loop_.PostDelayedTask(15, RecordWithTime("c"));  // due at 20
  loop_.PostDelayedTask(5, RecordWithTime("d"));   // due at 10, after b
  loop_.PostDelayedTask(25, RecordWithTime("e"));  // due at 30, after a
  EXPECT_EQ(loop_.DelayedCount(), 5u);
  RunUntilQuiet(loop_);
  EXPECT_EQ(log_, (Log{"b@10", "d@10", "c@20", "a@30", "e@30"}));
}

// A delayed task is queued behind what was posted before it fell due and ahead of what was
// posted after; a zero or negative delay is due at once.
TEST_F(VirtualLoopTest, DueTaskKeepsItsPlaceAmongPosts) {
  loop_.PostTask(Record("posted before"));
  loop_.PostDelayedTask(50, Record("due at 50"));
  loop_.AdvanceVirtualTime(50);
  loop_.PostTask(Record("posted after"));
  loop_.PostDelayedTask(0, Record("zero delay"));
  loop_.PostDelayedTask(-7, Record("negative delay"));
  loop_.PostTask(Record("posted last"));
  loop_.RunUntilIdle();
  EXPECT_EQ(log_, (Log{"posted before", "due at 50", "posted after", "zero delay", "negative delay",
                       "posted last"}));
  EXPECT_EQ(loop_.NowMs(), 50);
}

// Cancelling removes a pending task for good; a task already queued, an unknown identifier
// and a second cancel report false.
TEST_F(VirtualLoopTest, CancelRemovesOnlyPendingTasks) {
  const TaskId cancelled = loop_.PostDelayedTask(50, Record("cancelled"));
  const TaskId queued = loop_.PostDelayedTask(10, Record("queued"));
  const TaskId kept = loop_.PostDelayedTask(200, Record("kept"));
  EXPECT_NE(cancelled, 0u);
  EXPECT_NE(cancelled, queued);
  EXPECT_NE(queued, kept);

  EXPECT_TRUE(loop_.CancelDelayedTask(cancelled));
  EXPECT_FALSE(loop_.CancelDelayedTask(cancelled));
  EXPECT_FALSE(loop_.CancelDelayedTask(0));
  EXPECT_EQ(loop_.DelayedCount(), 2u);

  loop_.AdvanceVirtualTime(10);
  EXPECT_FALSE(loop_.CancelDelayedTask(queued));
  EXPECT_TRUE(loop_.WaitForMessage(100));
  EXPECT_EQ(loop_.RunUntilIdle(), 1u);
  // The bounded wait does not stop at the cancelled task's due time.
  EXPECT_FALSE(loop_.WaitForMessage(100));
  EXPECT_EQ(loop_.NowMs(), 110);
  RunUntilQuiet(loop_);
  EXPECT_EQ(log_, (Log{"queued", "kept"}));
}

// A wait on the virtual clock jumps straight to the next due task, reports it and leaves it
// queued; a repeated wait does not move time again.
TEST_F(VirtualLoopTest, WaitJumpsToNextDueTaskAndLeavesItQueued) {
  loop_.PostDelayedTask(250, Record("due"));
  loop_.PostDelayedTask(900, Record("later"));
  EXPECT_TRUE(loop_.WaitForMessage(1000));
  EXPECT_EQ(loop_.NowMs(), 250);
  EXPECT_EQ(loop_.QueuedCount(), 1u);
  EXPECT_TRUE(loop_.WaitForMessage(kInfinite));
  EXPECT_EQ(loop_.NowMs(), 250);
  EXPECT_TRUE(loop_.PumpOne());
  EXPECT_EQ(log_, Log{"due"});
  EXPECT_EQ(loop_.DelayedCount(), 1u);
}

// A bounded wait with nothing due before its end moves time to its end and reports false;
// a zero wait does not move time; a message already queued ends any wait at once.
TEST_F(VirtualLoopTest, BoundedWaitEndsAtItsDeadline) {
  EXPECT_FALSE(loop_.WaitForMessage(400));
  EXPECT_EQ(loop_.NowMs(), 400);
  loop_.PostDelayedTask(1000, Record("late"));
  EXPECT_FALSE(loop_.WaitForMessage(400));
  EXPECT_EQ(loop_.NowMs(), 800);
  EXPECT_FALSE(loop_.WaitForMessage(0));
  EXPECT_EQ(loop_.NowMs(), 800);
  EXPECT_EQ(loop_.DelayedCount(), 1u);

  loop_.PostTask(Record("now"));
  EXPECT_TRUE(loop_.WaitForMessage(kInfinite));
  EXPECT_TRUE(loop_.WaitForMessage(0));
  EXPECT_EQ(loop_.NowMs(), 800);
  EXPECT_EQ(loop_.QueuedCount(), 1u);
  EXPECT_TRUE(log_.empty());
}

// Sleeping on the virtual clock moves time, queues what fell due in due order behind what
// was already queued, and dispatches nothing; AdvanceVirtualTime does the same.
TEST_F(VirtualLoopTest, SleepQueuesDueTasksWithoutDispatching) {
  loop_.PostDelayedTask(30, RecordWithTime("c"));
  loop_.PostDelayedTask(10, RecordWithTime("a"));
  loop_.PostDelayedTask(50, RecordWithTime("d"));
  loop_.PostDelayedTask(20, RecordWithTime("b"));
  loop_.PostTask(RecordWithTime("posted"));

  loop_.Sleep(40);
  EXPECT_EQ(loop_.NowMs(), 40);
  EXPECT_TRUE(log_.empty());
  EXPECT_EQ(loop_.QueuedCount(), 4u);
  EXPECT_EQ(loop_.DelayedCount(), 1u);

  loop_.AdvanceVirtualTime(10);
  EXPECT_EQ(loop_.QueuedCount(), 5u);
  EXPECT_TRUE(log_.empty());
  loop_.RunUntilIdle();
  EXPECT_EQ(log_, (Log{"posted@50", "a@50", "b@50", "c@50", "d@50"}));
}

// Virtual time never goes back, and a sleep or advance of zero or less does not move it.
TEST_F(VirtualLoopTest, TimeNeverGoesBack) {
  loop_.AdvanceVirtualTime(70);
  loop_.AdvanceVirtualTime(-20);
  loop_.AdvanceVirtualTime(0);
  loop_.Sleep(0);
  loop_.Sleep(-5);
  EXPECT_FALSE(loop_.WaitForMessage(0));
  EXPECT_EQ(loop_.NowMs(), 70);
}

// The wall time moves with the virtual clock, from the machine's wall time at the start.
TEST_F(VirtualLoopTest, WallTimeFollowsVirtualClock) {
  const int64_t machine_wall = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count();
  const int64_t start = loop_.WallMs();
  EXPECT_LT(std::abs(start - machine_wall), 60'000);
  loop_.Sleep(3'600'000);
  EXPECT_EQ(loop_.WallMs() - start, 3'600'000);
}

// Delays and waits near the end of the clock's range saturate instead of wrapping round
// into the past: such a task never falls due and such a wait never ends early.
TEST_F(VirtualLoopTest, HugeDelaysNeverFallDue) {
  loop_.AdvanceVirtualTime(1000);
  loop_.PostDelayedTask(std::numeric_limits<int64_t>::max(), Record("never"));
  loop_.PostDelayedTask(std::numeric_limits<int64_t>::max() - 500, Record("never either"));
  loop_.AdvanceVirtualTime(1'000'000);
  EXPECT_EQ(loop_.QueuedCount(), 0u);
  EXPECT_EQ(loop_.DelayedCount(), 2u);
  EXPECT_FALSE(loop_.WaitForMessage(1'000'000'000));
  EXPECT_TRUE(log_.empty());
}

// Messages reach their window with their parameters, in posting order among tasks.
TEST_F(VirtualLoopTest, WindowReceivesItsMessagesInOrder) {
  MessageWindow window([this](uint32_t message, uintptr_t wparam, intptr_t lparam) {
    log_.push_back(std::to_string(message) + "," + std::to_string(wparam) + "," +
                   std::to_string(lparam));
  });
  EXPECT_NE(window.Handle(), 0u);
  window.Post(1024, 7, -3);
  loop_.PostTask(Record("task"));
  window.Post(32437, std::numeric_limits<uintptr_t>::max(), std::numeric_limits<intptr_t>::min());
  loop_.RunUntilIdle();
  EXPECT_EQ(log_, (Log{"1024,7,-3", "task",
                       "32437," + std::to_string(std::numeric_limits<uintptr_t>::max()) + "," +
                           std::to_string(std::numeric_limits<intptr_t>::min())}));
}

// Messages still queued for a window when it is destroyed are dropped; other windows' and
// tasks' messages stay and keep their order.
TEST_F(VirtualLoopTest, DestroyedWindowsMessagesAreDropped) {
  auto doomed = std::make_unique<MessageWindow>([this](uint32_t message, uintptr_t, intptr_t) {
    log_.push_back("doomed " + std::to_string(message));
  });
  MessageWindow survivor([this](uint32_t message, uintptr_t, intptr_t) {
    log_.push_back("survivor " + std::to_string(message));
  });
  EXPECT_NE(doomed->Handle(), survivor.Handle());
  doomed->Post(1, 0, 0);
  survivor.Post(2, 0, 0);
  doomed->Post(3, 0, 0);
  loop_.PostTask(Record("task"));
  survivor.Post(4, 0, 0);
  doomed.reset();
  EXPECT_EQ(loop_.QueuedCount(), 3u);
  loop_.RunUntilIdle();
  EXPECT_EQ(log_, (Log{"survivor 2", "task", "survivor 4"}));
}

// A window whose handler destroys it: the running handler stays valid to its end and the
// window's later messages are dropped.
TEST_F(VirtualLoopTest, WindowMayDestroyItselfInItsHandler) {
  std::unique_ptr<MessageWindow> window;
  int calls = 0;
  window = std::make_unique<MessageWindow>([&](uint32_t, uintptr_t, intptr_t) {
    ++calls;
    const std::string captured = "still alive";
    window.reset();
    log_.push_back(captured);
  });
  window->Post(1, 0, 0);
  window->Post(2, 0, 0);
  loop_.RunUntilIdle();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(log_, Log{"still alive"});
}

// A broadcast reaches every live window exactly once, the sender included, and no
// destroyed one.
TEST_F(VirtualLoopTest, BroadcastReachesEveryLiveWindow) {
  std::vector<std::unique_ptr<MessageWindow>> windows;
  for (int i = 0; i < 4; ++i) {
    windows.push_back(std::make_unique<MessageWindow>(
        [this, i](uint32_t message, uintptr_t wparam, intptr_t lparam) {
          log_.push_back(std::to_string(i) + ":" + std::to_string(message) + "," +
                         std::to_string(wparam) + "," + std::to_string(lparam));
        }));
  }
  windows[2].reset();
  windows[0]->Broadcast(32437, 5, 6);
  loop_.RunUntilIdle();
  std::sort(log_.begin(), log_.end());
  EXPECT_EQ(log_, (Log{"0:32437,5,6", "1:32437,5,6", "3:32437,5,6"}));
}

// RunUntil handles one message at a time and stops right after the one that makes the
// condition hold; a condition that holds already handles nothing.
TEST_F(VirtualLoopTest, RunUntilStopsAtTheMessageThatReachesTheCondition) {
  int count = 0;
  for (int i = 0; i < 3; ++i) loop_.PostTask([&] { ++count; });
  EXPECT_EQ(loop_.RunUntil([&] { return count >= 0; }, kNoDeadline), WaitResult::kReached);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(loop_.RunUntil([&] { return count == 2; }, kNoDeadline), WaitResult::kReached);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(loop_.QueuedCount(), 1u);
}

// Waiting for what comes later jumps to it; a deadline that comes first ends the wait at
// exactly that time, after the messages due before it.
TEST_F(VirtualLoopTest, RunUntilWaitsForLaterMessagesUntilTheDeadline) {
  bool rang = false;
  loop_.PostDelayedTask(700, [&] { rang = true; });
  loop_.PostDelayedTask(300, RecordWithTime("early"));
  EXPECT_EQ(loop_.RunUntil([&] { return rang; }, loop_.DeadlineAfter(500)), WaitResult::kTimedOut);
  EXPECT_EQ(loop_.NowMs(), 500);
  EXPECT_EQ(log_, Log{"early@300"});
  EXPECT_EQ(loop_.RunUntil([&] { return rang; }, kNoDeadline), WaitResult::kReached);
  EXPECT_EQ(loop_.NowMs(), 700);
  loop_.RunFor(100);
  loop_.RunFor(-100);
  EXPECT_EQ(loop_.NowMs(), 800);
  EXPECT_EQ(loop_.DeadlineAfter(kInfinite), kNoDeadline);
  EXPECT_EQ(loop_.DeadlineAfter(std::numeric_limits<int64_t>::max()), kNoDeadline);
}

class RealLoopTest : public ::testing::Test {
 protected:
  MessageLoop loop_{ClockMode::kReal};
};

// A post from another thread wakes a loop waiting without limit or with a long limit.
TEST_F(RealLoopTest, PostFromAnotherThreadWakesWaitingLoop) {
  for (int64_t timeout : {kInfinite, int64_t{20'000}, std::numeric_limits<int64_t>::max()}) {
    bool ran = false;
    const int64_t start = loop_.NowMs();
    std::thread poster([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      loop_.PostTask([&] { ran = true; });
    });
    EXPECT_TRUE(loop_.WaitForMessage(timeout)) << timeout;
    poster.join();
    EXPECT_LT(loop_.NowMs() - start, 10'000) << timeout;
    EXPECT_TRUE(loop_.PumpOne());
    EXPECT_TRUE(ran);
  }
}

// A window post from another thread wakes the loop the same way.
TEST_F(RealLoopTest, WindowPostFromAnotherThreadWakesWaitingLoop) {
  uint32_t received = 0;
  MessageWindow window([&](uint32_t message, uintptr_t, intptr_t) { received = message; });
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    window.Post(77, 0, 0);
  });
  EXPECT_TRUE(loop_.WaitForMessage(kInfinite));
  poster.join();
  EXPECT_TRUE(loop_.PumpOne());
  EXPECT_EQ(received, 77u);
}

// A delayed task posted from another thread while the loop waits without limit wakes the
// loop when it falls due, not before.
TEST_F(RealLoopTest, DelayedTaskFromAnotherThreadWakesLoopWhenDue) {
  const int64_t start = loop_.NowMs();
  std::thread poster([&] { loop_.PostDelayedTask(30, [] {}); });
  EXPECT_TRUE(loop_.WaitForMessage(kInfinite));
  poster.join();
  EXPECT_GE(loop_.NowMs() - start, 30);
  EXPECT_LT(loop_.NowMs() - start, 10'000);
  EXPECT_TRUE(loop_.PumpOne());
}

// A bounded wait with nothing posted times out after its time on the machine's clock.
TEST_F(RealLoopTest, BoundedWaitTimesOut) {
  const auto start = std::chrono::steady_clock::now();
  const int64_t start_ms = loop_.NowMs();
  EXPECT_FALSE(loop_.WaitForMessage(30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(29));
  EXPECT_GE(loop_.NowMs() - start_ms, 30);
}

// Sleeping queues what fell due meanwhile, so it runs ahead of what is posted afterwards.
TEST_F(RealLoopTest, SleepQueuesDueTasksAheadOfLaterPosts) {
  std::vector<std::string> log;
  loop_.PostDelayedTask(5, [&] { log.push_back("due"); });
  loop_.Sleep(20);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(loop_.QueuedCount(), 1u);
  std::thread([&] { loop_.PostTask([&] { log.push_back("posted"); }); }).join();
  loop_.RunUntilIdle();
  EXPECT_EQ(log, (std::vector<std::string>{"due", "posted"}));
}

// Many threads post at once while the loop pumps: nothing is lost, duplicated or reordered
// within one thread's posts.
TEST_F(RealLoopTest, ConcurrentPostsAreAllDeliveredInEachThreadsOrder) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::vector<int> next(kThreads, 0);
  int delivered = 0;
  bool in_order = true;
  MessageWindow window([&](uint32_t thread, uintptr_t sequence, intptr_t) {
    in_order = in_order && static_cast<int>(sequence) == next[thread];
    ++next[thread];
    ++delivered;
  });
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        if (i % 2 == 0) {
          window.Post(static_cast<uint32_t>(t), static_cast<uintptr_t>(i), 0);
        } else {
          loop_.PostTask([&, t, i] {
            in_order = in_order && i == next[t];
            ++next[t];
            ++delivered;
          });
        }
        if (i % 500 == 0) loop_.PostDelayedTask(1, [] {});
      }
    });
  }
  loop_.RunUntil([&] { return delivered == kThreads * kPerThread; }, loop_.DeadlineAfter(20'000));
  for (std::thread& poster : posters) poster.join();
  EXPECT_EQ(delivered, kThreads * kPerThread);
  EXPECT_TRUE(in_order);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kPerThread);
}

// Other threads may read the clock and cancel while the loop runs.
TEST_F(RealLoopTest, ClockAndCancelAreThreadSafe) {
  std::vector<TaskId> ids;
  for (int i = 0; i < 100; ++i) ids.push_back(loop_.PostDelayedTask(10'000, [] {}));
  int cancelled = 0;
  int64_t last_now = 0;
  bool monotonic = true;
  std::thread other([&] {
    for (TaskId id : ids) {
      cancelled += loop_.CancelDelayedTask(id) ? 1 : 0;
      const int64_t now = loop_.NowMs();
      monotonic = monotonic && now >= last_now;
      last_now = now;
      EXPECT_GT(loop_.WallMs(), 0);
    }
  });
  for (int i = 0; i < 100; ++i) {
    loop_.PostTask([] {});
    loop_.PumpOne();
  }
  other.join();
  EXPECT_EQ(cancelled, 100);
  EXPECT_TRUE(monotonic);
  EXPECT_EQ(loop_.DelayedCount(), 0u);
}

}  // namespace
}  // namespace telvane::platform
