// A stand-in telephony library exporting the line requests the binding wraps. Built twice:
// complete, and with FAKE_TAPI_WITHOUT_MONITOR_DIGITS lacking lineMonitorDigits, as an older
// provider would.
#include <cstring>
#include <initializer_list>
#include <type_traits>

#include "tests/platform/fake_tapi/fake_tapi_control.h"

namespace {

fake_tapi::Control control;

template <typename T>
uintptr_t Widen(T value) {
  if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<uintptr_t>(value);
  } else {
    return static_cast<uintptr_t>(value);
  }
}

template <typename... Args>
LONG Record(const char* entry, Args... args) {
  std::strncpy(control.last_entry, entry, sizeof control.last_entry - 1);
  control.last_arg_count = 0;
  for (const uintptr_t arg : {Widen(args)...}) control.last_args[control.last_arg_count++] = arg;
  return control.result;
}

// One call of a growing query's request, answered as the control block says.
template <typename... Args>
LONG Query(const char* entry, void* block, Args... args) {
  const int call = ++control.query_calls;
  std::strncpy(control.query_entry, entry, sizeof control.query_entry - 1);
  int i = 0;
  for (const uintptr_t arg : {Widen(args)...}) control.query_args[i++] = arg;

  DWORD header[3];
  std::memcpy(header, block, sizeof header);
  const DWORD total = header[0];
  auto* bytes = static_cast<uint8_t*>(block);
  bool zeroed = true;
  for (DWORD b = sizeof(DWORD); b < total; ++b) zeroed = zeroed && bytes[b] == 0;
  if (call <= fake_tapi::kMaxRecordedCalls) {
    control.query_sizes[call - 1] = total;
    control.query_zeroed[call - 1] = zeroed;
  }

  if (control.fail_from_call != 0 && call >= control.fail_from_call) return control.fail_result;
  if (total < control.too_small_below) return LINEERR_STRUCTURETOOSMALL;
  const DWORD needed = control.needed_size != 0 ? control.needed_size : total;
  if (control.grow_by != 0) control.needed_size = needed + control.grow_by;
  const DWORD used = needed < total ? needed : total;
  std::memset(bytes + sizeof header, fake_tapi::kFill, used - sizeof header);
  header[1] = needed;
  header[2] = used;
  std::memcpy(block, header, sizeof header);
  return 0;
}

}  // namespace

extern "C" {

fake_tapi::Control* FakeTapiControlBlock() { return &control; }

LONG lineInitialize(LPHLINEAPP lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback,
                    LPCSTR lpszAppName, LPDWORD lpdwNumDevs) {
  *lphLineApp = control.app_handle;
  *lpdwNumDevs = control.device_count;
  return Record("lineInitialize", lphLineApp, hInstance, lpfnCallback, lpszAppName, lpdwNumDevs);
}

LONG lineShutdown(HLINEAPP hLineApp) { return Record("lineShutdown", hLineApp); }

LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion,
                             DWORD dwAPIHighVersion, LPDWORD lpdwAPIVersion,
                             LPLINEEXTENSIONID lpExtensionID) {
  *lpdwAPIVersion = dwAPIHighVersion;
  *lpExtensionID = LINEEXTENSIONID{1, 2, 3, 4};
  return Record("lineNegotiateAPIVersion", hLineApp, dwDeviceID, dwAPILowVersion, dwAPIHighVersion,
                lpdwAPIVersion, lpExtensionID);
}

LONG lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion,
              DWORD dwExtVersion, DWORD_PTR dwCallbackInstance, DWORD dwPrivileges,
              DWORD dwMediaModes, const LINECALLPARAMS* lpCallParams) {
  *lphLine = control.line_handle;
  return Record("lineOpen", hLineApp, dwDeviceID, lphLine, dwAPIVersion, dwExtVersion,
                dwCallbackInstance, dwPrivileges, dwMediaModes, lpCallParams);
}

LONG lineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates) {
  return Record("lineSetStatusMessages", hLine, dwLineStates, dwAddressStates);
}

LONG lineMakeCall(HLINE hLine, LPHCALL lphCall, LPCSTR lpszDestAddress, DWORD dwCountryCode,
                  const LINECALLPARAMS* lpCallParams) {
  *lphCall = control.call_handle;
  return Record("lineMakeCall", hLine, lphCall, lpszDestAddress, dwCountryCode, lpCallParams);
}

LONG lineAccept(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
  return Record("lineAccept", hCall, lpsUserUserInfo, dwSize);
}

LONG lineAnswer(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
  return Record("lineAnswer", hCall, lpsUserUserInfo, dwSize);
}

LONG lineDrop(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
  return Record("lineDrop", hCall, lpsUserUserInfo, dwSize);
}

LONG lineDeallocateCall(HCALL hCall) { return Record("lineDeallocateCall", hCall); }

LONG lineClose(HLINE hLine) { return Record("lineClose", hLine); }

LONG lineGetID(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, LPVARSTRING lpDeviceID,
               LPCSTR lpszDeviceClass) {
  return Record("lineGetID", hLine, dwAddressID, hCall, dwSelect, lpDeviceID, lpszDeviceClass);
}

#ifndef FAKE_TAPI_WITHOUT_MONITOR_DIGITS
LONG lineMonitorDigits(HCALL hCall, DWORD dwDigitModes) {
  return Record("lineMonitorDigits", hCall, dwDigitModes);
}
#endif

LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                    LPLINEDEVCAPS lpLineDevCaps) {
  return Query("lineGetDevCaps", lpLineDevCaps, hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion);
}

LONG lineGetCallInfo(HCALL hCall, LPLINECALLINFO lpCallInfo) {
  return Query("lineGetCallInfo", lpCallInfo, hCall);
}

LONG lineGetCallStatus(HCALL hCall, LPLINECALLSTATUS lpCallStatus) {
  return Query("lineGetCallStatus", lpCallStatus, hCall);
}

}  // extern "C"
