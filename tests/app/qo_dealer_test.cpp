// The call controller driven through a scripted line device on the virtual clock.
#include "app/qo_dealer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "tests/support/app_fixture.h"
#include "tests/support/scripted_tapi_device.h"

namespace telvane {
namespace {

using telvane::testing::CallScript;
using telvane::testing::ScriptedLine;
using telvane::testing::ScriptedTapiDevice;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr int64_t kGreetingMs = 4000;
constexpr int64_t kMessageMs = 6000;

class QoTelvaneTest : public telvane::testing::AppFixture {
 protected:
  // Builds the controller over a scripted device with the given lines.
  void Build(std::vector<ScriptedLine> lines = {{"Sim Voice Line", true}},
             const std::string& device_name = "") {
    debug_.clear();
    controller_ = std::make_unique<QoTelvane>(device_name, [this, lines] {
      auto device = std::make_unique<ScriptedTapiDevice>(lines);
      device_ = device.get();
      return device;
    });
    controller_->OnDebug = [this](TObject&, const std::string& line) { debug_.push_back(line); };
    controller_->MessageFile = "message.wav";
    greeting_ = controller_->GreetingFile();
    device_->SetWaveLength(greeting_, kGreetingMs);
    device_->SetWaveLength("message.wav", kMessageMs);
  }

  // Finds the device and places one call; returns what the call printed on standard output.
  std::string CallOnce(const std::string& number = "555") {
    if (controller_->DeviceName().empty() || device_->SelectedDevice().empty()) {
      EXPECT_TRUE(controller_->FindDevice());
    }
    ::testing::internal::CaptureStdout();
    controller_->Call(number);
    return ::testing::internal::GetCapturedStdout();
  }

  std::vector<std::string> PlayedFiles() const {
    std::vector<std::string> files;
    for (const auto& play : device_->Plays()) files.push_back(play.file_name);
    return files;
  }

  int DebugCount(const std::string& line) const {
    return static_cast<int>(std::count(debug_.begin(), debug_.end(), line));
  }

  static CallScript Answered(int64_t after_ms = 1000) {
    CallScript script;
    script.connect_after = after_ms;
    return script;
  }

  std::unique_ptr<QoTelvane> controller_;
  ScriptedTapiDevice* device_ = nullptr;
  std::vector<std::string> debug_;
  std::string greeting_;
};

// A key during the first greeting stops it and starts the message; the stopped greeting's
// end arrives in state 4 and changes nothing.
TEST_F(QoTelvaneTest, KeyDuringFirstGreetingStartsMessage) {
  Build();
  CallScript script = Answered();
  script.keys = {{1500, '5'}};
  device_->AddCall(script);
  CallOnce();
  EXPECT_EQ(controller_->ResultCode, kResultCompleted);
  EXPECT_EQ(controller_->State(), psCompleted);
  EXPECT_THAT(PlayedFiles(), ElementsAre(greeting_, "message.wav"));
  EXPECT_TRUE(device_->Plays()[0].stopped);
  EXPECT_FALSE(device_->Plays()[1].stopped);
  EXPECT_EQ(controller_->GreetingCount(), 0);
  EXPECT_EQ(DebugCount("Hit"), 1);
  EXPECT_THAT(debug_, Contains("Status: 4"));
  EXPECT_THAT(debug_, Not(Contains("Playing Greeting Done")));
}

// The greeting is played MaxGreetingsCount times when no key comes, at least once.
TEST_F(QoTelvaneTest, GreetingRepeatsUpToTheCount) {
  for (const auto& [count, plays] : std::vector<std::pair<int32_t, int>>{{5, 5}, {1, 1}, {0, 1}}) {
    SCOPED_TRACE(count);
    Build();
    CallOptions.MaxGreetingsCount = count;
    device_->AddCall(Answered());
    CallOnce();
    std::vector<std::string> expected(static_cast<size_t>(plays), greeting_);
    expected.push_back("message.wav");
    EXPECT_EQ(PlayedFiles(), expected);
    EXPECT_EQ(controller_->ResultCode, kResultCompleted);
    EXPECT_EQ(DebugCount("Playing Greeting Done"), plays);
    controller_.reset();
  }
}

// Greeting plays are about two seconds apart: a second before each play, a second after.
TEST_F(QoTelvaneTest, GreetingPlaysArePacedBySeconds) {
  Build();
  CallOptions.MaxGreetingsCount = 2;
  device_->AddCall(Answered(1000));
  CallOnce();
  const auto& plays = device_->Plays();
  ASSERT_EQ(plays.size(), 3u);
  EXPECT_EQ(plays[0].started_ms, 1000 + 3 + 1000);  // answer, pause, gap
  EXPECT_EQ(plays[1].started_ms, *plays[0].ended_ms + 2000);
  EXPECT_EQ(plays[2].started_ms, *plays[1].ended_ms + 1000);
}

// A key during the message only writes "Hit": the call still completes.
TEST_F(QoTelvaneTest, KeyDuringMessageChangesNothing) {
  Build();
  CallOptions.MaxGreetingsCount = 1;
  CallScript script = Answered(0);
  script.keys = {{1003 + kGreetingMs + 1000 + 500, '1'}};
  device_->AddCall(script);
  CallOnce();
  EXPECT_EQ(DebugCount("Hit"), 1);
  EXPECT_EQ(controller_->ResultCode, kResultCompleted);
  EXPECT_THAT(PlayedFiles(), ElementsAre(greeting_, "message.wav"));
}

// The remote side hanging up during the greeting fails the call; the same during the
// message does not, and the call completes when the message ends.
TEST_F(QoTelvaneTest, DisconnectFailsTheGreetingButNotTheMessage) {
  Build();
  CallScript during_greeting = Answered();
  during_greeting.hangup_after = 2000;
  device_->AddCall(during_greeting);
  CallOnce();
  EXPECT_EQ(controller_->ResultCode, kResultFailed);
  EXPECT_EQ(controller_->ResultText, "Disconnected by remote");
  EXPECT_THAT(PlayedFiles(), ElementsAre(greeting_));

  controller_.reset();
  Build();
  CallOptions.MaxGreetingsCount = 1;
  CallScript during_message = Answered(0);
  during_message.hangup_after = 1003 + kGreetingMs + 1000 + 1000;
  device_->AddCall(during_message);
  CallOnce();
  EXPECT_EQ(controller_->ResultCode, kResultCompleted);
  EXPECT_EQ(controller_->ResultText, "");
  EXPECT_THAT(PlayedFiles(), ElementsAre(greeting_, "message.wav"));
}

// After a hang-up during the greeting, the next call's greeting advances normally: the
// stale end of the stopped greeting and the interrupted flag do not leak into it.
TEST_F(QoTelvaneTest, NextCallAfterHangUpAdvancesNormally) {
  Build();
  CallOptions.MaxGreetingsCount = 2;
  CallScript hung_up = Answered();
  hung_up.hangup_after = 2000;
  device_->AddCall(hung_up);
  device_->AddCall(Answered());
  CallOnce();
  ASSERT_EQ(controller_->ResultText, "Disconnected by remote");
  CallOnce();
  EXPECT_EQ(controller_->ResultCode, kResultCompleted);
  EXPECT_EQ(controller_->GreetingCount(), 2);
  EXPECT_THAT(PlayedFiles(), ElementsAre(greeting_, greeting_, greeting_, "message.wav"));
}

// Busy before the answer does not end the wait: the time-out does. After the answer a busy
// status fails the call with its status text. "busy" is printed either way.
TEST_F(QoTelvaneTest, BusyBeforeAndAfterTheAnswer) {
  Build();
  CallScript before = {};
  before.busy_after = 500;
  device_->AddCall(before);
  std::string out = CallOnce();
  EXPECT_EQ(out, "busy\n");
  EXPECT_EQ(controller_->ResultText, "Error : Tapi device is not ready");
  EXPECT_EQ(controller_->State(), psFailed);
  EXPECT_EQ(loop_.NowMs(), 10000);

  controller_.reset();
  Build();
  CallScript after = Answered();
  after.busy_after = 2500;
  device_->AddCall(after);
  out = CallOnce();
  EXPECT_EQ(out, "busy\n");
  EXPECT_EQ(controller_->ResultCode, kResultFailed);
  EXPECT_EQ(controller_->ResultText, "Called number is busy");
}

// A failure event during the play sequence fails the call with the failure text.
TEST_F(QoTelvaneTest, FailureEventFailsTheCall) {
  Build();
  CallScript script = Answered();
  script.fail_after = 3000;
  script.fail_code = 0x100;  // unreachable
  script.fail_with_status = false;
  device_->AddCall(script);
  CallOnce();
  EXPECT_EQ(controller_->ResultCode, kResultFailed);
  EXPECT_EQ(controller_->ResultText, "Tapi failed: Call disconnected (Remote Unreachable)");
  EXPECT_THAT(debug_, Contains("Tapi failed: Call disconnected (Remote Unreachable)"));
}

// A failure before the answer is only noted: the wait still ends by its time-out.
TEST_F(QoTelvaneTest, FailureBeforeAnswerEndsByTimeOut) {
  Build();
  CallScript script;
  script.fail_after = 300;
  device_->AddCall(script);
  CallOnce();
  EXPECT_EQ(controller_->ResultText, "Error : Tapi device is not ready");
  EXPECT_THAT(debug_, Contains(HasSubstr("Tapi failed: ")));
}

// The connect wait gives up after whole 10 ms passes, at least one.
TEST_F(QoTelvaneTest, ConnectTimeOutCountsTenMillisecondPasses) {
  for (const auto& [timeout, gives_up_at] :
       std::vector<std::pair<int32_t, int64_t>>{{25, 30}, {30, 30}, {0, 10}, {-5, 10}}) {
    SCOPED_TRACE(timeout);
    Build();
    CallOptions.ConnectTimeOut = timeout;
    device_->AddCall(CallScript{});
    const int64_t start = loop_.NowMs();
    CallOnce();
    EXPECT_EQ(controller_->ResultText, "Error : Tapi device is not ready");
    // The failed call is hung up at once; nothing sleeps after a time-out.
    EXPECT_EQ(loop_.NowMs() - start, gives_up_at);
    controller_.reset();
  }
}

// An answer inside the last pass is still taken.
TEST_F(QoTelvaneTest, AnswerJustBeforeTheTimeOutConnects) {
  Build();
  CallOptions.ConnectTimeOut = 30;
  CallOptions.MaxGreetingsCount = 1;
  device_->AddCall(Answered(25));
  CallOnce();
  EXPECT_EQ(controller_->ResultCode, kResultCompleted);
}

// With the greeting skipped the message repeats until a play ends after the time limit.
TEST_F(QoTelvaneTest, SkipIntroRepeatsMessageUntilTheLimit) {
  Build();
  device_->SetWaveLength("message.wav", 20000);
  controller_->SkipIntro = true;
  device_->AddCall(Answered());
  CallOnce();
  EXPECT_EQ(controller_->ResultCode, kResultFailed);
  EXPECT_EQ(controller_->ResultText, "Play message duration exceeded");
  EXPECT_THAT(PlayedFiles(), ElementsAre("message.wav", "message.wav", "message.wav"));

  controller_.reset();
  Build();
  CallOptions.PlayMessageDurationSec = 0;
  controller_->SkipIntro = true;
  device_->AddCall(Answered());
  CallOnce();
  EXPECT_EQ(controller_->ResultText, "Play message duration exceeded");
  EXPECT_THAT(PlayedFiles(), ElementsAre("message.wav"));
}

// With the greeting skipped, a failure to start the message the first time is a failed
// attempt (nobody heard anything); a failure to start a repetition completes the call.
TEST_F(QoTelvaneTest, SkipIntroMessageStartFailure) {
  Build();
  controller_->SkipIntro = true;
  CallScript first = Answered();
  first.failing_plays = {0};
  device_->AddCall(first);
  CallOnce();
  EXPECT_EQ(controller_->ResultCode, kResultFailed);
  EXPECT_EQ(controller_->ResultText, "Error : TAPI wave file error");

  controller_.reset();
  Build();
  controller_->SkipIntro = true;
  CallScript second = Answered();
  second.failing_plays = {1};
  device_->AddCall(second);
  CallOnce();
  EXPECT_EQ(controller_->ResultCode, kResultCompleted);
  EXPECT_THAT(PlayedFiles(), ElementsAre("message.wav"));
}

// A greeting that cannot be played fails the attempt with the error's text.
TEST_F(QoTelvaneTest, GreetingStartFailureFailsTheAttempt) {
  Build();
  CallScript script = Answered();
  script.failing_plays = {0};
  device_->AddCall(script);
  CallOnce();
  EXPECT_EQ(controller_->ResultCode, kResultFailed);
  EXPECT_EQ(controller_->ResultText, "Error : TAPI wave file error");
  EXPECT_GE(device_->CancelCount(), 1);
}

// A dial refused at once is reported as the error it raised.
TEST_F(QoTelvaneTest, RefusedDialIsAnError) {
  Build();
  CallScript script;
  script.refuse_dial = true;
  device_->AddCall(script);
  CallOnce();
  EXPECT_EQ(controller_->ResultCode, kResultFailed);
  EXPECT_EQ(controller_->ResultText, "Error : Call unavailable");
}

// The device is chosen by name ignoring case, else the first line that accepts voice.
TEST_F(QoTelvaneTest, FindDeviceByNameOrFirstVoiceLine) {
  Build({{"Data Modem", false}, {"Voice Modem", true}}, "voice MODEM");
  EXPECT_TRUE(controller_->FindDevice());
  EXPECT_EQ(controller_->DeviceName(), "Voice Modem");
  EXPECT_EQ(device_->VoiceChecks(), 0);

  controller_.reset();
  Build({{"Data Modem", false}, {"Voice Modem", true}}, "no such line");
  EXPECT_TRUE(controller_->FindDevice());
  EXPECT_EQ(controller_->DeviceName(), "Voice Modem");

  controller_.reset();
  Build({{"Data Modem", false}, {"Other Data", false}}, "");
  EXPECT_FALSE(controller_->FindDevice());
  EXPECT_EQ(controller_->DeviceName(), "Other Data");

  controller_.reset();
  Build({}, "");
  EXPECT_FALSE(controller_->FindDevice());
}

// A name match is taken without a voice test; the voice check then reports it.
TEST_F(QoTelvaneTest, NamedDataLineIsFoundButFailsTheVoiceCheck) {
  Build({{"Data Modem", false}, {"Voice Modem", true}}, "data modem");
  EXPECT_TRUE(controller_->FindDevice());
  EXPECT_FALSE(controller_->CheckVoice());
  EXPECT_FALSE(device_->EnableVoice());
}

// The settings name the device when the command line does not.
TEST_F(QoTelvaneTest, SettingsNameTheDeviceAndTheGreeting) {
  WriteSettings("[General]\nTAPIDeviceName=Voice Modem\nPressAnyKeyFile=greet.wav\n");
  Build({{"Voice Modem", true}});
  EXPECT_EQ(controller_->DeviceName(), "Voice Modem");
  EXPECT_EQ(controller_->GreetingFile(), "greet.wav");
  EXPECT_FALSE(controller_->GreetingExists());
}

// Statuses: line device states print "DevState"; every status writes a debug line.
TEST_F(QoTelvaneTest, StatusEventsWriteDebugAndDevStateLines) {
  Build();
  ::testing::internal::CaptureStdout();
  device_->OnTapiStatus(*device_, false, false, 0, kLineDevStateMessage, 0x40, 0, 0);
  device_->OnTapiStatus(*device_, false, false, 0, kLineCallStateMessage, 0x10, 0, 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "DevState\n");
  EXPECT_THAT(debug_, ElementsAre("Status : In service", "Status : Dialing..."));
}

// A report that opens and closes a call's progress at once is not read as a call state.
TEST_F(QoTelvaneTest, FirstAndLastStatusIsNotACallState) {
  Build();
  ::testing::internal::CaptureStdout();
  device_->OnTapiStatus(*device_, true, true, 0, kLineCallStateMessage, kCallStateBusy, 0, 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(controller_->State(), psNone);
}

// Without a debug handler nothing but the plain lines is written.
TEST_F(QoTelvaneTest, NoDebugLinesWithoutHandler) {
  Build();
  controller_->OnDebug = nullptr;
  device_->AddCall(Answered());
  EXPECT_EQ(CallOnce(), "");
  EXPECT_TRUE(debug_.empty());
}

// A wave notification while not connected fails the call state with "Call disconnected".
TEST_F(QoTelvaneTest, WaveNotificationWhileNotConnected) {
  Build();
  device_->OnTapiWaveNotify(*device_, TWaveMessage::waPlayDone);
  EXPECT_EQ(controller_->State(), psFailed);
  EXPECT_EQ(controller_->ResultText, "Call disconnected");
  EXPECT_THAT(debug_, ElementsAre("Status: 0"));
}

// A connect that arrives after its call was given up does not stand for the next call:
// that call still waits for its own answer before it plays.
TEST_F(QoTelvaneTest, StaleConnectDoesNotSkipTheNextAnswerWait) {
  Build();
  CallOptions.ConnectTimeOut = 100;
  CallOptions.MaxGreetingsCount = 1;
  device_->AddCall(Answered(100));  // due exactly when the wait gives up
  device_->AddCall(Answered(5000));
  CallOnce();
  ASSERT_EQ(controller_->ResultText, "Error : Tapi device is not ready");
  loop_.RunUntilIdle();
  EXPECT_TRUE(controller_->Connected());
  const int64_t second_dial = loop_.NowMs();
  CallOptions.ConnectTimeOut = 10000;
  controller_->Call("555");
  EXPECT_EQ(controller_->ResultCode, kResultCompleted);
  ASSERT_FALSE(device_->Plays().empty());
  EXPECT_GE(device_->Plays().front().started_ms, second_dial + 5000);
}

// Destroying the controller hangs up a call that was placed, then frees the device; a
// controller that never dialled does not hang up.
TEST_F(QoTelvaneTest, DestroyHangsUpOnlyAPlacedCall) {
  auto journal = std::make_shared<std::vector<std::string>>();
  Build();
  device_->SetJournal(journal);
  device_->AddCall(Answered());
  CallOnce();
  journal->clear();
  controller_.reset();
  EXPECT_THAT(*journal, ElementsAre("cancel", "destroyed"));

  journal->clear();
  Build();
  device_->SetJournal(journal);
  controller_.reset();
  EXPECT_THAT(*journal, ElementsAre("destroyed"));
}

}  // namespace
}  // namespace telvane
