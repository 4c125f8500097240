// The telephony service: TAPI 1.4 line requests over the line devices of the lines file.
//
// Applications reach it through the exported C entry points (exports.cpp), which forward to
// the one Service of the process; tests make their own Service with a configuration of their
// choosing and call the same members.
//
//   Service service([] { return ParseLinesFile(text, "test"); });
//   service.Initialize(&app, platform::LineAppInstance(loop), Callback, "app", &devices);
//   ...
//   loop.RunUntilIdle();           // messages reach Callback from here, never from a request
//
// What it promises, as TAPI does:
// - Every message for an application is posted to the message loop that the application
//   handed lineInitialize as its instance (platform::LineAppInstance), and reaches its callback
//   when that loop's thread dispatches it, never from inside a request. Messages for a line
//   carry the callback instance given to lineOpen.
// - An asynchronous request (lineMakeCall, lineDrop) returns a positive request identifier;
//   its LINE_REPLY comes before any call state that follows from it.
// - After lineClose or lineShutdown, or once the Service is destroyed, nothing more is
//   delivered for the lines concerned, even what was already queued.
//
// Threads: not thread-safe. All requests of an application come from the thread that called
// lineInitialize; the drivers report on that thread too.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "linesvc/driver.h"
#include "linesvc/driver_registry.h"
#include "linesvc/event_log.h"
#include "linesvc/lines_file.h"
#include "linesvc/tapi_structures.h"
#include "platform/message_loop.h"
#include "platform/tapi.h"

namespace telvane::linesvc {

// The longest destination address lineMakeCall takes, in characters.
inline constexpr size_t kMaxDialableLength = 251;

class Service {
 public:
  using ConfigLoader = std::function<LinesConfig()>;

  // The loader is asked for the line devices whenever the first application registers, so a
  // changed lines file counts from the next run of the program. Each line's driver comes from
  // `drivers`, which must outlive the service.
  explicit Service(ConfigLoader loader, const DriverRegistry& drivers = BuiltInDrivers());
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // The TAPI 1.4 requests, declared from the one list of platform/tapi.h with the parameters
  // and results of the published functions: LONG Initialize(LPHLINEAPP lphLineApp, ...).
  // Initialize refuses (LINEERR_OPERATIONFAILED) an instance that names no message loop.
#define TELVANE_LINESVC_REQUEST(name, params, args) LONG name params;
  TELVANE_TAPI_REQUESTS(TELVANE_LINESVC_REQUEST)
#undef TELVANE_LINESVC_REQUEST

  // What the service and its lines did, including why lines of the file were left out.
  const EventLog& Events() const { return events_; }

 private:
  struct App;
  struct Device;
  struct OpenLine;
  struct Call;
  class CallSinkImpl;
  class LineSinkImpl;
  struct Message {
    DWORD device;
    DWORD message;
    DWORD_PTR param1, param2, param3;
  };

  void LoadDevices();
  App* FindApp(HLINEAPP handle);
  OpenLine* FindLine(HLINE handle);
  Call* FindCall(HCALL handle);
  DWORD NextRequest();
  void Post(const OpenLine& line, const Message& message);
  void PostForCall(Call& call, const Message& message);
  void CompleteRequest(Call& call, LONG result);
  void CloseLine(HLINE handle);
  // Frees defunct calls and lines from a task on the loop of the application of `line`.
  void DeferCleanup(HLINE line);
  void CollectDefunctCalls();
  void CollectDefunctLines();
  LONG DeviceIdOf(const Device& device, Call* call, const std::string& device_class, DWORD* id);

  // Reports of the drivers.
  void OnDialResult(HCALL handle, LONG result);
  void OnCallState(HCALL handle, DWORD state, DWORD mode);
  void OnDropResult(HCALL handle, LONG result);
  void OnDigit(HCALL handle, char digit, std::string_view path);
  void OnLineDevState(size_t device, DWORD state);
  void OnLineClosed(size_t device);

  ConfigLoader loader_;
  const DriverRegistry& drivers_;
  EventLog events_;
  // Declared so that calls go first, then the lines, then the devices their drivers use.
  std::vector<std::unique_ptr<Device>> devices_;
  std::map<HLINEAPP, App> apps_;
  std::map<HLINE, OpenLine> lines_;
  std::map<HCALL, std::unique_ptr<Call>> calls_;
  DWORD last_handle_ = 0;
  DWORD last_request_ = 0;
  DWORD last_call_id_ = 0;
};

// The Service of this process, behind the exported entry points; it reads the lines file of
// the search order (LoadLinesConfig).
Service& ProcessService();

}  // namespace telvane::linesvc
