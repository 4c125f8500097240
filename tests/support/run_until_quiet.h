// The tests' wait for a loop to have nothing left to do: dispatches until nothing is queued or
// scheduled any more. A loop that never goes quiet (a timer that keeps itself going) fails the
// test after an hour of clock time, which the virtual clock passes at once.
#pragma once

#include <gtest/gtest.h>

#include "platform/message_loop.h"

namespace telvane::testing {

inline void RunUntilQuiet(platform::MessageLoop& loop) {
  const auto quiet = [&loop] { return loop.QueuedCount() == 0 && loop.DelayedCount() == 0; };
  EXPECT_EQ(loop.RunUntil(quiet, loop.DeadlineAfter(3600 * 1000)), platform::WaitResult::kReached)
      << "the loop never went quiet";
}

}  // namespace telvane::testing
