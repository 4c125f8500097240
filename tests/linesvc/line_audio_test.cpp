// The line-audio timeline when sound is handed over ahead of time (the modem's and the SIP
// line's way), on the virtual clock; handing over whole writes is covered by the sim tests.
#include "linesvc/line_audio.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "platform/wave_devices.h"

namespace telvane::linesvc {
namespace {

using ::testing::ElementsAre;

constexpr DWORD kWaveId = 4300;

// Notes what the timeline hands over, as "at ms: count samples from sample n of write w".
class NotingOutput final : public LineAudioOutput {
 public:
  explicit NotingOutput(platform::MessageLoop& loop) : loop_(loop) {}
  void Send(const LinePlay& play, size_t from, size_t count) override {
    sent.push_back(Note(play) + std::to_string(count) + "@" + std::to_string(from));
    total += count;
    if (send_ms > 0) loop_.AdvanceVirtualTime(send_ms);
  }
  void Cut(const LinePlay& play) override { cuts.push_back(Note(play)); }
  bool CarriesSound() const override { return carries; }

  // The line starts carrying sound, as a modem does on its CONNECT.
  void StartCarrying() {
    carries = true;
    NowCarriesSound();
  }

  std::string Note(const LinePlay& play) const {
    return std::to_string(loop_.NowMs()) + ":" + std::to_string(play.Size()) + ":";
  }

  std::vector<std::string> sent, cuts;
  size_t total = 0;
  bool carries = true;
  int64_t send_ms = 0;  // how long handing over takes (a modem's command written to its port)

 private:
  platform::MessageLoop& loop_;
};

class LineAudioAheadTest : public ::testing::Test {
 protected:
  LineAudioAheadTest() {
    std::string error;
    device_ = LineAudioDevice::Register(kWaveId, "test line", LinePacing::Ahead(150, 20), output_,
                                        &error);
    sink_ = platform::OpenWaveOutDevice(kWaveId);
  }

  void Write(size_t count) { Write(*sink_, count); }
  void Write(platform::WaveSink& sink, size_t count) {
    sink.Write(std::vector<int16_t>(count, 7), [this] { played_.push_back(loop_.NowMs()); });
  }

  platform::MessageLoop loop_{platform::ClockMode::kVirtual};
  std::shared_ptr<NotingOutput> output_ = std::make_shared<NotingOutput>(loop_);
  std::unique_ptr<LineAudioDevice> device_;
  std::unique_ptr<platform::WaveSink> sink_;
  std::vector<int64_t> played_;
};

// Sound goes out 150 ms ahead in 20 ms steps, across writes without a gap, and each write is
// reported played when its last sample is heard, not when it was handed over.
TEST_F(LineAudioAheadTest, HandsOverAheadAndReportsWhenHeard) {
  Write(1600);  // 200 ms
  Write(800);   // 100 ms
  loop_.RunFor(40);
  EXPECT_THAT(output_->sent, ElementsAre("0:1600:1200@0", "20:1600:160@1200", "40:1600:160@1360"));
  loop_.RunFor(1000);
  EXPECT_EQ(output_->total, 2400u);
  EXPECT_THAT(played_, ElementsAre(200, 300));
  EXPECT_TRUE(output_->cuts.empty());
}

// After a silence the timeline starts again when sound comes; a stop cuts what was handed
// over but not heard, tells the output once, and still reports the dropped writes, later.
TEST_F(LineAudioAheadTest, RestartsAfterSilenceAndCutsOnReset) {
  loop_.RunFor(500);
  Write(8000);  // 1 s
  Write(80);
  loop_.RunFor(100);
  EXPECT_EQ(output_->sent.front(), "500:8000:1200@0");
  sink_->Reset();
  EXPECT_THAT(output_->cuts, ElementsAre("600:8000:"));
  EXPECT_TRUE(played_.empty()) << "never from inside Reset";
  loop_.RunFor(10);
  EXPECT_THAT(played_, ElementsAre(600, 600));
  const size_t before = output_->total;
  loop_.RunFor(1000);
  EXPECT_EQ(output_->total, before) << "nothing is sent while nothing is queued";
}

// A line that does not carry sound yet gets only the first hand-over (what makes it start);
// the clock stands still, nothing is reported played, and from the moment the line carries
// sound everything goes on as if it had started then. Whole writes wait the same way.
TEST_F(LineAudioAheadTest, StandsStillUntilTheLineCarriesSound) {
  output_->carries = false;
  output_->send_ms = 2;
  Write(1600);  // 200 ms
  output_->send_ms = 0;
  Write(800);  // 100 ms
  loop_.RunFor(498);
  EXPECT_THAT(output_->sent, ElementsAre("0:1600:1200@0"));
  EXPECT_TRUE(played_.empty());
  EXPECT_EQ(sink_->SamplesHeard(), 0u) << "not even while the first hand-over was made";
  output_->StartCarrying();
  loop_.RunFor(40);
  EXPECT_THAT(output_->sent,
              ElementsAre("0:1600:1200@0", "520:1600:160@1200", "540:1600:160@1360"));
  loop_.RunFor(1000);
  EXPECT_EQ(output_->total, 2400u);
  EXPECT_THAT(played_, ElementsAre(700, 800));

  std::string error;
  const auto whole_output = std::make_shared<NotingOutput>(loop_);
  const auto whole = LineAudioDevice::Register(kWaveId + 1, "whole", LinePacing::WholeWrites(),
                                               whole_output, &error);
  const std::unique_ptr<platform::WaveSink> sink = platform::OpenWaveOutDevice(kWaveId + 1);
  whole_output->carries = false;
  played_.clear();
  Write(*sink, 800);
  Write(*sink, 800);
  loop_.RunFor(1000);
  EXPECT_THAT(whole_output->sent, ElementsAre("1540:800:800@0"));
  EXPECT_TRUE(played_.empty());
  whole_output->StartCarrying();
  loop_.RunFor(1000);
  EXPECT_THAT(whole_output->sent, ElementsAre("1540:800:800@0", "2640:800:800@0"));
  EXPECT_THAT(played_, ElementsAre(2640, 2740));
}

// A line that stops carrying sound is noticed at the next step: that step's hand-over may
// start it again, and the clock stands still there. A reset while held drops everything as
// always, and the next sound is held again until the line carries it.
TEST_F(LineAudioAheadTest, LineThatStopsCarryingHoldsUntilResetOrStart) {
  Write(8000);  // 1 s
  loop_.RunFor(100);
  output_->carries = false;
  loop_.RunFor(400);
  EXPECT_EQ(output_->sent.back(), "120:8000:160@2000") << "one more hand-over, then nothing";
  EXPECT_TRUE(played_.empty());
  sink_->Reset();
  EXPECT_THAT(output_->cuts, ElementsAre("500:8000:"));
  loop_.RunFor(10);
  EXPECT_THAT(played_, ElementsAre(500)) << "dropped writes come back, from the loop";
  Write(800);
  loop_.RunFor(300);
  EXPECT_EQ(output_->sent.back(), "510:800:800@0") << "held again after its first hand-over";
  EXPECT_THAT(played_, ElementsAre(500));
  output_->StartCarrying();
  loop_.RunFor(300);
  EXPECT_THAT(played_, ElementsAre(500, 910));
}

// A number another line holds is refused with the reason; the device goes with its owner.
TEST_F(LineAudioAheadTest, RegistrationIsExclusiveAndEndsWithTheDevice) {
  std::string error;
  EXPECT_EQ(LineAudioDevice::Register(kWaveId, "other", LinePacing::WholeWrites(), output_, &error),
            nullptr);
  EXPECT_EQ(error, "wave device 4300 is taken by another line");
  device_.reset();
  EXPECT_FALSE(platform::HasWaveOutDevice(kWaveId));
}

}  // namespace
}  // namespace telvane::linesvc
