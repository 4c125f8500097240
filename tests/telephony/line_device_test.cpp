// The line device over the real binding and the telephony service with simulated lines, on
// the virtual clock: enumeration, lookups, the voice check, outgoing calls and line events.
#include "telephony/line_device.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/app_registry.h"
#include "platform/dynamic_library.h"
#include "platform/errors.h"
#include "platform/message_loop.h"
#include "platform/tapi_binding.h"
#include "telephony/outgoing_call.h"
#include "telephony/status_texts.h"
#include "tests/platform/fake_tapi/fake_tapi_control.h"
#include "tests/support/scratch_dir.h"

namespace telvane {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

using Log = CallLog;

// Delivers a line message to the device as the telephony system would, with the device as
// the instance.
void Deliver(LineDevice& device, DWORD handle, DWORD message, DWORD p1, DWORD p2 = 0,
             DWORD p3 = 0) {
  LineDevice::LineCallback(handle, message, reinterpret_cast<DWORD_PTR>(&device), p1, p2, p3);
}

// The text of a call state report (with LINECALLSTATE_DISCONNECTED, of its mode).
std::string CallStateText(int32_t state, int32_t mode = 0) {
  return StatusText(LINE_CALLSTATE, state, mode, 0);
}

// The steering block of the stand-in library that the binding loads.
fake_tapi::Control* FakeControl() {
  static std::unique_ptr<platform::DynamicLibrary> library =
      platform::DynamicLibrary::Load(FAKE_TAPI_COMPLETE);
  using Getter = fake_tapi::Control* (*)();
  return reinterpret_cast<Getter>(library->Symbol("FakeTapiControlBlock"))();
}

class LineDeviceTest : public ::testing::Test {
 protected:
  LineDeviceTest() {
    testing::SetEnvironment("TELVANE_STATE_DIR", (dir_ / "state").string());
    testing::SetEnvironment("TELVANE_LINES", (dir_ / "lines.ini").string());
    testing::UnsetEnvironment("TELVANE_LINES_LOG");
    platform::SetTapiLibraryName(TELVANE_LINESVC_PATH);
  }

  ~LineDeviceTest() override {
    device_.reset();
    platform::UnbindTapi();
  }

  void WriteLines(const std::string& text) { dir_.Write("lines.ini", text); }

  // Builds the device over the lines written and records its statuses, log and events.
  void Build() {
    device_ = std::make_unique<LineDevice>();
    device_->on_log = [this](CallLog entry) { log_.push_back(entry); };
    // The device reports while it is destroyed too, when device_ no longer holds it.
    device_->on_status = [this, device = device_.get()](const LineStatus& status) {
      statuses_.push_back(status);
      const int32_t countdown = device->RetryCountdown();
      if (status.text == StatusText(kDeviceStatusMessage, kRetryWaitState, 0, countdown)) {
        countdowns_.push_back(countdown);
      }
    };
    device_->on_fail = [this](const std::string& reason) {
      ++fails_;
      fail_reason_ = reason;
    };
    device_->on_key = [this](char key) { keys_.push_back(key); };
  }

  // A voice line whose calls follow the script.
  void BuildVoiceLine(const std::string& script) {
    WriteLines("[line Sim Voice]\ndriver = sim\nmedia = voice\ndefault = " + script + "\n");
    Build();
    device_->SetSelectedDevice("Sim Voice");
    device_->CheckVoiceSupport();
  }

  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const LineStatus& status : statuses_) texts.push_back(status.text);
    return texts;
  }

  int Count(CallLog entry) const {
    return static_cast<int>(std::count(log_.begin(), log_.end(), entry));
  }

  platform::MessageLoop loop_{platform::ClockMode::kVirtual};
  testing::ScratchDir dir_ = testing::ScratchDir::ForCurrentTest();
  std::unique_ptr<LineDevice> device_;
  std::vector<CallLog> log_;
  std::vector<LineStatus> statuses_;
  std::string fail_reason_;
  std::vector<int32_t> countdowns_;
  std::vector<char> keys_;
  int fails_ = 0;
};

constexpr const char* kMixedLines =
    "[line Voice Data]\ndriver = sim\nmedia = voice,data\n"
    "[line Data Modem]\ndriver = sim\nmedia = data\n"
    "[line Voice Only]\ndriver = sim\nmedia = voice\n"
    "[line Interactive]\ndriver = sim\nmedia = interactive\n"
    "[line Cannot Dial]\ndriver = sim\nmedia = data\nfeatures =\n";

// The list keeps lines that can place voice or data calls, voice-only lines included since
// they name a wave output.
TEST_F(LineDeviceTest, EnumerationListsLinesThatCanCall) {
  WriteLines(kMixedLines);
  Build();
  EXPECT_THAT(device_->DeviceList(), ElementsAre("Voice Data", "Data Modem", "Voice Only"));
}

// Without a lines file or without the service there are no devices, and nothing raises.
TEST_F(LineDeviceTest, NoLinesOrNoServiceGiveAnEmptyList) {
  Build();
  EXPECT_TRUE(device_->DeviceList().empty());
  device_.reset();
  platform::SetTapiLibraryName((dir_ / "libmissing.so").string());
  Build();
  EXPECT_TRUE(device_->DeviceList().empty());
}

// Names are looked up exactly: the NUL the service counts is not part of the name, and
// another letter case is another name.
TEST_F(LineDeviceTest, FindDeviceIdMatchesExactly) {
  WriteLines(kMixedLines);
  Build();
  EXPECT_EQ(device_->FindDeviceID("Voice Only"), 2);
  EXPECT_EQ(device_->FindDeviceID("Cannot Dial"), 4);  // not listed, still found
  EXPECT_EQ(device_->FindDeviceID("voice only"), -1);
  EXPECT_EQ(device_->FindDeviceID("Voice Onl"), -1);
  EXPECT_EQ(device_->FindDeviceID(""), -1);
}

// An unknown name raises at once, as a cancelled selection would.
TEST_F(LineDeviceTest, GetDeviceIdOfAnUnknownNameRaises) {
  WriteLines(kMixedLines);
  Build();
  device_->SetSelectedDevice("Data Modem");
  EXPECT_EQ(device_->GetDeviceID(), 1);
  device_->SetSelectedDevice("Nowhere");
  EXPECT_THROW(device_->GetDeviceID(), ETapiNoSelect);
}

// The voice check passes a voice line and fails a data line, or a name no line has, with
// the voice error.
TEST_F(LineDeviceTest, VoiceCheckOutcomes) {
  WriteLines(kMixedLines);
  Build();
  device_->SetSelectedDevice("Data Modem");
  try {
    device_->CheckVoiceSupport();
    ADD_FAILURE() << "a data line passed the voice check";
  } catch (const ETapiVoiceNotSupported& error) {
    EXPECT_EQ(error.ErrorCode(), -13935);
    EXPECT_EQ(error.Message(), "TAPI device does not support voice extensions");
  }
  device_->SetSelectedDevice("Voice Only");
  EXPECT_NO_THROW(device_->CheckVoiceSupport());
  device_->SetSelectedDevice("Nowhere");
  EXPECT_THROW(device_->CheckVoiceSupport(), ETapiVoiceNotSupported);
}

// An answered voice call reports its progress in order, connects once, and hears keys.
TEST_F(LineDeviceTest, AnsweredCallReportsProgressThenConnects) {
  BuildVoiceLine("answer after=2000; keys=1000:5");
  device_->Dial("5551234");
  loop_.RunFor(10000);
  EXPECT_THAT(Texts(), ElementsAre(CallStateText(0x8), CallStateText(0x10), CallStateText(0x200),
                                   CallStateText(0x20), CallStateText(0x100)));
  EXPECT_EQ(Count(Log::kConnect), 1);
  EXPECT_EQ(fails_, 0);
  EXPECT_THAT(keys_, ElementsAre('5'));
  EXPECT_THAT(log_, ElementsAre(Log::kCallStart, Log::kDial, Log::kConnect, Log::kReceivedDigit));
  EXPECT_TRUE(device_->CallPlaced());
}

// A busy number is dialled MaxAttempts times, RetryWait apart, with a countdown status each
// second in between, and fails once at the end.
TEST_F(LineDeviceTest, BusyRetriesWithCountdownThenFailsOnce) {
  BuildVoiceLine("busy");
  device_->SetMaxAttempts(3);
  device_->SetRetryWait(5);
  device_->Dial("5551234");
  loop_.RunFor(60000);
  EXPECT_EQ(Count(Log::kDial), 3);
  EXPECT_EQ(Count(Log::kBusy), 3);
  EXPECT_EQ(Count(Log::kCallStart), 1);
  EXPECT_THAT(countdowns_, ElementsAre(4, 3, 2, 1, 4, 3, 2, 1));
  EXPECT_EQ(fails_, 1);
  EXPECT_EQ(Count(Log::kConnect), 0);
}

// With one attempt there is no retry wait at all.
TEST_F(LineDeviceTest, SingleAttemptNeverWaitsToRetry) {
  BuildVoiceLine("busy");
  device_->SetMaxAttempts(1);
  device_->Dial("5551234");
  loop_.RunFor(20000);
  EXPECT_TRUE(countdowns_.empty());
  EXPECT_EQ(Count(Log::kDial), 1);
  EXPECT_EQ(fails_, 1);
}

// A dial refused at once fails the call without retry: one failure event with a handler,
// the call-unavailable error without one.
TEST_F(LineDeviceTest, RefusedDialFailsWithoutRetry) {
  BuildVoiceLine("refuse error=0x80000010");
  device_->SetMaxAttempts(3);
  device_->Dial("5551234");
  loop_.RunFor(10000);
  EXPECT_EQ(device_->FailureCode(), LINEERR_INVALADDRESS);
  EXPECT_EQ(fails_, 1);
  EXPECT_THAT(log_, ElementsAre(Log::kCallStart, Log::kDial, Log::kDialFail, Log::kDrop,
                                Log::kCallFinish, Log::kDialFail));
  EXPECT_EQ(fail_reason_, "Invalid address");

  device_->on_fail = nullptr;
  EXPECT_THROW(device_->Dial("5551234"), ETapiCallUnavail);
}

// Cancelling during the retry wait stops the retries at the next tick; the call never
// connected, so it fails once.
TEST_F(LineDeviceTest, CancelDuringRetryWaitStopsRetrying) {
  BuildVoiceLine("busy");
  device_->SetMaxAttempts(3);
  device_->SetRetryWait(5);
  device_->Dial("5551234");
  ASSERT_EQ(loop_.RunUntil([this] { return countdowns_.size() == 4; }, loop_.DeadlineAfter(60000)),
            platform::WaitResult::kReached);
  device_->HangUp();
  loop_.RunFor(30000);
  EXPECT_EQ(Count(Log::kDial), 1);
  EXPECT_EQ(countdowns_.size(), 4u);
  EXPECT_EQ(fails_, 1);
  EXPECT_EQ(Count(Log::kCancel), 1);
}

// Cancelling a connected call hangs up without a failure.
TEST_F(LineDeviceTest, CancelConnectedCallHangsUpQuietly) {
  BuildVoiceLine("answer after=500");
  device_->Dial("5551234");
  loop_.RunFor(5000);
  ASSERT_EQ(Count(Log::kConnect), 1);
  log_.clear();
  device_->HangUp();
  loop_.RunFor(5000);
  EXPECT_THAT(log_, ElementsAre(Log::kCancel, Log::kDrop, Log::kCallFinish));
  EXPECT_EQ(fails_, 0);
}

// Cancelling when no line was ever opened only logs the cancel.
TEST_F(LineDeviceTest, CancelWithoutCallOnlyLogs) {
  BuildVoiceLine("answer");
  device_->HangUp();
  loop_.RunFor(1000);
  EXPECT_THAT(log_, ElementsAre(Log::kCancel));
  EXPECT_TRUE(statuses_.empty());
  EXPECT_EQ(fails_, 0);
}

// The remote side hanging up disconnects normally: no failure, not a cancel.
TEST_F(LineDeviceTest, RemoteHangUpIsNoFailure) {
  BuildVoiceLine("answer after=500; hangup after=2000");
  device_->Dial("5551234");
  loop_.RunFor(10000);
  EXPECT_EQ(Count(Log::kConnect), 1);
  EXPECT_THAT(statuses_, ::testing::Contains(
                             ::testing::Field(&LineStatus::kind, LineStatus::Kind::kDisconnected)));
  EXPECT_EQ(device_->FailureCode(), 1);
  EXPECT_EQ(fails_, 0);
  EXPECT_EQ(Count(Log::kCancel), 0);
}

// Unanswered, rejected and unreachable calls end with their disconnect mode and one failure.
TEST_F(LineDeviceTest, DisconnectModesBecomeTheFailureCode) {
  const std::vector<std::pair<std::string, int32_t>> cases = {
      {"noanswer ring=5000", 0x40}, {"reject", 0x4}, {"unreachable", 0x100}};
  for (const auto& [script, mode] : cases) {
    SCOPED_TRACE(script);
    statuses_.clear();
    fails_ = 0;
    BuildVoiceLine(script);
    device_->SetMaxAttempts(1);
    device_->Dial("5551234");
    loop_.RunFor(60000);
    EXPECT_EQ(device_->FailureCode(), mode);
    EXPECT_EQ(fails_, 1);
    device_.reset();
  }
}

// A line that cannot report keys tells the key handler once, with a blank and the error.
TEST_F(LineDeviceTest, RefusedDigitMonitoringIsReportedOnce) {
  BuildVoiceLine("answer after=500; nodigits");
  device_->Dial("5551234");
  loop_.RunFor(5000);
  EXPECT_THAT(keys_, ElementsAre(' '));
  EXPECT_EQ(Count(Log::kConnect), 1);
}

// A number longer than the request's buffer is refused whole, never cut short.
TEST_F(LineDeviceTest, OverlongNumberIsRefused) {
  BuildVoiceLine("answer");
  EXPECT_THROW(device_->Dial(std::string(252, '5')), ETapiInvalAddress);
  EXPECT_FALSE(device_->CallPlaced());
}

// Dial refuses while a call is under way.
TEST_F(LineDeviceTest, DialRefusesWhileACallIsUnderWay) {
  BuildVoiceLine("answer after=500");
  device_->Dial("1");
  loop_.RunFor(3000);
  EXPECT_THROW(device_->Dial("2"), ETapiBusy);
}

// Call-state handling straight from the callback: a repeated connect is ignored, call
// information is reported as a status, a reply to another request changes nothing,
// LINE_CLOSE hangs up with retries cleared.
TEST_F(LineDeviceTest, CallStateMessagesInOrder) {
  BuildVoiceLine("answer after=60000");
  device_->Dial("5551234");
  loop_.RunFor(100);
  const DWORD call = device_->Call().CallHandle();
  ASSERT_NE(call, 0u);
  Deliver(*device_, call, LINE_CALLSTATE, LINECALLSTATE_CONNECTED);
  Deliver(*device_, call, LINE_CALLSTATE, LINECALLSTATE_CONNECTED);
  loop_.RunFor(10);
  EXPECT_EQ(Count(Log::kConnect), 1);
  const std::vector<std::string> texts = Texts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), CallStateText(0x100)), 1);
  Deliver(*device_, call, LINE_CALLINFO, 0x1);
  EXPECT_EQ(statuses_.back().kind, LineStatus::Kind::kOther);
  EXPECT_EQ(statuses_.back().text, StatusText(LINE_CALLINFO, 0x1, 0, 0));
  Deliver(*device_, call, LINE_REPLY, 0x7FFF, 0);
  EXPECT_TRUE(device_->Call().Active());
  Deliver(*device_, device_->Call().LineHandle(), LINE_CLOSE, 0);
  EXPECT_FALSE(device_->Call().Active());
  EXPECT_EQ(device_->Call().LineHandle(), 0u);
}

// Line device states: ringing is reported, out of service hangs up, a new device makes the
// list be read again, and a restart of the telephony system ends the line application.
TEST_F(LineDeviceTest, LineDeviceStates) {
  BuildVoiceLine("answer after=60000");
  device_->Dial("5551234");
  loop_.RunFor(100);
  statuses_.clear();
  Deliver(*device_, device_->Call().LineHandle(), LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 0, 0);
  ASSERT_EQ(statuses_.size(), 1u);
  EXPECT_EQ(statuses_[0].kind, LineStatus::Kind::kLineState);
  EXPECT_EQ(statuses_[0].text, StatusText(LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 0, 0));
  Deliver(*device_, device_->Call().LineHandle(), LINE_LINEDEVSTATE, LINEDEVSTATE_OUTOFSERVICE);
  EXPECT_FALSE(device_->Call().Active());
  Deliver(*device_, 0, LINE_CREATE, 7);
  EXPECT_EQ(device_->DeviceCount(), 1);  // raised to 8, then the list was read again
  Deliver(*device_, 0, LINE_LINEDEVSTATE, LINEDEVSTATE_REINIT, 0, 0);
  platform::LineAppRegistry registry;
  EXPECT_FALSE(
      registry.Read(platform::LineAppValueName(platform::LineAppRegistry::CurrentProcessId()))
          .has_value());
}

// The line application is recorded while it lives and forgotten when the device goes.
TEST_F(LineDeviceTest, BookKeepingFollowsTheLineApplication) {
  BuildVoiceLine("answer");
  const std::string name =
      platform::LineAppValueName(platform::LineAppRegistry::CurrentProcessId());
  platform::LineAppRegistry registry;
  EXPECT_TRUE(registry.Read(name).has_value());
  device_.reset();
  EXPECT_FALSE(registry.Read(name).has_value());
}

// Start-up against a telephony library that answers "restarting" twice waits five seconds
// once and then gives up, leaving no devices; other errors give up at once.
TEST_F(LineDeviceTest, StartUpGivesUpOnRepeatedReinit) {
  platform::SetTapiLibraryName(FAKE_TAPI_COMPLETE);
  ASSERT_TRUE(platform::BindTapi());
  auto* control = FakeControl();
  *control = fake_tapi::Control{};
  control->result = LINEERR_REINIT;
  const int64_t start = loop_.NowMs();
  Build();
  EXPECT_GE(loop_.NowMs() - start, 5000);
  EXPECT_TRUE(device_->DeviceList().empty());
  EXPECT_FALSE(device_->InitializeTapi());

  control->result = LINEERR_NODRIVER;
  const int64_t again = loop_.NowMs();
  EXPECT_FALSE(device_->InitializeTapi());
  EXPECT_EQ(loop_.NowMs(), again);
  control->result = 0;
}

// What an outgoing call asks of its device, answered as a device over the stand-in library
// would: the line application exists and the selected device is the first.
class StandInCallHost : public OutgoingCall::Host {
 public:
  bool InitializeTapi() override { return true; }
  HLINEAPP LineAppHandle() const override { return 1; }
  DWORD ApiVersion() const override { return kTapiVersion14; }
  int32_t GetDeviceID() override { return 0; }
  DWORD_PTR CallbackInstance() override { return 0; }
  void NotifyStatus(int32_t, int32_t, int32_t) override {}
  void NotifyLog(CallLog) override {}
  void PostNotification(DeviceNotification) override {}
  bool HasFailHandler() const override { return true; }
  void ReportError(const std::exception&) override {}
};

// A drop whose reply never comes still hangs up, after the reply wait and the idle wait.
TEST_F(LineDeviceTest, DropWithoutReplyGivesUpAfterTheWaits) {
  platform::SetTapiLibraryName(FAKE_TAPI_COMPLETE);
  ASSERT_TRUE(platform::BindTapi());
  auto* control = FakeControl();
  *control = fake_tapi::Control{};
  StandInCallHost host;
  OutgoingCall call(host);
  call.Dial("5551234");  // the stand-in opens the line and takes the call request at once
  ASSERT_TRUE(call.Active());
  control->result = 7;  // every request is "under way" and never answered
  const int64_t start = loop_.NowMs();
  EXPECT_TRUE(call.HangUp(/*clear_retry=*/true));
  EXPECT_GE(loop_.NowMs() - start, 60000);
  EXPECT_LT(loop_.NowMs() - start, 61000);
  EXPECT_FALSE(call.Active());
  EXPECT_STREQ(control->last_entry, "lineClose");
  control->result = 0;
}

}  // namespace
}  // namespace telvane
