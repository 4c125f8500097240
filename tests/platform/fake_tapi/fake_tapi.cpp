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

// The out parameters a request fills; requests without any fill nothing.
template <typename... Args>
void FillOut(Args...) {}

void FillOut(LPHLINEAPP lphLineApp, HINSTANCE, LINECALLBACK, LPCSTR, LPDWORD lpdwNumDevs) {
  *lphLineApp = control.app_handle;
  *lpdwNumDevs = control.device_count;
}

void FillOut(HLINEAPP, DWORD, DWORD, DWORD dwAPIHighVersion, LPDWORD lpdwAPIVersion,
             LPLINEEXTENSIONID lpExtensionID) {
  *lpdwAPIVersion = dwAPIHighVersion;
  *lpExtensionID = LINEEXTENSIONID{1, 2, 3, 4};
}

void FillOut(HLINEAPP, DWORD, LPHLINE lphLine, DWORD, DWORD, DWORD_PTR, DWORD, DWORD,
             LPLINECALLPARAMS) {
  *lphLine = control.line_handle;
}

void FillOut(HLINE, LPHCALL lphCall, LPCSTR, DWORD, LPLINECALLPARAMS) {
  *lphCall = control.call_handle;
}

// A request answers as the control block says: the growing queries' requests through Query,
// every other one with the same result after filling its out parameters.
template <typename... Args>
LONG Answer(const char* entry, Args... args) {
  FillOut(args...);
  return Record(entry, args...);
}

LONG Answer(const char* entry, HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion,
            DWORD dwExtVersion, LPLINEDEVCAPS lpLineDevCaps) {
  return Query(entry, lpLineDevCaps, hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion);
}

LONG Answer(const char* entry, HCALL hCall, LPLINECALLINFO lpCallInfo) {
  return Query(entry, lpCallInfo, hCall);
}

LONG Answer(const char* entry, HCALL hCall, LPLINECALLSTATUS lpCallStatus) {
  return Query(entry, lpCallStatus, hCall);
}

}  // namespace

#ifdef FAKE_TAPI_WITHOUT_MONITOR_DIGITS
// An older provider lacks the entry: the stand-in's request goes under a name nobody asks for.
#define lineMonitorDigits FakeTapiWithoutMonitorDigits
#endif

extern "C" {

fake_tapi::Control* FakeTapiControlBlock() { return &control; }

#define FAKE_TAPI_ENTRY(name, params, args) \
  LONG line##name params { return Answer("line" #name, TELVANE_TAPI_ARGS args); }
TELVANE_TAPI_REQUESTS(FAKE_TAPI_ENTRY)
#undef FAKE_TAPI_ENTRY

}  // extern "C"
