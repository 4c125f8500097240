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
  }
  void Cut(const LinePlay& play) override { cuts.push_back(Note(play)); }

  std::string Note(const LinePlay& play) const {
    return std::to_string(loop_.NowMs()) + ":" + std::to_string(play.Size()) + ":";
  }

  std::vector<std::string> sent, cuts;
  size_t total = 0;

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

  void Write(size_t count) {
    sink_->Write(std::vector<int16_t>(count, 7), [this] { played_.push_back(loop_.NowMs()); });
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
