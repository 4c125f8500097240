// The entry points of the telephony library, with the names and C linkage of TAPI32's, so
// that the program's binding loads them by name. Each forwards to the process's service.
#include <type_traits>

#include "linesvc/service.h"
#include "platform/tapi.h"

#define TELVANE_LINESVC_EXPORT extern "C" __attribute__((visibility("default")))

using telvane::linesvc::ProcessService;

TELVANE_LINESVC_EXPORT LONG lineInitialize(LPHLINEAPP line_app, HINSTANCE instance,
                                           LINECALLBACK callback, LPCSTR app_name,
                                           LPDWORD num_devs) {
  return ProcessService().Initialize(line_app, instance, callback, app_name, num_devs);
}

TELVANE_LINESVC_EXPORT LONG lineShutdown(HLINEAPP line_app) {
  return ProcessService().Shutdown(line_app);
}

TELVANE_LINESVC_EXPORT LONG lineNegotiateAPIVersion(HLINEAPP line_app, DWORD device_id,
                                                    DWORD low_version, DWORD high_version,
                                                    LPDWORD api_version,
                                                    LPLINEEXTENSIONID extension) {
  return ProcessService().NegotiateAPIVersion(line_app, device_id, low_version, high_version,
                                              api_version, extension);
}

TELVANE_LINESVC_EXPORT LONG lineGetDevCaps(HLINEAPP line_app, DWORD device_id, DWORD api_version,
                                           DWORD ext_version, LPLINEDEVCAPS caps) {
  return ProcessService().GetDevCaps(line_app, device_id, api_version, ext_version, caps);
}

TELVANE_LINESVC_EXPORT LONG lineOpen(HLINEAPP line_app, DWORD device_id, LPHLINE line,
                                     DWORD api_version, DWORD ext_version,
                                     DWORD_PTR callback_instance, DWORD privileges,
                                     DWORD media_modes, const LINECALLPARAMS* params) {
  return ProcessService().Open(line_app, device_id, line, api_version, ext_version,
                               callback_instance, privileges, media_modes, params);
}

TELVANE_LINESVC_EXPORT LONG lineSetStatusMessages(HLINE line, DWORD line_states,
                                                  DWORD address_states) {
  return ProcessService().SetStatusMessages(line, line_states, address_states);
}

TELVANE_LINESVC_EXPORT LONG lineMakeCall(HLINE line, LPHCALL call, LPCSTR dest_address,
                                         DWORD country_code, const LINECALLPARAMS* params) {
  return ProcessService().MakeCall(line, call, dest_address, country_code, params);
}

TELVANE_LINESVC_EXPORT LONG lineAccept(HCALL call, LPCSTR user_info, DWORD size) {
  return ProcessService().Accept(call, user_info, size);
}

TELVANE_LINESVC_EXPORT LONG lineAnswer(HCALL call, LPCSTR user_info, DWORD size) {
  return ProcessService().Answer(call, user_info, size);
}

TELVANE_LINESVC_EXPORT LONG lineDrop(HCALL call, LPCSTR user_info, DWORD size) {
  return ProcessService().Drop(call, user_info, size);
}

TELVANE_LINESVC_EXPORT LONG lineDeallocateCall(HCALL call) {
  return ProcessService().DeallocateCall(call);
}

TELVANE_LINESVC_EXPORT LONG lineClose(HLINE line) { return ProcessService().Close(line); }

TELVANE_LINESVC_EXPORT LONG lineGetID(HLINE line, DWORD address_id, HCALL call, DWORD select,
                                      LPVARSTRING device_id, LPCSTR device_class) {
  return ProcessService().GetID(line, address_id, call, select, device_id, device_class);
}

TELVANE_LINESVC_EXPORT LONG lineMonitorDigits(HCALL call, DWORD digit_modes) {
  return ProcessService().MonitorDigits(call, digit_modes);
}

TELVANE_LINESVC_EXPORT LONG lineGetCallInfo(HCALL call, LPLINECALLINFO info) {
  return ProcessService().GetCallInfo(call, info);
}

TELVANE_LINESVC_EXPORT LONG lineGetCallStatus(HCALL call, LPLINECALLSTATUS status) {
  return ProcessService().GetCallStatus(call, status);
}

// The binding casts what it looks up to these types: a mismatch would be a crash at run time.
static_assert(std::is_same_v<decltype(&lineInitialize), PFN_lineInitialize>);
static_assert(std::is_same_v<decltype(&lineShutdown), PFN_lineShutdown>);
static_assert(std::is_same_v<decltype(&lineNegotiateAPIVersion), PFN_lineNegotiateAPIVersion>);
static_assert(std::is_same_v<decltype(&lineGetDevCaps), PFN_lineGetDevCaps>);
static_assert(std::is_same_v<decltype(&lineOpen), PFN_lineOpen>);
static_assert(std::is_same_v<decltype(&lineSetStatusMessages), PFN_lineSetStatusMessages>);
static_assert(std::is_same_v<decltype(&lineMakeCall), PFN_lineMakeCall>);
static_assert(std::is_same_v<decltype(&lineAccept), PFN_lineAccept>);
static_assert(std::is_same_v<decltype(&lineAnswer), PFN_lineAnswer>);
static_assert(std::is_same_v<decltype(&lineDrop), PFN_lineDrop>);
static_assert(std::is_same_v<decltype(&lineDeallocateCall), PFN_lineDeallocateCall>);
static_assert(std::is_same_v<decltype(&lineClose), PFN_lineClose>);
static_assert(std::is_same_v<decltype(&lineGetID), PFN_lineGetID>);
static_assert(std::is_same_v<decltype(&lineMonitorDigits), PFN_lineMonitorDigits>);
static_assert(std::is_same_v<decltype(&lineGetCallInfo), PFN_lineGetCallInfo>);
static_assert(std::is_same_v<decltype(&lineGetCallStatus), PFN_lineGetCallStatus>);
