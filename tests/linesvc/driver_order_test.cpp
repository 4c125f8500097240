// The service keeps TAPI's message order whatever order a driver reports in, and passes a
// driver's refusals on. A driver written for this test reports eagerly and out of order, as a
// modem driver whose reads complete in any order might.
#include <gtest/gtest.h>

#include "service_fixture.h"

namespace telvane::linesvc {
namespace {

struct EagerScript {
  LONG open_result = 0;
  LONG drop_result = 0;
};

class EagerCall final : public DriverCall {
 public:
  EagerCall(CallSink& sink, const EagerScript& script) : sink_(sink), script_(script) {}
  // States before the dial completes.
  void Start() override {
    sink_.OnCallState(LINECALLSTATE_DIALTONE, 0);
    sink_.OnCallState(LINECALLSTATE_DIALING, 0);
    sink_.OnDialResult(0);
    sink_.OnCallState(LINECALLSTATE_CONNECTED, 0);
  }
  // IDLE before the drop completes, or a failed drop.
  void Drop() override {
    if (script_.drop_result != 0) {
      sink_.OnDropResult(script_.drop_result);
      return;
    }
    sink_.OnCallState(LINECALLSTATE_IDLE, 0);
    sink_.OnDropResult(0);
  }
  LONG MonitorDigits(DWORD) override { return 0; }
  LONG GetDeviceId(std::string_view, DWORD*) override { return LINEERR_INVALDEVICECLASS; }

 private:
  CallSink& sink_;
  const EagerScript& script_;
};

class EagerDriver final : public LineDriver {
 public:
  explicit EagerDriver(const EagerScript& script) : script_(script) {}
  std::string ProviderInfo() const override { return "eager"; }
  LONG Open(platform::MessageLoop&, LineSink&) override { return script_.open_result; }
  void Close() override {}
  LONG CreateCall(const std::string&, DWORD, platform::MessageLoop&, CallSink& sink,
                  std::unique_ptr<DriverCall>* call) override {
    *call = std::make_unique<EagerCall>(sink, script_);
    return 0;
  }
  LONG GetDeviceId(std::string_view, DWORD*) override { return LINEERR_INVALDEVICECLASS; }

 private:
  const EagerScript& script_;
};

class DriverOrderTest : public ServiceFixture {
 protected:
  DriverOrderTest() : ServiceFixture("[line Eager]\ndriver = eager\n") {
    service_ =
        std::make_unique<Service>([this] { return ParseLinesFile(lines_, "test"); }, drivers_);
  }
  ~DriverOrderTest() override { service_.reset(); }
  EagerScript script_;
  const DriverRegistry drivers_ = {
      {"eager", [this](const std::vector<DriverKey>&, DWORD, const DriverLog&, std::string*) {
         return std::make_unique<EagerDriver>(script_);
       }}};
};

// States reported before the dial completes wait behind its LINE_REPLY; IDLE reported before
// the drop completes waits behind the drop's LINE_REPLY.
TEST_F(DriverOrderTest, RepliesComeBeforeTheStatesThatFollowFromThem) {
  const LONG dial = Dial();
  ASSERT_GT(dial, 0);
  RunUntilQuiet(loop_);
  ASSERT_EQ(received_.size(), 4u);
  EXPECT_EQ(received_[0].message, LINE_REPLY);
  EXPECT_EQ(received_[0].param1, static_cast<DWORD_PTR>(dial));
  EXPECT_EQ(States(call_), (std::vector<DWORD>{LINECALLSTATE_DIALTONE, LINECALLSTATE_DIALING,
                                               LINECALLSTATE_CONNECTED}));
  received_.clear();
  const LONG drop = service_->Drop(call_, nullptr, 0);
  ASSERT_GT(drop, 0);
  RunUntilQuiet(loop_);
  ASSERT_EQ(received_.size(), 2u);
  EXPECT_EQ(received_[0].message, LINE_REPLY);
  EXPECT_EQ(received_[0].param1, static_cast<DWORD_PTR>(drop));
  EXPECT_EQ(received_[1].param1, LINECALLSTATE_IDLE);
}

// A drop the driver cannot carry out is answered with its error and the call stays droppable.
TEST_F(DriverOrderTest, FailedDropIsRepliedAndCanBeRetried) {
  ASSERT_GT(Dial(), 0);
  RunUntilQuiet(loop_);
  script_.drop_result = LINEERR_OPERATIONFAILED;
  received_.clear();
  ASSERT_GT(service_->Drop(call_, nullptr, 0), 0);
  RunUntilQuiet(loop_);
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(static_cast<LONG>(received_[0].param2), LINEERR_OPERATIONFAILED);
  EXPECT_EQ(CallState(call_), LINECALLSTATE_CONNECTED);
  script_.drop_result = 0;
  EXPECT_GT(service_->Drop(call_, nullptr, 0), 0);
}

// A driver that cannot take its line (a port held by another program) fails lineOpen.
TEST_F(DriverOrderTest, DriverRefusalFailsTheOpen) {
  Initialize();
  script_.open_result = LINEERR_ALLOCATED;
  HLINE line = 0;
  EXPECT_EQ(service_->Open(app_, 0, &line, kTapiVersion14, 0, Instance(), LINECALLPRIVILEGE_NONE, 0,
                           nullptr),
            LINEERR_ALLOCATED);
  script_.open_result = 0;
  EXPECT_NE(OpenLine(0), 0u);
}

}  // namespace
}  // namespace telvane::linesvc
