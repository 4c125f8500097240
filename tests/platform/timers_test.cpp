#include "platform/timers.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace telvane::platform {
namespace {

using Log = std::vector<std::string>;

class TimerTest : public testing::Test {
 protected:
  std::function<void()> Record(std::string name) {
    return [this, name = std::move(name)] { log_.push_back(name); };
  }
  std::function<void()> RecordWithTime(std::string name) {
    return [this, name = std::move(name)] {
      log_.push_back(name + "@" + std::to_string(loop_.NowMs()));
    };
  }
  // Handles everything that falls due until the clock reads end_ms.
  void RunTo(int64_t end_ms) {
    loop_.RunUntil([] { return false; }, end_ms);
  }

  MessageLoop loop_{ClockMode::kVirtual};
  Log log_;
};

using TaskGroupTest = TimerTest;

// What a group posted runs in order while the group lives; cancelling drops the delayed
// tasks from the loop and turns those already queued into nothing, and the group goes on.
TEST_F(TaskGroupTest, CancelAllDropsPendingAndQueuedTasks) {
  TaskGroup group;
  group.PostDelayed(100, RecordWithTime("early"));
  group.PostDelayed(300, RecordWithTime("late"));
  group.Post(Record("posted"));
  RunTo(150);
  EXPECT_EQ(log_, (Log{"posted", "early@100"}));
  EXPECT_EQ(group.PendingCount(), 1u);
  group.Post(Record("queued"));
  group.CancelAll();
  EXPECT_EQ(group.PendingCount(), 0u);
  EXPECT_EQ(loop_.DelayedCount(), 0u);
  group.PostDelayed(10, RecordWithTime("after"));
  RunTo(1000);
  EXPECT_EQ(log_, (Log{"posted", "early@100", "after@160"}));
}

// Destroying the group cancels its tasks; one task may be cancelled alone; a task may
// destroy its own group and still run to its end.
TEST_F(TaskGroupTest, DestructionAndSingleCancel) {
  auto group = std::make_unique<TaskGroup>(loop_);
  const TaskId dropped = group->PostDelayed(50, Record("dropped"));
  group->PostDelayed(100, [&] {
    group.reset();
    log_.push_back("destroyed its group");
  });
  group->PostDelayed(100, Record("after the end"));
  group->Post(Record("posted"));
  EXPECT_TRUE(group->Cancel(dropped));
  EXPECT_FALSE(group->Cancel(dropped));
  RunTo(1000);
  EXPECT_EQ(log_, (Log{"posted", "destroyed its group"}));
  EXPECT_EQ(loop_.DelayedCount(), 0u);
}

// Another thread may post through the group; the task runs on the loop thread.
TEST_F(TaskGroupTest, PostFromAnotherThreadRunsOnTheLoop) {
  TaskGroup group;
  std::thread::id ran_on;
  std::thread([&] { group.Post([&] { ran_on = std::this_thread::get_id(); }); }).join();
  EXPECT_EQ(loop_.RunUntil([&] { return ran_on != std::thread::id(); }, kNoDeadline),
            WaitResult::kReached);
  EXPECT_EQ(ran_on, std::this_thread::get_id());
}

// A sender posts into the group from another thread while the group lives; what it queued
// is dropped with the group, and a post after that does nothing.
TEST_F(TaskGroupTest, SenderPostsWhileTheGroupLivesOnly) {
  auto group = std::make_unique<TaskGroup>();
  const TaskGroup::Sender sender = group->MakeSender();
  std::thread([&] { sender.Post(Record("sent")); }).join();
  RunTo(1);
  std::thread([&] { sender.Post(Record("queued")); }).join();
  group.reset();
  std::thread([&] { sender.Post(Record("late")); }).join();
  RunTo(2);
  EXPECT_EQ(log_, Log{"sent"});
}

using OneShotTimerTest = TimerTest;

// The timer runs once at its delay; a restart replaces the pending run, Stop and
// destruction cancel it.
TEST_F(OneShotTimerTest, RunsOnceUnlessRestartedOrStopped) {
  OneShotTimer timer;
  timer.Start(100, RecordWithTime("replaced"));
  RunTo(50);
  timer.Start(100, RecordWithTime("fired"));
  EXPECT_TRUE(timer.IsRunning());
  RunTo(500);
  EXPECT_FALSE(timer.IsRunning());
  timer.Start(10, RecordWithTime("stopped"));
  timer.Stop();
  EXPECT_FALSE(timer.IsRunning());
  auto destroyed = std::make_unique<OneShotTimer>(loop_);
  destroyed->Start(10, RecordWithTime("destroyed"));
  destroyed.reset();
  RunTo(1000);
  EXPECT_EQ(log_, Log{"fired@150"});
  EXPECT_EQ(loop_.DelayedCount(), 0u);
}

using RepeatingTimerTest = TimerTest;

// The timer ticks once per interval, at the interval's multiples, until stopped; a stopped
// timer leaves nothing pending.
TEST_F(RepeatingTimerTest, TicksEveryIntervalUntilStopped) {
  RepeatingTimer timer;
  EXPECT_FALSE(timer.IsRunning());
  timer.Start(100, RecordWithTime("tick"));
  EXPECT_TRUE(timer.IsRunning());
  RunTo(350);
  EXPECT_EQ(log_, (Log{"tick@100", "tick@200", "tick@300"}));
  timer.Stop();
  EXPECT_FALSE(timer.IsRunning());
  EXPECT_EQ(loop_.DelayedCount(), 0u);
  RunTo(1000);
  EXPECT_EQ(log_.size(), 3u);
  timer.Stop();  // stopping twice is harmless
}

// Destroying a running timer stops it.
TEST_F(RepeatingTimerTest, DestroyingTimerStopsIt) {
  auto timer = std::make_unique<RepeatingTimer>();
  timer->Start(50, Record("tick"));
  RunTo(120);
  timer.reset();
  EXPECT_EQ(loop_.DelayedCount(), 0u);
  RunTo(1000);
  EXPECT_EQ(log_, (Log{"tick", "tick"}));
}

// A tick that fell due and is queued does not run once the timer is stopped or destroyed.
TEST_F(RepeatingTimerTest, QueuedTickDoesNotRunAfterStop) {
  RepeatingTimer timer;
  timer.Start(100, Record("stopped"));
  auto destroyed = std::make_unique<RepeatingTimer>();
  destroyed->Start(100, Record("destroyed"));
  loop_.AdvanceVirtualTime(100);
  EXPECT_EQ(loop_.QueuedCount(), 2u);
  timer.Stop();
  destroyed.reset();
  loop_.RunUntilIdle();
  RunTo(1000);
  EXPECT_TRUE(log_.empty());
}

// Restarting replaces the interval, the callback and the schedule, counted from the restart.
TEST_F(RepeatingTimerTest, RestartReplacesSchedule) {
  RepeatingTimer timer;
  timer.Start(100, RecordWithTime("old"));
  loop_.AdvanceVirtualTime(50);
  timer.Start(30, RecordWithTime("new"));
  RunTo(115);
  EXPECT_EQ(log_, (Log{"new@80", "new@110"}));
  EXPECT_EQ(loop_.DelayedCount(), 1u);
}

// The callback may stop its own timer, or destroy it, on any tick.
TEST_F(RepeatingTimerTest, CallbackMayStopOrDestroyItsOwnTimer) {
  RepeatingTimer stopped;
  int stopped_ticks = 0;
  stopped.Start(10, [&] {
    if (++stopped_ticks == 3) stopped.Stop();
  });
  auto destroyed = std::make_unique<RepeatingTimer>();
  int destroyed_ticks = 0;
  destroyed->Start(15, [&] {
    if (++destroyed_ticks == 2) destroyed.reset();
  });
  RunTo(1000);
  EXPECT_EQ(stopped_ticks, 3);
  EXPECT_FALSE(stopped.IsRunning());
  EXPECT_EQ(destroyed_ticks, 2);
  EXPECT_EQ(destroyed, nullptr);
  EXPECT_EQ(loop_.DelayedCount(), 0u);
}

// The callback may restart its own timer with a new interval and callback.
TEST_F(RepeatingTimerTest, CallbackMayRestartItsOwnTimer) {
  RepeatingTimer timer;
  timer.Start(100, [&] {
    log_.push_back("first@" + std::to_string(loop_.NowMs()));
    timer.Start(40, RecordWithTime("second"));
  });
  RunTo(190);
  EXPECT_EQ(log_, (Log{"first@100", "second@140", "second@180"}));
}

// A callback that stops its timer and then pumps nested messages (as the device's waits do)
// must not see the tick that fell due while it worked.
TEST_F(RepeatingTimerTest, StoppedInCallbackThenNestedPumpRunsNoStaleTick) {
  RepeatingTimer timer;
  int ticks = 0;
  timer.Start(100, [&] {
    if (++ticks > 1) return;
    loop_.AdvanceVirtualTime(100);  // work that outlasts the interval: the next tick is queued
    timer.Stop();
    loop_.RunUntilIdle();
  });
  RunTo(1000);
  EXPECT_EQ(ticks, 1);
}

// A zero interval still lets time move on: each tick falls due a moment later, not at once
// for ever.
TEST_F(RepeatingTimerTest, ZeroIntervalDoesNotFreezeTime) {
  RepeatingTimer timer;
  int ticks = 0;
  timer.Start(0, [&] { ++ticks; });
  for (int i = 0; i < 50 && loop_.NowMs() < 5; ++i) {
    ASSERT_TRUE(loop_.WaitForMessage(kInfinite));
    loop_.PumpOne();
  }
  EXPECT_GE(loop_.NowMs(), 5);
  EXPECT_GE(ticks, 1);
  EXPECT_LE(ticks, loop_.NowMs());
}

}  // namespace
}  // namespace telvane::platform
