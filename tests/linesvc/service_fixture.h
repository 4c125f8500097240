// A telephony service on a virtual-clock loop with one registered application whose callback
// records every message, in order, with the clock time it arrived.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "linesvc/lines_file.h"
#include "linesvc/service.h"
#include "platform/message_loop.h"
#include "platform/tapi_binding.h"
#include "tests/support/run_until_quiet.h"

namespace telvane::linesvc {

using testing::RunUntilQuiet;

struct Received {
  DWORD device;
  DWORD message;
  DWORD_PTR instance;
  DWORD_PTR param1, param2, param3;
  int64_t ms;
};

class ServiceFixture : public ::testing::Test {
 protected:
  // The lines most tests use: a voice line scripted per number, a data line, a line that cannot
  // place calls.
  static constexpr const char* kLines = R"(
[line Sim Voice 1]
driver = sim
media = voice
default = answer after=2000; keys=1500:5,2500:#; hangup after=9000
number.100 = busy
number.101 = noanswer ring=20000
number.102 = reject
number.103 = unreachable
number.104 = nodialtone
number.105 = refuse error=0x80000048
number.106 = fail error=0x8000004B
number.107 = answer after=1000; nodigits; nowave
number.108 = answer after=1000; outofservice after=500; lineclose after=1000
number.109 = answer after=1000; nowave from=2

[line Sim Data]
driver = sim
media = data
wave = 9

[line No Dialling]
driver = sim
media = voice,interactive
features =
)";

  explicit ServiceFixture(std::string lines = kLines)
      : lines_(std::move(lines)),
        service_(std::make_unique<Service>([this] { return ParseLinesFile(lines_, "test"); })) {}

  ~ServiceFixture() override {
    // The service goes before the loop, as in the program.
    service_.reset();
  }

  static void Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR param1,
                       DWORD_PTR param2, DWORD_PTR param3) {
    auto* self = reinterpret_cast<ServiceFixture*>(instance);
    self->received_.push_back(
        {device, message, instance, param1, param2, param3, self->loop_.NowMs()});
    if (self->on_message_) self->on_message_(self->received_.back());
  }

  DWORD_PTR Instance() { return reinterpret_cast<DWORD_PTR>(this); }

  // Registers the application; returns the number of line devices.
  DWORD Initialize() {
    DWORD devices = 0;
    EXPECT_EQ(service_->Initialize(&app_, platform::LineAppInstance(loop_), Callback,
                                   "linesvc test", &devices),
              0);
    return devices;
  }

  HLINE OpenLine(DWORD device, DWORD privileges = LINECALLPRIVILEGE_NONE) {
    HLINE line = 0;
    EXPECT_EQ(service_->Open(app_, device, &line, kTapiVersion14, 0, Instance(), privileges,
                             LINEMEDIAMODE_AUTOMATEDVOICE, nullptr),
              0);
    return line;
  }

  static LINECALLPARAMS VoiceParams() {
    LINECALLPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwBearerMode = LINEBEARERMODE_VOICE;
    params.dwMediaMode = LINEMEDIAMODE_AUTOMATEDVOICE;
    params.dwCallParamFlags = LINECALLPARAMFLAGS_IDLE;
    params.dwAddressMode = LINEADDRESSMODE_ADDRESSID;
    return params;
  }

  LONG MakeCall(HLINE line, const char* number, HCALL* call) {
    LINECALLPARAMS params = VoiceParams();
    return service_->MakeCall(line, call, number, 0, &params);
  }

  // Registers, opens line 0 (line_) and dials the number (call_); returns the request.
  LONG Dial(const char* number = "5551234") {
    Initialize();
    line_ = OpenLine(0);
    return MakeCall(line_, number, &call_);
  }

  // The call states received for a call, in order.
  std::vector<DWORD> States(HCALL call) const {
    std::vector<DWORD> states;
    for (const Received& r : received_) {
      if (r.message == LINE_CALLSTATE && r.device == call) states.push_back(r.param1);
    }
    return states;
  }

  const Received* Find(DWORD message, size_t from = 0) const {
    for (size_t i = from; i < received_.size(); ++i) {
      if (received_[i].message == message) return &received_[i];
    }
    return nullptr;
  }

  DWORD CallState(HCALL call) {
    LINECALLSTATUS status{};
    status.dwTotalSize = sizeof status;
    EXPECT_EQ(service_->GetCallStatus(call, &status), 0);
    return status.dwCallState;
  }

  platform::MessageLoop loop_{platform::ClockMode::kVirtual};
  std::string lines_;
  std::unique_ptr<Service> service_;
  HLINEAPP app_ = 0;
  HLINE line_ = 0;
  HCALL call_ = 0;
  std::vector<Received> received_;
  std::function<void(const Received&)> on_message_;
};

}  // namespace telvane::linesvc
