// The telephony service's request side: applications, open lines and calls, and the TAPI rules
// around the requests (handles, structure sizes, request identifiers). What the drivers report
// is in service_reports.cpp.
#include "linesvc/service.h"

#include <algorithm>
#include <cstring>

#include "linesvc/service_records.h"
#include "linesvc/tapi_structures.h"
#include "platform/tapi_binding.h"
#include "platform/text.h"
#include "platform/timers.h"

namespace telvane::linesvc {

namespace {

constexpr DWORD kAllPrivileges =
    LINECALLPRIVILEGE_NONE | LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER;
constexpr DWORD kAllLineStates = 0x01FFFFFF;     // every LINEDEVSTATE_* up to REMOVED
constexpr DWORD kAllAddressStates = 0x000001FF;  // every LINEADDRESSSTATE_* up to CAPSCHANGE

}  // namespace

bool LineDriver::IsDialable(const std::string& number) const {
  static constexpr std::string_view kAllowed = "0123456789ABCDabcd*#+,!Ww@$PpTt ()-.";
  return std::all_of(number.begin(), number.end(),
                     [](char c) { return kAllowed.find(c) != std::string_view::npos; });
}

Service::Service(ConfigLoader loader, const DriverRegistry& drivers)
    : loader_(std::move(loader)), drivers_(drivers) {}

Service::~Service() {
  // An application that never shut down may have taken its loop with it.
  events_.SetClock(nullptr);
  calls_.clear();
  lines_.clear();
  devices_.clear();
}

void Service::LoadDevices() {
  devices_.clear();
  LinesConfig config = loader_();
  events_.SetFile(config.log_path);
  for (const std::string& problem : config.problems) events_.Add("service", problem);
  for (LineConfig& line : config.lines) {
    std::string error;
    const DriverLog log = [this, &line](std::string_view text) { events_.Add(line.name, text); };
    std::unique_ptr<LineDriver> driver =
        drivers_.Create(line, static_cast<DWORD>(devices_.size()), log, &error);
    if (!driver) {
      events_.Add("service", config.source + ":" + std::to_string(line.file_line) + ": [line " +
                                 line.name + "] left out: " + error);
      continue;
    }
    auto device = std::make_unique<Device>();
    line.media_modes = driver->MediaModes(line.media_modes);
    device->config = std::move(line);
    device->driver = std::move(driver);
    device->sink = std::make_unique<LineSinkImpl>(*this, devices_.size());
    devices_.push_back(std::move(device));
  }
  events_.Add("service", (config.source.empty() ? std::string("no lines file")
                                                : "lines file " + config.source) +
                             ": " + std::to_string(devices_.size()) + " line device(s)");
}

Service::App* Service::FindApp(HLINEAPP handle) {
  auto it = apps_.find(handle);
  return it == apps_.end() ? nullptr : &it->second;
}

Service::OpenLine* Service::FindLine(HLINE handle) {
  auto it = lines_.find(handle);
  return it == lines_.end() || it->second.defunct ? nullptr : &it->second;
}

Service::Call* Service::FindCall(HCALL handle) {
  auto it = calls_.find(handle);
  return it == calls_.end() || it->second->defunct ? nullptr : it->second.get();
}

DWORD Service::NextRequest() {
  last_request_ = last_request_ >= 0x7FFFFFFF ? 1 : last_request_ + 1;
  return last_request_;
}

void Service::CloseLine(HLINE handle) {
  auto it = lines_.find(handle);
  if (it == lines_.end()) return;
  std::erase_if(calls_, [handle](const auto& entry) { return entry.second->line == handle; });
  Device& device = *devices_[it->second.device];
  lines_.erase(it);
  if (--device.open_count == 0) device.driver->Close();
  events_.Add(device.config.name, "line closed");
}

LONG Service::Initialize(LPHLINEAPP line_app, HINSTANCE instance, LINECALLBACK callback,
                         LPCSTR app_name, LPDWORD num_devs) {
  if (line_app == nullptr || num_devs == nullptr || callback == nullptr) {
    return LINEERR_INVALPOINTER;
  }
  platform::MessageLoop* loop = platform::LoopOfLineAppInstance(instance);
  if (loop == nullptr) {
    events_.Add("service", "lineInitialize refused: the application named no message loop");
    return LINEERR_OPERATIONFAILED;
  }
  CollectDefunctCalls();
  if (apps_.empty()) {
    events_.SetClock(loop);
    LoadDevices();
  }
  App app{++last_handle_, callback, app_name ? app_name : "", loop,
          std::make_unique<platform::TaskGroup>(*loop)};
  *line_app = app.handle;
  *num_devs = static_cast<DWORD>(devices_.size());
  apps_.emplace(app.handle, std::move(app));
  return 0;
}

LONG Service::Shutdown(HLINEAPP line_app) {
  if (FindApp(line_app) == nullptr) return LINEERR_INVALAPPHANDLE;
  std::vector<HLINE> owned;
  for (const auto& [handle, line] : lines_) {
    if (line.app == line_app) owned.push_back(handle);
  }
  for (HLINE handle : owned) CloseLine(handle);
  apps_.erase(line_app);
  events_.SetClock(apps_.empty() ? nullptr : apps_.begin()->second.loop);
  return 0;
}

LONG Service::NegotiateAPIVersion(HLINEAPP line_app, DWORD device_id, DWORD low_version,
                                  DWORD high_version, LPDWORD api_version,
                                  LPLINEEXTENSIONID extension) {
  if (FindApp(line_app) == nullptr) return LINEERR_INVALAPPHANDLE;
  if (device_id >= devices_.size()) return LINEERR_BADDEVICEID;
  if (api_version == nullptr || extension == nullptr) return LINEERR_INVALPOINTER;
  if (low_version > kTapiVersion14 || high_version < kTapiVersion14) {
    return LINEERR_INCOMPATIBLEAPIVERSION;
  }
  *api_version = kTapiVersion14;
  *extension = LINEEXTENSIONID{};
  return 0;
}

LONG Service::GetDevCaps(HLINEAPP line_app, DWORD device_id, DWORD api_version, DWORD ext_version,
                         LPLINEDEVCAPS caps) {
  if (FindApp(line_app) == nullptr) return LINEERR_INVALAPPHANDLE;
  if (device_id >= devices_.size()) return LINEERR_BADDEVICEID;
  if (api_version != kTapiVersion14) return LINEERR_INCOMPATIBLEAPIVERSION;
  if (ext_version != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
  if (caps == nullptr) return LINEERR_INVALPOINTER;
  if (caps->dwTotalSize < sizeof(LINEDEVCAPS)) return LINEERR_STRUCTURETOOSMALL;
  const Device& device = *devices_[device_id];
  FillDevCaps({device.config.name, device.driver->ProviderInfo(), device.config.media_modes,
               device.config.line_features},
              caps);
  return 0;
}

LONG Service::Open(HLINEAPP line_app, DWORD device_id, LPHLINE line, DWORD api_version,
                   DWORD ext_version, DWORD_PTR callback_instance, DWORD privileges,
                   DWORD media_modes, LINECALLPARAMS*) {
  CollectDefunctCalls();
  App* app = FindApp(line_app);
  if (app == nullptr) return LINEERR_INVALAPPHANDLE;
  if (device_id >= devices_.size()) return LINEERR_BADDEVICEID;
  if (line == nullptr) return LINEERR_INVALPOINTER;
  if (api_version != kTapiVersion14) return LINEERR_INCOMPATIBLEAPIVERSION;
  if (ext_version != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
  if (privileges == 0 || (privileges & ~kAllPrivileges) != 0 ||
      ((privileges & LINECALLPRIVILEGE_NONE) != 0 && privileges != LINECALLPRIVILEGE_NONE)) {
    return LINEERR_INVALPRIVSELECT;
  }
  Device& device = *devices_[device_id];
  const bool owner = (privileges & LINECALLPRIVILEGE_OWNER) != 0;
  // Media modes say which offered calls an owner wants; they do not matter to other opens.
  if (owner && (media_modes == 0 || (media_modes & ~device.config.media_modes) != 0)) {
    return LINEERR_INVALMEDIAMODE;
  }
  if (owner) {
    for (const auto& [handle, open] : lines_) {
      if (open.device == device_id && open.app != line_app &&
          (open.privileges & LINECALLPRIVILEGE_OWNER) != 0) {
        return LINEERR_ALLOCATED;
      }
    }
  }
  if (device.open_count == 0) {
    const LONG result = device.driver->Open(*app->loop, *device.sink);
    if (result != 0) return result < 0 ? result : LINEERR_OPERATIONFAILED;
  }
  ++device.open_count;
  OpenLine open;
  open.handle = ++last_handle_;
  open.app = line_app;
  open.device = device_id;
  open.instance = callback_instance;
  open.privileges = privileges;
  open.media_modes = media_modes;
  open.messages = std::make_unique<platform::TaskGroup>(*app->loop);
  *line = open.handle;
  lines_.emplace(open.handle, std::move(open));
  events_.Add(device.config.name, "line opened");
  return 0;
}

LONG Service::SetStatusMessages(HLINE line, DWORD line_states, DWORD address_states) {
  OpenLine* open = FindLine(line);
  if (open == nullptr) return LINEERR_INVALLINEHANDLE;
  if ((line_states & ~kAllLineStates) != 0) return LINEERR_INVALLINESTATE;
  if ((address_states & ~kAllAddressStates) != 0) return LINEERR_INVALADDRESSSTATE;
  open->line_states = line_states;
  return 0;
}

LONG Service::MakeCall(HLINE line, LPHCALL call, LPCSTR dest_address, DWORD,
                       LINECALLPARAMS* params) {
  CollectDefunctCalls();
  OpenLine* open = FindLine(line);
  if (open == nullptr) return LINEERR_INVALLINEHANDLE;
  if (call == nullptr) return LINEERR_INVALPOINTER;
  Device& device = *devices_[open->device];
  const std::string& name = device.config.name;
  if ((device.config.line_features & LINEFEATURE_MAKECALL) == 0) {
    return LINEERR_OPERATIONUNAVAIL;
  }
  // Read at most one character past the limit, so an unterminated string is not overrun far.
  const size_t length = dest_address == nullptr ? 0 : strnlen(dest_address, kMaxDialableLength + 1);
  const std::string number(dest_address == nullptr ? "" : dest_address, length);
  if (number.empty() || length > kMaxDialableLength || !device.driver->IsDialable(number)) {
    events_.Add(name, "dialling refused: invalid address");
    return LINEERR_INVALADDRESS;
  }
  DWORD media_mode = 0;
  DWORD param_flags = 0;
  const LONG checked = ReadCallParams(params, device.config.media_modes, &media_mode, &param_flags);
  if (checked != 0) return checked;
  for (const auto& [handle, other] : calls_) {
    if (other->device == open->device && !other->defunct && other->state != LINECALLSTATE_IDLE) {
      return LINEERR_CALLUNAVAIL;
    }
  }
  const App& app = *FindApp(open->app);
  auto entry = std::make_unique<Call>();
  entry->handle = ++last_handle_;
  entry->line = line;
  entry->device = open->device;
  entry->number = number;
  entry->media_mode = media_mode;
  entry->param_flags = param_flags;
  entry->call_id = ++last_call_id_;
  entry->sink = std::make_unique<CallSinkImpl>(*this, entry->handle, name);
  const LONG result =
      device.driver->CreateCall(number, media_mode, *app.loop, *entry->sink, &entry->driver);
  if (result != 0 || !entry->driver) {
    events_.Add(name, "dialling " + number + " refused: " + Hex(result));
    return result < 0 ? result : LINEERR_OPERATIONFAILED;
  }
  const DWORD request = NextRequest();
  entry->pending_request = request;
  Call& placed = *entry;
  calls_.emplace(entry->handle, std::move(entry));
  // TAPI writes the handle when the request completes; writing it now spares keeping the
  // caller's pointer, and the caller may not use it before LINE_REPLY anyway.
  *call = placed.handle;
  events_.Add(name, "dialling " + number + " (request " + std::to_string(request) + ")");
  placed.driver->Start();
  return static_cast<LONG>(request);
}

LONG Service::Accept(HCALL call, LPCSTR, DWORD) {
  // These lines never offer calls, so no call here can be accepted or answered.
  return FindCall(call) == nullptr ? LINEERR_INVALCALLHANDLE : LINEERR_INVALCALLSTATE;
}

LONG Service::Answer(HCALL call, LPCSTR user_info, DWORD size) {
  return Accept(call, user_info, size);
}

LONG Service::Drop(HCALL call, LPCSTR, DWORD) {
  Call* entry = FindCall(call);
  if (entry == nullptr) return LINEERR_INVALCALLHANDLE;
  if (entry->state == LINECALLSTATE_IDLE || entry->dropping || entry->pending_request != 0) {
    return LINEERR_INVALCALLSTATE;
  }
  const DWORD request = NextRequest();
  entry->pending_request = request;
  entry->dropping = true;
  events_.Add(devices_[entry->device]->config.name,
              "drop (request " + std::to_string(request) + ")");
  entry->driver->Drop();
  return static_cast<LONG>(request);
}

LONG Service::DeallocateCall(HCALL call) {
  CollectDefunctCalls();
  Call* entry = FindCall(call);
  if (entry == nullptr) return LINEERR_INVALCALLHANDLE;
  // The application is the call's only owner: it must drop a call before freeing it.
  if (entry->state != LINECALLSTATE_IDLE) return LINEERR_INVALCALLSTATE;
  calls_.erase(call);
  return 0;
}

LONG Service::Close(HLINE line) {
  CollectDefunctCalls();
  if (FindLine(line) == nullptr) return LINEERR_INVALLINEHANDLE;
  CloseLine(line);
  return 0;
}

LONG Service::DeviceIdOf(const Device& device, Call* call, const std::string& device_class,
                         DWORD* id) {
  if (device_class == "wave/out" || device_class == "wave/in") {
    if ((device.config.media_modes & kVoiceMediaModes) == 0) return LINEERR_INVALDEVICECLASS;
  } else if (device_class == "comm/datamodem") {
    if ((device.config.media_modes & LINEMEDIAMODE_DATAMODEM) == 0) {
      return LINEERR_INVALDEVICECLASS;
    }
  } else {
    return LINEERR_INVALDEVICECLASS;
  }
  return call ? call->driver->GetDeviceId(device_class, id)
              : device.driver->GetDeviceId(device_class, id);
}

LONG Service::GetID(HLINE line, DWORD address_id, HCALL call, DWORD select, LPVARSTRING device_id,
                    LPCSTR device_class) {
  Call* entry = nullptr;
  size_t device = 0;
  if (select == LINECALLSELECT_LINE || select == LINECALLSELECT_ADDRESS) {
    const OpenLine* open = FindLine(line);
    if (open == nullptr) return LINEERR_INVALLINEHANDLE;
    if (select == LINECALLSELECT_ADDRESS && address_id != 0) return LINEERR_INVALADDRESSID;
    device = open->device;
  } else if (select == LINECALLSELECT_CALL) {
    entry = FindCall(call);
    if (entry == nullptr) return LINEERR_INVALCALLHANDLE;
    device = entry->device;
  } else {
    return LINEERR_INVALCALLSELECT;
  }
  if (device_id == nullptr) return LINEERR_INVALPOINTER;
  if (device_id->dwTotalSize < sizeof(VARSTRING)) return LINEERR_STRUCTURETOOSMALL;
  if (device_class == nullptr) return LINEERR_INVALDEVICECLASS;
  DWORD id = 0;
  const LONG result = DeviceIdOf(*devices_[device], entry, platform::LowerCase(device_class), &id);
  if (result != 0) return result;
  FillDeviceId(id, device_id);
  return 0;
}

LONG Service::MonitorDigits(HCALL call, DWORD digit_modes) {
  Call* entry = FindCall(call);
  if (entry == nullptr) return LINEERR_INVALCALLHANDLE;
  // Pulse digits cannot be told apart on these lines; unknown bits are refused too.
  if ((digit_modes & ~kMonitorDigitModes) != 0) {
    return LINEERR_INVALDIGITMODE;
  }
  if (entry->state == LINECALLSTATE_IDLE) return LINEERR_INVALCALLSTATE;
  const LONG result = entry->driver->MonitorDigits(digit_modes);
  const std::string& name = devices_[entry->device]->config.name;
  if (result != 0) {
    events_.Add(name, "digit monitoring refused: " + Hex(result));
    return result < 0 ? result : LINEERR_OPERATIONFAILED;
  }
  entry->digit_modes = digit_modes;
  events_.Add(name, "digit monitoring " + Hex(static_cast<LONG>(digit_modes)));
  return 0;
}

LONG Service::GetCallInfo(HCALL call, LPLINECALLINFO info) {
  const Call* entry = FindCall(call);
  if (entry == nullptr) return LINEERR_INVALCALLHANDLE;
  if (info == nullptr) return LINEERR_INVALPOINTER;
  if (info->dwTotalSize < sizeof(LINECALLINFO)) return LINEERR_STRUCTURETOOSMALL;
  const OpenLine* open = FindLine(entry->line);
  const App* app = open ? FindApp(open->app) : nullptr;
  FillCallInfo(
      {entry->line, static_cast<DWORD>(entry->device), entry->media_mode, entry->call_id,
       entry->param_flags, entry->digit_modes, entry->number, app ? app->name : std::string()},
      info);
  return 0;
}

LONG Service::GetCallStatus(HCALL call, LPLINECALLSTATUS status) {
  const Call* entry = FindCall(call);
  if (entry == nullptr) return LINEERR_INVALCALLHANDLE;
  if (status == nullptr) return LINEERR_INVALPOINTER;
  if (status->dwTotalSize < sizeof(LINECALLSTATUS)) return LINEERR_STRUCTURETOOSMALL;
  FillCallStatus(entry->state, entry->state_mode, status);
  return 0;
}

Service& ProcessService() {
  static Service service(LoadLinesConfig);
  return service;
}

}  // namespace telvane::linesvc
