// The digit monitor's rules, over a playback into a wave device of the test's own that
// plays for ever: which keys reach the application, and what they do to a playback.
#include "voice/dtmf_monitor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <utility>
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
using Key = std::pair<char, int32_t>;

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
    playback_.Play(dir_.Write("a.wav", testing_wave::LineWave(testing_wave::Ramp(800))));
    loop_.RunUntilIdle();
    ASSERT_EQ(playback_.Phase(), TWavePhase::wpPlaying);
  }

  platform::MessageLoop loop_{platform::ClockMode::kVirtual};
  testing::ScratchDir dir_ = testing::ScratchDir::ForCurrentTest();
  TObject device_;
  std::vector<Key> keys_;
  TTapiDTMFEvent on_digit_ = [this](TObject&, char digit, int32_t error) {
    keys_.emplace_back(digit, error);
  };
  TTapiWaveNotify on_wave_;
  platform::MessageWindow window_{[this](uint32_t message, uintptr_t wparam, intptr_t) {
    playback_.OnWindowMessage(message, wparam);
  }};
  WavePlayback playback_{window_, device_, on_wave_, [] { return kDevice; }};
  DigitMonitor monitor_{playback_, device_, on_digit_};
};

// NUL and blank keys from the line are dropped; a key stops the running playback first and
// is then reported.
TEST_F(DigitMonitorTest, KeysStopThePlaybackAndBlanksAreDropped) {
  PlayForEver();
  monitor_.ReportDigit('\0', 0);
  monitor_.ReportDigit(' ', 0);
  EXPECT_TRUE(keys_.empty());
  monitor_.ReportDigit('5', 0);
  EXPECT_THAT(keys_, ElementsAre(Key{'5', 0}));
  loop_.RunUntilIdle();
  EXPECT_EQ(playback_.Phase(), TWavePhase::wpIdle);
}

// Without InterruptPlayback a key that comes while a file plays is dropped and the playback
// goes on; the same key while nothing plays is reported.
TEST_F(DigitMonitorTest, WithoutInterruptKeysDuringAPlaybackAreDropped) {
  playback_.SetInterruptPlayback(false);
  PlayForEver();
  monitor_.ReportDigit('1', 0);
  loop_.RunUntilIdle();
  EXPECT_TRUE(keys_.empty());
  EXPECT_EQ(playback_.Phase(), TWavePhase::wpPlaying);
  playback_.Stop();
  loop_.RunUntilIdle();
  monitor_.ReportDigit('1', 0);
  EXPECT_THAT(keys_, ElementsAre(Key{'1', 0}));
}

// A line that cannot report keys is told to the handler once, as a blank with the refusal;
// without a handler it raises; without voice nothing is asked of the line.
TEST_F(DigitMonitorTest, RefusedMonitoringIsReportedOrRaised) {
  platform::SetTapiLibraryName((dir_ / "libnone.so").string());
  monitor_.Start(1, LINEDIGITMODE_DTMF, /*voice_enabled=*/false);
  EXPECT_TRUE(keys_.empty());
  monitor_.Start(1, LINEDIGITMODE_DTMF, /*voice_enabled=*/true);
  EXPECT_THAT(keys_, ElementsAre(Key{' ', ecTapiLoadFail}));
  on_digit_ = nullptr;
  EXPECT_THROW(monitor_.Start(1, LINEDIGITMODE_DTMF, true), ETapiVoiceNotSupported);
  platform::UnbindTapi();
}

}  // namespace
}  // namespace telvane
