// Test entry with a watchdog: a test that runs far longer than any test should (one that
// waits for an event that never comes) fails the run loudly instead of hanging CI.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

constexpr auto kTestLimit = std::chrono::seconds(45);

std::atomic<int64_t> g_test_started_ms{0};
std::atomic<bool> g_test_running{false};

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class Watchdog : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo&) override {
    g_test_started_ms = SteadyMs();
    g_test_running = true;
  }
  void OnTestEnd(const testing::TestInfo&) override { g_test_running = false; }
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new Watchdog);
  std::thread([] {
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      const int64_t limit_ms = std::chrono::milliseconds(kTestLimit).count();
      if (g_test_running && SteadyMs() - g_test_started_ms > limit_ms) {
        const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
        std::fprintf(stderr, "watchdog: %s.%s hangs; aborting\n",
                     test ? test->test_suite_name() : "?", test ? test->name() : "?");
        std::abort();
      }
    }
  }).detach();
  return RUN_ALL_TESTS();
}
