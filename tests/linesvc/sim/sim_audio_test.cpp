// The simulated line's sound: its wave-output device, paced at the line rate on the virtual
// clock; what the callee hears, recorded and logged; keys and hang-ups timed by heard sound.
#include "linesvc/sim/sim_audio.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "linesvc/sim/sim_driver.h"
#include "linesvc/sim/sim_script.h"
#include "platform/wave_devices.h"
#include "tests/linesvc/service_fixture.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/sim_lines.h"
#include "tests/support/wave_files.h"

namespace telvane::linesvc {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing_wave::Ramp;
using testing_wave::ReadRecording;

class SimAudioTest : public ServiceFixture {
 protected:
  explicit SimAudioTest(const std::string& script = "answer after=1000") {
    lines_ = testing::SimLines()
                 .Line("Sim Voice")
                 .Key("wave", "40")
                 .Record((dir_ / "%n-%c.wav").string())
                 .Default(script)
                 .Text();
  }
  ~SimAudioTest() override { sink_.reset(); }

  // Places a call to 5551234 and lets it be answered; the wave device is opened before.
  void Answered() {
    ASSERT_GT(Dial(), 0);
    sink_ = platform::OpenWaveOutDevice(40);
    ASSERT_NE(sink_, nullptr);
    loop_.RunFor(kSimRingbackMs + 1000);
    ASSERT_EQ(CallState(call_), LINECALLSTATE_CONNECTED);
  }

  // Writes the samples; the clock time its played callback ran is kept in order.
  void Write(const std::vector<int16_t>& samples) {
    sink_->Write(samples, [this] { played_.push_back(loop_.NowMs()); });
  }

  std::vector<int16_t> Heard(int call = 1) const {
    return ReadRecording(dir_ / ("5551234-" + std::to_string(call) + ".wav"));
  }

  std::vector<std::string> AudioEvents() const {
    std::vector<std::string> texts;
    for (const Event& event : service_->Events().Entries()) {
      if (event.text.rfind("audio: buffer", 0) == 0) texts.push_back(event.text);
    }
    return texts;
  }

  static std::vector<int16_t> Join(std::vector<int16_t> a, const std::vector<int16_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  const testing::ScratchDir dir_ = testing::ScratchDir::ForCurrentTest();
  std::unique_ptr<platform::WaveSink> sink_;
  std::vector<int64_t> played_;
};

// Writes are heard one after the other at 8000 samples per second: each callback runs when
// its last sample has been heard, back-to-back writes join without a gap, a later one is
// logged with the silence before it, and the recording holds exactly what was heard.
TEST_F(SimAudioTest, WritesArePacedAtTheLineRateAndRecorded) {
  Answered();
  const int64_t start = loop_.NowMs();
  const std::vector<int16_t> a = Ramp(800, 1), b = Ramp(1600, 2), c = Ramp(4, 3);
  Write(a);
  Write(b);
  EXPECT_TRUE(played_.empty());
  loop_.RunFor(500);
  Write(c);
  loop_.RunFor(100);
  EXPECT_THAT(played_, ElementsAre(start + 100, start + 300, start + 501));
  EXPECT_EQ(Heard(), Join(Join(a, b), c));
  const std::string from = std::to_string(start);
  EXPECT_THAT(AudioEvents(),
              ElementsAre("audio: buffer of 800 samples heard from " + from + " to " +
                              std::to_string(start + 100) + " ms, first of the call",
                          HasSubstr("1600 samples heard from " + std::to_string(start + 100) +
                                    " to " + std::to_string(start + 300) + " ms, no gap"),
                          HasSubstr("after a gap of 200 ms")));
  EXPECT_TRUE(
      service_->Events().Contains("Sim Voice", "audio: recording to " + dir_.Path().string()));
}

// A write that arrives in the moment the one before ends continues the same timeline, so
// pieces whose lengths are not whole milliseconds still join without a gap.
TEST_F(SimAudioTest, WriteFromThePlayedCallbackJoinsWithoutAGap) {
  Answered();
  const std::vector<int16_t> a = Ramp(803, 1), b = Ramp(805, 2);
  sink_->Write(a, [this, &b] { Write(b); });
  loop_.RunFor(1000);
  EXPECT_EQ(Heard(), Join(a, b));
  EXPECT_THAT(AudioEvents(), ElementsAre(HasSubstr("first of the call"), HasSubstr("no gap")));
}

// Reset drops what was not heard: the callee heard up to the reset, and the callbacks of
// the dropped writes run afterwards from the loop, in order, never inside Reset.
TEST_F(SimAudioTest, ResetDropsTheUnheardRest) {
  Answered();
  const int64_t start = loop_.NowMs();
  const std::vector<int16_t> a = Ramp(8000, 1);
  Write(a);
  Write(Ramp(8000, 2));
  loop_.RunFor(250);
  sink_->Reset();
  EXPECT_TRUE(played_.empty());
  loop_.RunFor(5000);
  EXPECT_THAT(played_, ElementsAre(start + 250, start + 250));
  EXPECT_EQ(Heard(), std::vector<int16_t>(a.begin(), a.begin() + 2000));
  EXPECT_THAT(AudioEvents(), ElementsAre(HasSubstr("8000 samples cut after 2000")));
}

// An empty write is heard at once, but its callback still comes from the loop.
TEST_F(SimAudioTest, EmptyWriteCompletesFromTheLoop) {
  Answered();
  const int64_t start = loop_.NowMs();
  Write({});
  EXPECT_TRUE(played_.empty());
  loop_.RunFor(10);
  EXPECT_THAT(played_, ElementsAre(start));
  EXPECT_TRUE(Heard().empty());
}

// Sound sent before the answer or after the hang-up is not heard and not recorded, but it
// is paced all the same; a call ending mid-write keeps only what was heard.
TEST_F(SimAudioTest, SoundOutsideTheConnectedCallIsPacedButNotHeard) {
  ASSERT_GT(Dial(), 0);
  sink_ = platform::OpenWaveOutDevice(40);
  loop_.RunFor(100);
  const int64_t early = loop_.NowMs();
  Write(Ramp(800, 1));
  loop_.RunFor(kSimRingbackMs + 1000);
  ASSERT_EQ(CallState(call_), LINECALLSTATE_CONNECTED);
  EXPECT_THAT(played_, ElementsAre(early + 100));
  const std::vector<int16_t> a = Ramp(8000, 2);
  Write(a);
  loop_.RunFor(400);
  ASSERT_GT(service_->Drop(call_, nullptr, 0), 0);
  Write(Ramp(800, 3));
  loop_.RunFor(3000);
  EXPECT_EQ(played_.size(), 3u);
  EXPECT_EQ(Heard(), std::vector<int16_t>(a.begin(), a.begin() + 3200));
  EXPECT_THAT(AudioEvents(), ElementsAre(HasSubstr("800 samples not heard (no call connected)"),
                                         HasSubstr("8000 samples cut after 3200"),
                                         HasSubstr("800 samples not heard (no call connected)")));
}

// A sink let go while it holds sound plays it out; the recording still gets it.
TEST_F(SimAudioTest, ClosedSinkPlaysOutWhatItHolds) {
  Answered();
  const std::vector<int16_t> a = Ramp(1600, 1);
  Write(a);
  sink_.reset();
  loop_.RunFor(1000);
  EXPECT_EQ(played_.size(), 1u);
  EXPECT_EQ(Heard(), a);
}

class HeardScriptTest : public SimAudioTest {
 protected:
  HeardScriptTest() : SimAudioTest("answer after=1000; keys=heard+150:5; hangup after=heard+300") {}
};

// Keys and the hang-up timed by heard sound happen when that much has been heard, however
// the sound is split into writes and whatever silence lies between them; sound that a
// reset cut off does not count.
TEST_F(HeardScriptTest, KeysAndHangUpFollowTheHeardSound) {
  Answered();
  ASSERT_EQ(service_->MonitorDigits(call_, LINEDIGITMODE_DTMF), 0);
  Write(Ramp(800, 1));  // 100 ms heard
  loop_.RunFor(2000);
  EXPECT_EQ(Find(LINE_MONITORDIGITS), nullptr);
  Write(Ramp(8000, 2));
  loop_.RunFor(20);  // 120 ms heard, then the write is cut
  sink_->Reset();
  loop_.RunFor(2000);
  EXPECT_EQ(Find(LINE_MONITORDIGITS), nullptr) << "cut-off sound is not heard";
  const int64_t start = loop_.NowMs();
  Write(Ramp(8000, 3));
  loop_.RunFor(3000);
  const Received* digit = Find(LINE_MONITORDIGITS);
  ASSERT_NE(digit, nullptr);
  EXPECT_EQ(digit->param1, static_cast<DWORD_PTR>('5'));
  EXPECT_EQ(digit->ms, start + 30);
  std::vector<DWORD> states = States(call_);
  ASSERT_EQ(states.back(), LINECALLSTATE_DISCONNECTED);
  int64_t hangup_ms = 0;
  for (const Received& r : received_) {
    if (r.message == LINE_CALLSTATE && r.param1 == LINECALLSTATE_DISCONNECTED) hangup_ms = r.ms;
  }
  EXPECT_EQ(hangup_ms, start + 180);
  EXPECT_EQ(Heard().size(), 2400u);
}

// Each call of the line records to its own file, named by number and call counter.
TEST_F(SimAudioTest, EachCallRecordsToItsOwnFile) {
  Answered();
  Write(Ramp(80, 1));
  loop_.RunFor(100);
  ASSERT_GT(service_->Drop(call_, nullptr, 0), 0);
  loop_.RunFor(100);
  ASSERT_EQ(service_->DeallocateCall(call_), 0);
  ASSERT_GT(MakeCall(line_, "5551234", &call_), 0);
  loop_.RunFor(kSimRingbackMs + 1000);
  Write(Ramp(160, 2));
  loop_.RunFor(100);
  EXPECT_EQ(Heard(1), Ramp(80, 1));
  EXPECT_EQ(Heard(2), Ramp(160, 2));
}

// The line's wave device exists while the service has the line; a line asking for a wave
// device another line holds is left out.
TEST(SimAudioRegistryTest, WaveDeviceLivesWithTheLine) {
  platform::MessageLoop loop(platform::ClockMode::kVirtual);
  const std::string text =
      "[line One]\ndriver = sim\nwave = 41\n[line Two]\ndriver = sim\nwave = 41\n"
      "[line Three]\ndriver = sim\n";
  {
    Service service([&] { return ParseLinesFile(text, "lines.ini"); });
    EXPECT_FALSE(platform::HasWaveOutDevice(41));
    HLINEAPP app = 0;
    DWORD devices = 0;
    ASSERT_EQ(service.Initialize(
                  &app, platform::LineAppInstance(loop),
                  [](DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}, "t", &devices),
              0);
    EXPECT_EQ(devices, 2u);
    EXPECT_TRUE(platform::HasWaveOutDevice(41));
    EXPECT_TRUE(platform::HasWaveOutDevice(1)) << "Three is device 1, its wave device too";
    EXPECT_TRUE(service.Events().Contains("service", "wave device 41 is taken by another line"));
    EXPECT_EQ(service.Shutdown(app), 0);
    EXPECT_TRUE(platform::HasWaveOutDevice(41)) << "the service keeps its lines";
  }
  EXPECT_FALSE(platform::HasWaveOutDevice(41));
  EXPECT_FALSE(platform::HasWaveOutDevice(1));
}

// Record file names take the number (made safe for a file name) and the call counter.
TEST(SimAudioRecordPathTest, ExpandsNumberAndCounter) {
  EXPECT_EQ(RecordPath("/r/%n-%c.wav", "555-12 34", 3), "/r/555_12_34-3.wav");
  EXPECT_EQ(RecordPath("/r/%n.wav", "../*#+", 1), "/r/___*#+.wav");
  EXPECT_EQ(RecordPath("100%%-%x%", "1", 1), "100%-%x%");
}

// Times may count from heard sound for keys and the hang-up only; record needs a name.
TEST(SimAudioScriptTest, HeardTimesWhereTheyMeanSomething) {
  Scenario scenario;
  std::string error;
  ASSERT_TRUE(ParseScenario("keys=heard+7000:5, 200:1; hangup after=heard+3000", &scenario, &error))
      << error;
  EXPECT_EQ(scenario.keys[0].at.anchor, SimTime::Anchor::kHeard);
  EXPECT_EQ(scenario.keys[0].at.ms, 7000);
  EXPECT_EQ(scenario.keys[1].at.anchor, SimTime::Anchor::kAnswer);
  EXPECT_EQ(scenario.hangup->anchor, SimTime::Anchor::kHeard);
  EXPECT_FALSE(ParseScenario("outofservice after=heard+10", &scenario, &error));
  EXPECT_THAT(error, HasSubstr("answer+MS or dial+MS)"));
  EXPECT_FALSE(ParseScenario("hangup after=hear+10", &scenario, &error));
  EXPECT_THAT(error, HasSubstr("heard+MS"));
  EXPECT_EQ(CreateSimDriver({{"record", "", 3}}, 50, &error), nullptr);
  EXPECT_EQ(error, "line 3: record takes a file name");
}

}  // namespace
}  // namespace telvane::linesvc
