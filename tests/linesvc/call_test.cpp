// Outgoing calls on the simulated line, seen from the application: the messages the callback
// gets, their order and timing on the virtual clock, and how drop, close and shutdown end them.
#include <gtest/gtest.h>

#include "linesvc/sim/sim_script.h"
#include "service_fixture.h"

namespace telvane::linesvc {
namespace {

using CallTest = ServiceFixture;

// An answered call: LINE_REPLY first, then the progress states in order at their times.
TEST_F(CallTest, AnsweredCallReportsReplyThenProgressThenConnected) {
  const LONG request = Dial();
  ASSERT_GT(request, 0);
  ASSERT_NE(call_, 0u);
  EXPECT_TRUE(received_.empty()) << "nothing is delivered from inside the request";

  loop_.RunFor(kSimRingbackMs + 2000);

  ASSERT_GE(received_.size(), 6u);
  EXPECT_EQ(received_[0].message, LINE_REPLY);
  EXPECT_EQ(received_[0].param1, static_cast<DWORD_PTR>(request));
  EXPECT_EQ(received_[0].param2, 0u);
  EXPECT_EQ(received_[0].instance, Instance());
  EXPECT_EQ(States(call_), (std::vector<DWORD>{LINECALLSTATE_DIALTONE, LINECALLSTATE_DIALING,
                                               LINECALLSTATE_PROCEEDING, LINECALLSTATE_RINGBACK,
                                               LINECALLSTATE_CONNECTED}));
  const Received* connected = &received_.back();
  EXPECT_EQ(connected->param1, LINECALLSTATE_CONNECTED);
  EXPECT_EQ(connected->ms, kSimRingbackMs + 2000);
  EXPECT_EQ(connected->instance, Instance());
  EXPECT_EQ(CallState(call_), LINECALLSTATE_CONNECTED);
}

// Busy, no answer, reject, unreachable and no dial tone each end the way TAPI reports them.
TEST_F(CallTest, UnsuccessfulCallsEndWithTheirStateAndDisconnectMode) {
  struct Case {
    const char* number;
    std::vector<DWORD> states;
    DWORD last_mode;
    int64_t last_ms;
  };
  const std::vector<Case> cases = {
      {"100",
       {LINECALLSTATE_DIALTONE, LINECALLSTATE_DIALING, LINECALLSTATE_PROCEEDING,
        LINECALLSTATE_BUSY},
       0x1,
       kSimProceedingMs + 500},
      {"101",
       {LINECALLSTATE_DIALTONE, LINECALLSTATE_DIALING, LINECALLSTATE_PROCEEDING,
        LINECALLSTATE_RINGBACK, LINECALLSTATE_DISCONNECTED},
       LINEDISCONNECTMODE_NOANSWER,
       kSimRingbackMs + 20000},
      {"102",
       {LINECALLSTATE_DIALTONE, LINECALLSTATE_DIALING, LINECALLSTATE_PROCEEDING,
        LINECALLSTATE_RINGBACK, LINECALLSTATE_DISCONNECTED},
       LINEDISCONNECTMODE_REJECT,
       kSimRingbackMs + 2000},
      {"103",
       {LINECALLSTATE_DIALTONE, LINECALLSTATE_DIALING, LINECALLSTATE_PROCEEDING,
        LINECALLSTATE_DISCONNECTED},
       LINEDISCONNECTMODE_UNREACHABLE,
       kSimProceedingMs + 500},
      {"104", {LINECALLSTATE_DISCONNECTED}, LINEDISCONNECTMODE_NODIALTONE, 3000},
  };
  Initialize();
  const HLINE line = OpenLine(0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number);
    received_.clear();
    const int64_t start = loop_.NowMs();
    HCALL call = 0;
    ASSERT_GT(MakeCall(line, c.number, &call), 0);
    RunUntilQuiet(loop_);
    EXPECT_EQ(received_.front().message, LINE_REPLY);
    EXPECT_EQ(States(call), c.states);
    EXPECT_EQ(received_.back().param2, c.last_mode);
    EXPECT_EQ(received_.back().ms - start, c.last_ms);
    // The call stays in its end state until the application drops it.
    EXPECT_EQ(CallState(call), c.states.back());
    ASSERT_GT(service_->Drop(call, nullptr, 0), 0);
    RunUntilQuiet(loop_);
    EXPECT_EQ(service_->DeallocateCall(call), 0);
  }
}

// A refused dial fails at once with the scripted error and delivers nothing.
TEST_F(CallTest, RefusedDialFailsAtOnceWithoutMessages) {
  Initialize();
  const HLINE line = OpenLine(0);
  HCALL call = 0;
  EXPECT_EQ(MakeCall(line, "105", &call), LINEERR_OPERATIONFAILED);
  RunUntilQuiet(loop_);
  EXPECT_TRUE(received_.empty());
  // The line is free for the next call.
  EXPECT_GT(MakeCall(line, "5551234", &call), 0);
}

// A dial that fails later answers its request with the error and leaves no usable call.
TEST_F(CallTest, FailedDialRepliesWithTheErrorAndNoCallStates) {
  const LONG request = Dial("106");
  ASSERT_GT(request, 0);
  RunUntilQuiet(loop_);
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(received_[0].message, LINE_REPLY);
  EXPECT_EQ(received_[0].param1, static_cast<DWORD_PTR>(request));
  EXPECT_EQ(static_cast<LONG>(received_[0].param2), LINEERR_RESOURCEUNAVAIL);
  EXPECT_EQ(service_->Drop(call_, nullptr, 0), LINEERR_INVALCALLHANDLE);
  EXPECT_GT(MakeCall(line_, "5551234", &call_), 0);
}

// The remote side hangs up at its scripted time: DISCONNECTED with NORMAL.
TEST_F(CallTest, RemoteHangUpDisconnectsNormally) {
  ASSERT_GT(Dial(), 0);
  RunUntilQuiet(loop_);
  ASSERT_FALSE(States(call_).empty());
  EXPECT_EQ(States(call_).back(), LINECALLSTATE_DISCONNECTED);
  EXPECT_EQ(received_.back().param2, LINEDISCONNECTMODE_NORMAL);
  EXPECT_EQ(received_.back().ms, kSimRingbackMs + 2000 + 9000);
}

// Keys pressed after the answer reach the application once monitoring is on, digit in the
// low byte and the DTMF mode, in order; keys before monitoring are lost as on a real line.
TEST_F(CallTest, MonitoredKeysArriveAsMonitorDigitsInOrder) {
  ASSERT_GT(Dial(), 0);
  on_message_ = [&](const Received& r) {
    if (r.message == LINE_CALLSTATE && r.param1 == LINECALLSTATE_CONNECTED) {
      EXPECT_EQ(service_->MonitorDigits(call_, LINEDIGITMODE_DTMF), 0);
    }
  };
  RunUntilQuiet(loop_);
  std::vector<std::pair<char, int64_t>> digits;
  for (const Received& r : received_) {
    if (r.message != LINE_MONITORDIGITS) continue;
    EXPECT_EQ(r.device, call_);
    EXPECT_EQ(r.param2, LINEDIGITMODE_DTMF);
    digits.emplace_back(static_cast<char>(r.param1 & 0xFF), r.ms);
  }
  const int64_t answer = kSimRingbackMs + 2000;
  EXPECT_EQ(digits,
            (std::vector<std::pair<char, int64_t>>{{'5', answer + 1500}, {'#', answer + 2500}}));
  // Each key is one line of the event log.
  EXPECT_EQ(std::ranges::count_if(service_->Events().Entries(),
                                  [](const Event& e) { return e.text.ends_with(" 5"); }),
            1);
}

// Without monitoring no digit message is sent, and the event log says the key was lost.
TEST_F(CallTest, KeysWithoutMonitoringAreNotDelivered) {
  ASSERT_GT(Dial(), 0);
  RunUntilQuiet(loop_);
  EXPECT_EQ(Find(LINE_MONITORDIGITS), nullptr);
  EXPECT_TRUE(service_->Events().Contains("Sim Voice 1", "remote side presses 5, not monitored"));
}

// A line scripted to refuse monitoring says so; refused wave output likewise, for every play
// or from a given play on.
TEST_F(CallTest, ScriptedRefusalsOfMonitoringAndWave) {
  VARSTRING id{};
  id.dwTotalSize = sizeof id;
  const auto wave = [&] {
    return service_->GetID(0, 0, call_, LINECALLSELECT_CALL, &id, "wave/out");
  };
  ASSERT_GT(Dial("107"), 0);
  loop_.RunFor(kSimRingbackMs + 1000);
  ASSERT_EQ(CallState(call_), LINECALLSTATE_CONNECTED);
  EXPECT_EQ(service_->MonitorDigits(call_, LINEDIGITMODE_DTMF), LINEERR_OPERATIONUNAVAIL);
  EXPECT_EQ(wave(), LINEERR_INVALDEVICECLASS);
  ASSERT_GT(service_->Drop(call_, nullptr, 0), 0);
  loop_.RunFor(0);
  ASSERT_EQ(service_->DeallocateCall(call_), 0);
  ASSERT_GT(MakeCall(line_, "109", &call_), 0);
  loop_.RunFor(kSimRingbackMs + 1000);
  EXPECT_EQ(wave(), 0);
  EXPECT_EQ(wave(), LINEERR_INVALDEVICECLASS);
  EXPECT_EQ(wave(), LINEERR_INVALDEVICECLASS);
}

// lineDrop of a connected call: LINE_REPLY for the drop, then IDLE, and nothing after.
TEST_F(CallTest, DropRepliesThenGoesIdleAndCancelsTheScript) {
  ASSERT_GT(Dial(), 0);
  loop_.RunFor(kSimRingbackMs + 2000);
  ASSERT_EQ(CallState(call_), LINECALLSTATE_CONNECTED);
  ASSERT_EQ(service_->MonitorDigits(call_, LINEDIGITMODE_DTMF), 0);
  received_.clear();
  const LONG request = service_->Drop(call_, nullptr, 0);
  ASSERT_GT(request, 0);
  EXPECT_TRUE(received_.empty());
  RunUntilQuiet(loop_);
  ASSERT_EQ(received_.size(), 2u) << "no key or hang-up of the script after the drop";
  EXPECT_EQ(received_[0].message, LINE_REPLY);
  EXPECT_EQ(received_[0].param1, static_cast<DWORD_PTR>(request));
  EXPECT_EQ(received_[0].param2, 0u);
  EXPECT_EQ(received_[1].message, LINE_CALLSTATE);
  EXPECT_EQ(received_[1].param1, LINECALLSTATE_IDLE);
  EXPECT_EQ(loop_.DelayedCount(), 0u) << "the script's remaining steps are cancelled";
  EXPECT_EQ(service_->Drop(call_, nullptr, 0), LINEERR_INVALCALLSTATE);
  EXPECT_EQ(service_->DeallocateCall(call_), 0);
  EXPECT_EQ(service_->DeallocateCall(call_), LINEERR_INVALCALLHANDLE);
}

// A call must be dropped before it is freed; a second call waits until the line is free.
TEST_F(CallTest, OneActiveCallPerLineAndNoFreeingBeforeTheDrop) {
  Initialize();
  const HLINE line = OpenLine(0);
  HCALL call = 0, second = 0;
  ASSERT_GT(MakeCall(line, "5551234", &call), 0);
  EXPECT_EQ(MakeCall(line, "5551234", &second), LINEERR_CALLUNAVAIL);
  EXPECT_EQ(service_->DeallocateCall(call), LINEERR_INVALCALLSTATE);
  ASSERT_GT(service_->Drop(call, nullptr, 0), 0);
  loop_.RunFor(0);
  EXPECT_GT(MakeCall(line, "5551234", &second), 0);
}

// lineClose stops everything for the line, including what was already queued.
TEST_F(CallTest, CloseDeliversNothingMore) {
  ASSERT_GT(Dial(), 0);
  loop_.RunFor(kSimDialingMs);
  ASSERT_FALSE(received_.empty());
  const size_t before = received_.size();
  // Queue more: the reply of a drop is posted but not yet dispatched.
  ASSERT_GT(service_->Drop(call_, nullptr, 0), 0);
  EXPECT_EQ(service_->Close(line_), 0);
  RunUntilQuiet(loop_);
  EXPECT_EQ(received_.size(), before);
  EXPECT_EQ(loop_.DelayedCount(), 0u) << "the script's steps are cancelled";
  LINECALLSTATUS status{};
  status.dwTotalSize = sizeof status;
  EXPECT_EQ(service_->GetCallStatus(call_, &status), LINEERR_INVALCALLHANDLE);
}

// lineShutdown drops what is queued and ends the application's lines and calls.
TEST_F(CallTest, ShutdownDropsQueuedMessages) {
  ASSERT_GT(Dial(), 0);
  EXPECT_EQ(service_->Shutdown(app_), 0);
  RunUntilQuiet(loop_);
  EXPECT_TRUE(received_.empty());
  EXPECT_EQ(service_->Drop(call_, nullptr, 0), LINEERR_INVALCALLHANDLE);
  EXPECT_EQ(service_->Close(line_), LINEERR_INVALLINEHANDLE);
  EXPECT_EQ(service_->Shutdown(app_), LINEERR_INVALAPPHANDLE);
}

// Destroying the service with a call under way leaves nothing that runs on freed state.
TEST_F(CallTest, DestroyedServiceDeliversNothing) {
  ASSERT_GT(Dial(), 0);
  service_.reset();
  RunUntilQuiet(loop_);
  EXPECT_TRUE(received_.empty());
}

// A line going out of service is reported only when asked for; a line closed by its driver
// sends LINE_CLOSE, after which its handles no longer work.
TEST_F(CallTest, LineEventsOutOfServiceAndForcedClose) {
  Initialize();
  const HLINE line = OpenLine(0);
  ASSERT_EQ(service_->SetStatusMessages(line, 0x01FFFFFF, 0x1FF), 0);
  HCALL call = 0;
  ASSERT_GT(MakeCall(line, "108", &call), 0);
  RunUntilQuiet(loop_);
  const Received* state = Find(LINE_LINEDEVSTATE);
  ASSERT_NE(state, nullptr);
  EXPECT_EQ(state->device, line);
  EXPECT_EQ(state->param1, LINEDEVSTATE_OUTOFSERVICE);
  const Received* close = Find(LINE_CLOSE);
  ASSERT_NE(close, nullptr);
  EXPECT_EQ(close->device, line);
  EXPECT_EQ(close->instance, Instance());
  EXPECT_EQ(&received_.back(), close) << "nothing follows LINE_CLOSE";
  EXPECT_EQ(close->ms, kSimRingbackMs + 1000 + 1000);
  EXPECT_EQ(service_->Drop(call, nullptr, 0), LINEERR_INVALCALLHANDLE);
  EXPECT_EQ(service_->Close(line), LINEERR_INVALLINEHANDLE);
  // The line can be opened again.
  EXPECT_NE(OpenLine(0), 0u);
}

// Without lineSetStatusMessages the line state is not reported.
TEST_F(CallTest, LineStatesNeedStatusMessages) {
  ASSERT_GT(Dial("108"), 0);
  RunUntilQuiet(loop_);
  EXPECT_EQ(Find(LINE_LINEDEVSTATE), nullptr);
  EXPECT_NE(Find(LINE_CLOSE), nullptr);
}

// Addresses that are empty, too long or hold characters a dial string cannot hold are refused
// at once; the longest allowed one and the usual punctuation pass.
TEST_F(CallTest, InvalidAddressesAreRefusedAtOnce) {
  Initialize();
  const HLINE line = OpenLine(0);
  HCALL call = 0;
  const std::string longest(kMaxDialableLength, '5');
  for (const std::string& bad :
       {std::string(), longest + "5", std::string("555\r\nATZ"), std::string("555;ATH"),
        std::string("555\x01"), std::string("12|34"), std::string("5551234?")}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(MakeCall(line, bad.c_str(), &call), LINEERR_INVALADDRESS);
  }
  EXPECT_EQ(service_->MakeCall(line, &call, nullptr, 0, nullptr), LINEERR_INVALADDRESS);
  EXPECT_TRUE(received_.empty());
  ASSERT_GT(MakeCall(line, longest.c_str(), &call), 0);
  ASSERT_GT(service_->Drop(call, nullptr, 0), 0);
  loop_.RunFor(0);
  ASSERT_EQ(service_->DeallocateCall(call), 0);
  EXPECT_GT(MakeCall(line, "+1 (425) 555-1212,,*9#", &call), 0);
}

// Requests on bad handles and parameters fail with TAPI's results.
TEST_F(CallTest, MakeCallChecksLineParametersAndFeatures) {
  Initialize();
  const HLINE line = OpenLine(0);
  HCALL call = 0;
  EXPECT_EQ(MakeCall(line + 1000, "5551234", &call), LINEERR_INVALLINEHANDLE);
  EXPECT_EQ(service_->MakeCall(line, nullptr, "5551234", 0, nullptr), LINEERR_INVALPOINTER);
  LINECALLPARAMS params = VoiceParams();
  params.dwMediaMode = LINEMEDIAMODE_DATAMODEM;
  EXPECT_EQ(service_->MakeCall(line, &call, "5551234", 0, &params), LINEERR_INVALMEDIAMODE);
  params = VoiceParams();
  params.dwTotalSize = 40;
  EXPECT_EQ(service_->MakeCall(line, &call, "5551234", 0, &params), LINEERR_STRUCTURETOOSMALL);
  params = VoiceParams();
  params.dwBearerMode = 0x2;
  EXPECT_EQ(service_->MakeCall(line, &call, "5551234", 0, &params), LINEERR_INVALBEARERMODE);
  const HLINE no_dialling = OpenLine(2);
  EXPECT_EQ(MakeCall(no_dialling, "5551234", &call), LINEERR_OPERATIONUNAVAIL);
}

// Call information and status describe the call as it is.
TEST_F(CallTest, CallInfoAndStatusDescribeTheCall) {
  ASSERT_GT(Dial("555-1234"), 0);
  loop_.RunFor(kSimRingbackMs + 2000);
  ASSERT_EQ(service_->MonitorDigits(call_, LINEDIGITMODE_DTMF), 0);

  LINECALLINFO small{};
  small.dwTotalSize = sizeof small - 4;
  EXPECT_EQ(service_->GetCallInfo(call_, &small), LINEERR_STRUCTURETOOSMALL);

  LINECALLINFO fixed{};
  fixed.dwTotalSize = sizeof fixed;
  ASSERT_EQ(service_->GetCallInfo(call_, &fixed), 0);
  EXPECT_EQ(fixed.dwUsedSize, sizeof fixed);
  EXPECT_GT(fixed.dwNeededSize, sizeof fixed);
  EXPECT_EQ(fixed.dwCalledIDSize, 0u) << "variable parts only when they all fit";
  EXPECT_EQ(fixed.hLine, line_);
  EXPECT_EQ(fixed.dwMediaMode, LINEMEDIAMODE_AUTOMATEDVOICE);
  EXPECT_EQ(fixed.dwOrigin, 0x1u);
  EXPECT_EQ(fixed.dwMonitorDigitModes, LINEDIGITMODE_DTMF);
  EXPECT_NE(fixed.dwCallStates & LINECALLSTATE_CONNECTED, 0u);

  std::vector<char> buffer(fixed.dwNeededSize);
  auto* info = reinterpret_cast<LINECALLINFO*>(buffer.data());
  info->dwTotalSize = fixed.dwNeededSize;
  ASSERT_EQ(service_->GetCallInfo(call_, info), 0);
  EXPECT_EQ(info->dwUsedSize, info->dwNeededSize);
  ASSERT_EQ(info->dwCalledIDSize, 9u);
  EXPECT_STREQ(buffer.data() + info->dwCalledIDOffset, "555-1234");
  EXPECT_STREQ(buffer.data() + info->dwAppNameOffset, "linesvc test");

  LINECALLSTATUS status{};
  status.dwTotalSize = sizeof status - 1;
  EXPECT_EQ(service_->GetCallStatus(call_, &status), LINEERR_STRUCTURETOOSMALL);
  status.dwTotalSize = sizeof status;
  ASSERT_EQ(service_->GetCallStatus(call_, &status), 0);
  EXPECT_EQ(status.dwCallState, LINECALLSTATE_CONNECTED);
  EXPECT_EQ(status.dwUsedSize, sizeof status);
  EXPECT_EQ(service_->GetCallStatus(call_ + 1000, &status), LINEERR_INVALCALLHANDLE);
}

// The event log records the call on the loop clock, for tests and users.
TEST_F(CallTest, EventLogRecordsTheCallOnTheLoopClock) {
  ASSERT_GT(Dial("100"), 0);
  RunUntilQuiet(loop_);
  const auto& entries = service_->Events().Entries();
  auto busy = std::find_if(entries.begin(), entries.end(), [](const Event& e) {
    return e.source == "Sim Voice 1" && e.text == "state BUSY";
  });
  ASSERT_NE(busy, entries.end());
  EXPECT_EQ(busy->ms, kSimProceedingMs + 500);
}

}  // namespace
}  // namespace telvane::linesvc
