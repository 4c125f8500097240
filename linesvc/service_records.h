// The records the telephony service keeps of applications, devices, open lines and calls.
// Shared by the service's two halves: the requests of the applications (service.cpp) and the
// reports of the drivers with the messages they become (service_reports.cpp). Internal to the
// service; on the thread of its requests, as the service is.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "linesvc/service.h"
#include "platform/timers.h"

namespace telvane::linesvc {

struct Service::App {
  HLINEAPP handle = 0;
  LINECALLBACK callback = nullptr;
  std::string name;
  platform::MessageLoop* loop = nullptr;
  // The service's own work on the application's loop (freeing what a driver report ended);
  // dropped when the application or the service goes.
  std::unique_ptr<platform::TaskGroup> chores;
};

class Service::LineSinkImpl final : public LineSink {
 public:
  LineSinkImpl(Service& service, size_t device) : service_(service), device_(device) {}
  void OnLineDevState(DWORD state) override { service_.OnLineDevState(device_, state); }
  void OnLineClosed() override { service_.OnLineClosed(device_); }
  void OnEvent(std::string_view text) override;

 private:
  Service& service_;
  size_t device_;
};

struct Service::Device {
  LineConfig config;
  std::unique_ptr<LineDriver> driver;
  std::unique_ptr<LineSinkImpl> sink;
  int open_count = 0;
};

struct Service::OpenLine {
  HLINE handle = 0;
  HLINEAPP app = 0;
  size_t device = 0;
  DWORD_PTR instance = 0;
  DWORD privileges = 0;
  DWORD media_modes = 0;
  DWORD line_states = 0;  // LINEDEVSTATE_* the application asked to hear about
  bool defunct = false;   // closed by force: the handle no longer works
  // The messages posted for the line; closing the line drops those not yet delivered.
  std::unique_ptr<platform::TaskGroup> messages;
};

class Service::CallSinkImpl final : public CallSink {
 public:
  CallSinkImpl(Service& service, HCALL call, std::string source)
      : service_(service), call_(call), source_(std::move(source)) {}
  void OnDialResult(LONG result) override { service_.OnDialResult(call_, result); }
  void OnCallState(DWORD state, DWORD mode) override { service_.OnCallState(call_, state, mode); }
  void OnDropResult(LONG result) override { service_.OnDropResult(call_, result); }
  void OnDigit(char digit, std::string_view path) override { service_.OnDigit(call_, digit, path); }
  void OnEvent(std::string_view text) override { service_.events_.Add(source_, text); }

 private:
  Service& service_;
  HCALL call_;
  std::string source_;
};

struct Service::Call {
  HCALL handle = 0;
  HLINE line = 0;
  size_t device = 0;
  std::string number;
  DWORD media_mode = 0;
  DWORD param_flags = 0;
  DWORD call_id = 0;
  DWORD state = 0;  // 0 until the first state is reported
  DWORD state_mode = 0;
  DWORD digit_modes = 0;
  // The request whose LINE_REPLY is outstanding; call messages wait behind it.
  DWORD pending_request = 0;
  std::vector<Message> held;
  bool dropping = false;
  bool defunct = false;  // the dial failed or the line was closed by force
  // The driver's call reports to the sink, so it is declared after it and destroyed first.
  std::unique_ptr<CallSinkImpl> sink;
  std::unique_ptr<DriverCall> driver;
};

}  // namespace telvane::linesvc
