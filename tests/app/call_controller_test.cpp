// The call controller over the real line device and the telephony service's simulated lines,
// on the virtual clock: what the callee heard (the line's recording and event log), the
// outcome and the debug lines.
#include "app/call_controller.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/tapi_binding.h"
#include "tests/support/app_fixture.h"
#include "tests/support/heard_log.h"
#include "tests/support/sim_lines.h"
#include "tests/support/wave_files.h"

namespace telvane {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::NamedPlay;
using ::testing::Not;
using testing::SimLines;

// Neither is a whole number of the device's 3-second buffers, so each play ends with a short
// one (which is how the heard log tells plays apart).
constexpr int64_t kGreetingMs = 4000;
constexpr int64_t kMessageMs = 6500;
// A simulated call rings back 1500 ms after the dial; "answer after=N" counts from there.
constexpr int64_t kRingbackMs = 1500;
// Before the first greeting: the pause after the answer (3 ms) and the gap before a play.
constexpr int64_t kBeforeFirstPlayMs = 3 + 1000;

const NamedPlay kGreeting{"greeting", true, true};
const NamedPlay kGreetingCut{"greeting", false, true};
const NamedPlay kMessage{"message", true, true};
const NamedPlay kMessageCut{"message", false, true};

class CallControllerTest : public telvane::testing::AppFixture {
 protected:
  CallControllerTest() {
    platform::SetTapiLibraryName(TELVANE_LINESVC_PATH);
    testing::SetEnvironment("TELVANE_LINES_LOG", (dir_ / "events.log").string());
    files_ = {{"greeting", testing_wave::Ramp(kGreetingMs * 8, 1)},
              {"message", testing_wave::Ramp(kMessageMs * 8, 2)}};
    greeting_ = WriteFile("PressAnyKey.wav", testing_wave::LineWave(files_["greeting"]));
    message_ = WriteFile("message.wav", testing_wave::LineWave(files_["message"]));
  }

  ~CallControllerTest() override {
    controller_.reset();
    device_.reset();
    platform::UnbindTapi();
  }

  // A voice line whose calls follow the script (numbers may have their own) and record what
  // the callee heard.
  SimLines VoiceLine(const std::string& script) {
    return SimLines()
        .Line("Sim Voice Line")
        .Record((dir_ / ("heard-" + std::to_string(builds_ + 1) + "-%c.wav")).string())
        .Default(script);
  }

  // A line device that the telephony service gives these lines, and a plan that calls
  // through the first voice line with the test's greeting and message. The controller is
  // made by Controller(), so a test may change the plan first.
  void Build(const SimLines& lines) {
    controller_.reset();
    device_.reset();
    ++builds_;
    testing::SetEnvironment("TELVANE_LINES", WriteFile("lines.ini", lines.Text()));
    debug_.clear();
    device_ = std::make_unique<LineDevice>();
    plan_ = CallPlan{};
    plan_.line = device_->DeviceList().empty() ? "" : device_->DeviceList().front();
    plan_.message_file = message_;
    plan_.greeting_file = greeting_;
  }

  CallController& Controller() {
    if (!controller_) {
      controller_ = std::make_unique<CallController>(
          *device_, plan_, [this](const std::string& line) { debug_.push_back(line); });
    }
    return *controller_;
  }

  // Places one call; returns what the call printed on standard output.
  std::string CallOnce(const std::string& number = "555") {
    CallController& controller = Controller();
    dialled_ms_ = loop_.NowMs();
    ::testing::internal::CaptureStdout();
    controller.Call(number);
    return ::testing::internal::GetCapturedStdout();
  }

  // The files the callee heard in the line's nth call since the last Build.
  std::vector<NamedPlay> Heard(int call = 1) {
    return testing::HeardFiles(dir_ / "events.log", Recording(call), files_);
  }

  std::vector<testing::HeardPlay> HeardTimes(int call = 1) {
    return testing::HeardPlays(testing::ReadHeardBuffers(dir_ / "events.log", Recording(call)));
  }

  std::filesystem::path Recording(int call) const {
    return dir_ / ("heard-" + std::to_string(builds_) + "-" + std::to_string(call) + ".wav");
  }

  // How many lines of the service's event log hold the text.
  int Logged(const std::string& text) const {
    std::ifstream log(dir_ / "events.log");
    int count = 0;
    for (std::string line; std::getline(log, line);) count += line.find(text) != std::string::npos;
    return count;
  }

  int DebugCount(const std::string& line) const {
    return static_cast<int>(std::count(debug_.begin(), debug_.end(), line));
  }

  // Runs `event` as a message of its own once the first play of the call has started, so an
  // event no simulated line sends still reaches the controller in the middle of its sequence.
  void AtFirstPlay(std::function<void()> event) {
    Controller();
    LineDevice& device = *device_;
    auto handler = device.on_wave_report;
    device.on_wave_report = [this, handler, event, fired = false](WaveReport report) mutable {
      if (handler) handler(report);
      if (report == WaveReport::kOpen && !fired) {
        fired = true;
        loop_.PostTask(event);
      }
    };
  }

  std::unique_ptr<LineDevice> device_;
  CallPlan plan_;
  std::unique_ptr<CallController> controller_;
  std::vector<std::string> debug_;
  std::map<std::string, std::vector<int16_t>> files_;
  std::string greeting_;
  std::string message_;
  int builds_ = 0;
  int64_t dialled_ms_ = 0;
};

// A key during the first greeting stops it and starts the message; the stopped greeting's
// end arrives in state 4 and changes nothing.
TEST_F(CallControllerTest, KeyDuringFirstGreetingStartsMessage) {
  Build(VoiceLine("answer after=1000; keys=1500:5"));
  CallOnce();
  EXPECT_EQ(controller_->ResultCode, kResultCompleted);
  EXPECT_EQ(controller_->State(), PlayState::kCompleted);
  EXPECT_THAT(Heard(), ElementsAre(kGreetingCut, kMessage));
  EXPECT_EQ(controller_->GreetingCount(), 0);
  EXPECT_EQ(DebugCount("Hit"), 1);
  EXPECT_THAT(debug_, Contains("Status: 4"));
  EXPECT_THAT(debug_, Not(Contains("Playing Greeting Done")));
}

// The greeting is played MaxGreetingsCount times when no key comes, at least once.
TEST_F(CallControllerTest, GreetingRepeatsUpToTheCount) {
  for (const auto& [count, plays] :
       std::vector<std::pair<int32_t, size_t>>{{5, 5}, {1, 1}, {0, 1}}) {
    SCOPED_TRACE(count);
    Build(VoiceLine("answer after=1000"));
    plan_.max_greetings = count;
    CallOnce();
    std::vector<NamedPlay> expected(plays, kGreeting);
    expected.push_back(kMessage);
    EXPECT_EQ(Heard(), expected);
    EXPECT_EQ(controller_->ResultCode, kResultCompleted);
    EXPECT_EQ(DebugCount("Playing Greeting Done"), static_cast<int>(plays));
  }
}

// Plays are paced by seconds: a second before the first greeting, two between greetings
// (one after the greeting, one before the next), one before the message.
TEST_F(CallControllerTest, GreetingPlaysArePacedBySeconds) {
  Build(VoiceLine("answer after=1000"));
  plan_.max_greetings = 2;
  CallOnce();
  const std::vector<testing::HeardPlay> plays = HeardTimes();
  ASSERT_EQ(plays.size(), 3u);
  EXPECT_EQ(plays[0].from_ms, dialled_ms_ + kRingbackMs + 1000 + kBeforeFirstPlayMs);
  EXPECT_EQ(plays[1].from_ms, plays[0].from_ms + kGreetingMs + 2000);
  EXPECT_EQ(plays[2].from_ms, plays[1].from_ms + kGreetingMs + 1000);
}

// A key during the message only writes "Hit" (and, as every key, stops the sound playing):
// the call still completes.
TEST_F(CallControllerTest, KeyDuringMessageChangesNothing) {
  Build(VoiceLine("answer after=0; keys=" +
                  std::to_string(kBeforeFirstPlayMs + kGreetingMs + 1000 + 500) + ":1"));
  plan_.max_greetings = 1;
  CallOnce();
  EXPECT_EQ(DebugCount("Hit"), 1);
  EXPECT_EQ(controller_->ResultCode, kResultCompleted);
  EXPECT_THAT(Heard(), ElementsAre(kGreeting, kMessageCut));
}

// The remote side hanging up during the greeting fails the call; the same during the
// message does not, and the call completes when the message ends.
TEST_F(CallControllerTest, DisconnectFailsTheGreetingButNotTheMessage) {
  Build(VoiceLine("answer after=1000; hangup after=2000"));
  CallOnce();
  EXPECT_EQ(controller_->ResultCode, kResultFailed);
  EXPECT_EQ(controller_->ResultText, "Disconnected by remote");
  EXPECT_THAT(Heard(), ElementsAre(kGreetingCut));

  Build(VoiceLine("answer after=0; hangup after=" +
                  std::to_string(kBeforeFirstPlayMs + kGreetingMs + 1000 + 1000)));
  plan_.max_greetings = 1;
  CallOnce();
  EXPECT_EQ(controller_->ResultCode, kResultCompleted);
  EXPECT_EQ(controller_->ResultText, "");
  EXPECT_THAT(Heard(), ElementsAre(kGreeting, kMessageCut));
}

// After a hang-up during the greeting, the next call's greeting advances normally: the
// stale end of the stopped greeting and the interrupted flag do not leak into it.
TEST_F(CallControllerTest, NextCallAfterHangUpAdvancesNormally) {
  Build(VoiceLine("answer after=1000").Number("555", "answer after=1000; hangup after=2000"));
  plan_.max_greetings = 2;
  CallOnce("555");
  ASSERT_EQ(controller_->ResultText, "Disconnected by remote");
  CallOnce("556");
  EXPECT_EQ(controller_->ResultCode, kResultCompleted);
  EXPECT_EQ(controller_->GreetingCount(), 2);
  EXPECT_THAT(Heard(2), ElementsAre(kGreeting, kGreeting, kMessage));
}

// Busy before the answer does not end the wait: the time-out does. After the answer a busy
// status fails the call with its status text. "busy" is printed either way.
TEST_F(CallControllerTest, BusyBeforeAndAfterTheAnswer) {
  Build(VoiceLine("busy after=500"));
  std::string out = CallOnce();
  EXPECT_EQ(out, "busy\n");
  EXPECT_EQ(controller_->ResultText, "Error : Tapi device is not ready");
  EXPECT_EQ(controller_->State(), PlayState::kFailed);
  EXPECT_EQ(loop_.NowMs(), dialled_ms_ + 10000);

  Build(VoiceLine("answer after=1000"));
  AtFirstPlay([this] { device_->on_status({LineStatus::Kind::kBusy, "Called number is busy"}); });
  out = CallOnce();
  EXPECT_EQ(out, "busy\n");
  EXPECT_EQ(controller_->ResultCode, kResultFailed);
  EXPECT_EQ(controller_->ResultText, "Called number is busy");
}

// A failure event during the play sequence fails the call with the failure text. (The line
// device reports failures of calls that never connected only, so the event is sent here.)
TEST_F(CallControllerTest, FailureEventFailsTheCall) {
  Build(VoiceLine("answer after=1000"));
  AtFirstPlay([this] { device_->on_fail("Invalid address"); });
  CallOnce();
  EXPECT_EQ(controller_->ResultCode, kResultFailed);
  EXPECT_EQ(controller_->ResultText, "Tapi failed: Invalid address");
  EXPECT_THAT(debug_, Contains(controller_->ResultText));
}

// A dial refused at once and a call rejected before the answer are only noted (the device
// reports them as failures): the wait still ends by its time-out.
TEST_F(CallControllerTest, FailureBeforeAnswerEndsByTimeOut) {
  for (const char* script : {"refuse", "reject after=300"}) {
    SCOPED_TRACE(script);
    Build(VoiceLine(script));
    CallOnce();
    EXPECT_EQ(controller_->ResultCode, kResultFailed);
    EXPECT_EQ(controller_->ResultText, "Error : Tapi device is not ready");
    EXPECT_THAT(debug_, Contains(HasSubstr("Tapi failed: ")));
  }
}

// The connect wait gives up after whole 10 ms passes, at least one.
TEST_F(CallControllerTest, ConnectTimeOutCountsTenMillisecondPasses) {
  for (const auto& [timeout, gives_up_at] :
       std::vector<std::pair<int32_t, int64_t>>{{25, 30}, {30, 30}, {0, 10}, {-5, 10}}) {
    SCOPED_TRACE(timeout);
    Build(VoiceLine("noanswer"));
    plan_.connect_timeout_ms = timeout;
    CallOnce();
    EXPECT_EQ(controller_->ResultText, "Error : Tapi device is not ready");
    // The failed call is hung up at once; nothing sleeps after a time-out.
    EXPECT_EQ(loop_.NowMs() - dialled_ms_, gives_up_at);
  }
}

// An answer inside the last pass is still taken.
TEST_F(CallControllerTest, AnswerJustBeforeTheTimeOutConnects) {
  Build(VoiceLine("answer after=25"));
  plan_.connect_timeout_ms = kRingbackMs + 30;
  plan_.max_greetings = 1;
  CallOnce();
  EXPECT_EQ(controller_->ResultCode, kResultCompleted);
}

// With the greeting skipped the message repeats until a play ends after the time limit.
TEST_F(CallControllerTest, SkipIntroRepeatsMessageUntilTheLimit) {
  for (const auto& [limit_s, plays] : std::vector<std::pair<int32_t, size_t>>{{10, 2}, {0, 1}}) {
    SCOPED_TRACE(limit_s);
    Build(VoiceLine("answer after=1000"));
    plan_.message_duration_s = limit_s;
    plan_.skip_intro = true;
    CallOnce();
    EXPECT_EQ(controller_->ResultCode, kResultFailed);
    EXPECT_EQ(controller_->ResultText, "Play message duration exceeded");
    EXPECT_EQ(Heard(), std::vector<NamedPlay>(plays, kMessage));
  }
}

// With the greeting skipped, a failure to start the message the first time is a failed
// attempt (nobody heard anything). The line's wave device is asked once per call: a line
// that would name none from its second question on plays every repetition.
TEST_F(CallControllerTest, SkipIntroMessageStartFailure) {
  Build(VoiceLine("answer after=1000; nowave"));
  plan_.skip_intro = true;
  CallOnce();
  EXPECT_EQ(controller_->ResultCode, kResultFailed);
  EXPECT_EQ(controller_->ResultText, "Error : TAPI wave file error");

  Build(VoiceLine("answer after=1000; nowave from=2"));
  plan_.skip_intro = true;
  plan_.message_duration_s = 10;
  CallOnce();
  EXPECT_THAT(Heard(), ElementsAre(kMessage, kMessage));
}

// A greeting that cannot be played fails the attempt with the error's text, and the call
// is hung up.
TEST_F(CallControllerTest, GreetingStartFailureFailsTheAttempt) {
  Build(VoiceLine("answer after=1000; nowave"));
  CallOnce();
  EXPECT_EQ(controller_->ResultCode, kResultFailed);
  EXPECT_EQ(controller_->ResultText, "Error : TAPI wave file error");
  EXPECT_EQ(Logged("Sim Voice Line: drop (request"), 1);
}

// Statuses: line device states print "DevState"; every status writes a debug line; a
// report of the call's progress changes nothing.
TEST_F(CallControllerTest, StatusEventsWriteDebugAndDevStateLines) {
  Build(SimLines());
  Controller();
  LineDevice& device = *device_;
  ::testing::internal::CaptureStdout();
  device.on_status({LineStatus::Kind::kLineState, "In service"});
  device.on_status({LineStatus::Kind::kOther, "Dialing..."});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "DevState\n");
  EXPECT_THAT(debug_, ElementsAre("Status : In service", "Status : Dialing..."));
  EXPECT_EQ(controller_->State(), PlayState::kNone);
}

// Without a debug handler nothing but the plain lines is written.
TEST_F(CallControllerTest, NoDebugLinesWithoutHandler) {
  Build(VoiceLine("answer after=1000"));
  controller_ = std::make_unique<CallController>(*device_, plan_, nullptr);
  EXPECT_EQ(CallOnce(), "");
  EXPECT_TRUE(debug_.empty());
}

// A call given up before its answer does not stand for the next call: that call still
// waits for its own answer before it plays.
TEST_F(CallControllerTest, StaleConnectDoesNotSkipTheNextAnswerWait) {
  Build(VoiceLine("answer after=5000").Number("555", "noanswer"));
  plan_.max_greetings = 1;
  CallOnce("555");
  ASSERT_EQ(controller_->ResultText, "Error : Tapi device is not ready");
  CallOnce("556");
  EXPECT_EQ(controller_->ResultCode, kResultCompleted);
  const std::vector<testing::HeardPlay> plays = HeardTimes(2);
  ASSERT_FALSE(plays.empty());
  EXPECT_EQ(plays.front().from_ms, dialled_ms_ + kRingbackMs + 5000 + kBeforeFirstPlayMs);
}

}  // namespace
}  // namespace telvane
