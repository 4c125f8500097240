// The digit monitor's rules, over a player into a wave device of the test's own that plays
// for ever: which keys reach the application, and what they do to a playback.
#include "voice/dtmf_monitor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/errors.h"
#include "platform/message_loop.h"
#include "platform/tapi_binding.h"
#include "platform/wave_devices.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/wave_files.h"

namespace telvane {
namespace {

using ::testing::ElementsAre;

constexpr UINT kDevice = 4242;

// A line whose sound is never done: a playback runs until it is stopped.
class EndlessSink : public platform::WaveSink {
  void Write(std::vector<int16_t>, std::function<void()>) override {}
  void Reset() override {}
  uint64_t SamplesHeard() const override { return 0; }
};

class DigitMonitorTest : public ::testing::Test {
 protected:
  DigitMonitorTest() {
    platform::RegisterWaveOutDevice(kDevice, "endless line",
                                    [] { return std::make_unique<EndlessSink>(); });
  }
  ~DigitMonitorTest() override { platform::UnregisterWaveOutDevice(kDevice); }

  void PlayForEver() {
    player_.Play(dir_.Write("a.wav", testing_wave::LineWave(testing_wave::Ramp(800))),
                 [this](const PlayResult& result) { results_.push_back(result); });
    loop_.RunUntilIdle();
    ASSERT_TRUE(player_.Playing());
  }

  platform::MessageLoop loop_{platform::ClockMode::kVirtual};
  testing::ScratchDir dir_ = testing::ScratchDir::ForCurrentTest();
  std::vector<char> keys_;
  std::vector<PlayResult> results_;
  DigitMonitor::KeyHandler on_key_ = [this](char key) { keys_.push_back(key); };
  platform::MessageWindow window_{[this](uint32_t message, uintptr_t wparam, intptr_t) {
    player_.OnWindowMessage(message, wparam);
  }};
  WavePlayer player_{window_, [] { return kDevice; }, nullptr};
  DigitMonitor monitor_{player_, on_key_};
};

// NUL and blank keys from the line are dropped; a key stops the running playback first and
// is then reported, also when nothing plays.
TEST_F(DigitMonitorTest, KeysStopThePlaybackAndBlanksAreDropped) {
  PlayForEver();
  monitor_.ReportKey('\0');
  monitor_.ReportKey(' ');
  EXPECT_TRUE(keys_.empty());
  monitor_.ReportKey('5');
  EXPECT_THAT(keys_, ElementsAre('5'));
  loop_.RunUntilIdle();
  EXPECT_FALSE(player_.Playing());
  ASSERT_EQ(results_.size(), 1u);
  EXPECT_EQ(results_[0].end, PlayEnd::kKey);
  EXPECT_EQ(results_[0].key, '5');
  monitor_.ReportKey('#');
  EXPECT_THAT(keys_, ElementsAre('5', '#'));
  loop_.RunUntilIdle();
  EXPECT_EQ(results_.size(), 1u) << "a key with nothing playing ends nothing";
}

// The owner's stop (its hang-up) completes the playback at once, whether its end was on the
// way already (a key) or not: nothing of it comes afterwards.
TEST_F(DigitMonitorTest, StopCompletesThePlaybackAtOnce) {
  for (const char key : {'\0', '7'}) {
    results_.clear();
    PlayForEver();
    monitor_.ReportKey(key);
    player_.Stop();
    ASSERT_EQ(results_.size(), 1u);
    EXPECT_EQ(results_[0].end, key == '\0' ? PlayEnd::kLineGone : PlayEnd::kKey);
    loop_.RunUntilIdle();
    EXPECT_EQ(results_.size(), 1u);
  }
}

// A line that cannot report keys is told to the handler once, as a blank; without a handler
// it raises.
TEST_F(DigitMonitorTest, RefusedMonitoringIsReportedOrRaised) {
  platform::SetTapiLibraryName((dir_ / "libnone.so").string());
  monitor_.Start(1);
  EXPECT_THAT(keys_, ElementsAre(' '));
  on_key_ = nullptr;
  EXPECT_THROW(monitor_.Start(1), ETapiVoiceNotSupported);
  platform::UnbindTapi();
}

}  // namespace
}  // namespace telvane
