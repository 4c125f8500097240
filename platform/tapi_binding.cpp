#include "platform/tapi_binding.h"

#include <array>
#include <string_view>
#include <utility>

#include "platform/dynamic_library.h"
#include "platform/errors.h"

namespace telvane {
namespace {

// The entries fetched from the library, in the order they are fetched. Most have no wrapper:
// they are fetched so that the table covers the library's whole line interface.
constexpr std::array<const char*, 37> kEntryNames = {
    "lineGenerateTone",
    "lineMonitorTones",
    "lineSetCallParams",
    "lineHandoff",
    "lineMonitorMedia",
    "lineGenerateDigits",
    "lineMonitorDigits",
    "lineInitialize",
    "lineShutdown",
    "lineNegotiateAPIVersion",
    "lineGetDevCaps",
    "lineOpen",
    "lineMakeCall",
    "lineAccept",
    "lineAnswer",
    "lineDeallocateCall",
    "lineDrop",
    "lineClose",
    "lineGetCountry",
    "lineConfigDialog",
    "lineConfigDialogEdit",
    "lineGetID",
    "lineSetStatusMessages",
    "lineGetStatusMessages",
    "lineGetAddressCaps",
    "lineGetAddressStatus",
    "lineGetLineDevStatus",
    "lineGetDevConfig",
    "lineSetDevConfig",
    "lineGetCallInfo",
    "lineGetCallStatus",
    "lineSetMediaMode",
    "lineTranslateAddress",
    "lineTranslateDialog",
    "lineSetCurrentLocation",
    "lineSetTollList",
    "lineGetTranslateCaps",
};

// The table position of a wrapped request's entry; a name missing from the table does not
// compile.
consteval size_t EntryIndex(std::string_view name) {
  for (size_t i = 0; i < kEntryNames.size(); ++i) {
    if (name == kEntryNames[i]) return i;
  }
  throw "not an entry of the table";
}

// The request signatures, as the library exports them.
using LineInitializeFn = LONG(WINAPI*)(LPHLINEAPP, HINSTANCE, LINECALLBACK, LPCSTR, LPDWORD);
using LineShutdownFn = LONG(WINAPI*)(HLINEAPP);
using LineNegotiateAPIVersionFn = LONG(WINAPI*)(HLINEAPP, DWORD, DWORD, DWORD, LPDWORD,
                                                LPLINEEXTENSIONID);
using LineOpenFn = LONG(WINAPI*)(HLINEAPP, DWORD, LPHLINE, DWORD, DWORD, DWORD_PTR, DWORD, DWORD,
                                 const LINECALLPARAMS*);
using LineSetStatusMessagesFn = LONG(WINAPI*)(HLINE, DWORD, DWORD);
using LineMakeCallFn = LONG(WINAPI*)(HLINE, LPHCALL, LPCSTR, DWORD, const LINECALLPARAMS*);
using LineUserUserInfoFn = LONG(WINAPI*)(HCALL, LPCSTR, DWORD);  // accept, answer, drop
using LineCallFn = LONG(WINAPI*)(HCALL);
using LineCloseFn = LONG(WINAPI*)(HLINE);
using LineGetIDFn = LONG(WINAPI*)(HLINE, DWORD, HCALL, DWORD, LPVARSTRING, LPCSTR);
using LineMonitorDigitsFn = LONG(WINAPI*)(HCALL, DWORD);
using LineGetDevCapsFn = LONG(WINAPI*)(HLINEAPP, DWORD, DWORD, DWORD, LPLINEDEVCAPS);
using LineGetCallInfoFn = LONG(WINAPI*)(HCALL, LPLINECALLINFO);
using LineGetCallStatusFn = LONG(WINAPI*)(HCALL, LPLINECALLSTATUS);

struct Binding {
  std::string library_name = platform::kTapiLibraryName;
  std::unique_ptr<platform::DynamicLibrary> library;
  std::array<void*, kEntryNames.size()> entries{};
};

// Never destroyed: the library is released by UnbindTapi, not by a static destructor that
// might run while the telephony service still has threads of its own.
Binding& State() {
  static Binding* const binding = new Binding;
  return *binding;
}

// Binds when needed and calls the entry, or says why it cannot.
template <typename Fn, typename... Args>
LONG Call(size_t entry, Args... args) {
  if (!platform::BindTapi()) return ecTapiLoadFail;
  void* address = State().entries[entry];
  if (address == nullptr) return ecTapiGetAddrFail;
  return reinterpret_cast<Fn>(address)(args...);
}

}  // namespace

namespace platform {
namespace {

// The growing-query rules, over `request`, which makes one call with the buffer it is given.
template <typename T, typename Request>
LONG GrowingQuery(DWORD initial_size, TapiBlock<T>& out, Request request) {
  out.reset();
  TapiBlock<T> block(initial_size);
  LONG result = request(block.get());
  if (result == static_cast<LONG>(LINEERR_STRUCTURETOOSMALL)) {
    block = TapiBlock<T>(kTapiRetrySize);
    result = request(block.get());
  }
  if (result != 0) return result;
  const DWORD needed = block->dwNeededSize;
  if (needed > block->dwTotalSize) {
    if (needed > kTapiMaxBlockSize) return LINEERR_NOMEM;
    block = TapiBlock<T>(needed);
    result = request(block.get());
    if (result != 0) return result;
  }
  out = std::move(block);
  return result;
}

}  // namespace

bool BindTapi() {
  Binding& binding = State();
  if (binding.library) return true;
  std::unique_ptr<DynamicLibrary> library = DynamicLibrary::Load(binding.library_name);
  if (!library) return false;
  for (size_t i = 0; i < kEntryNames.size(); ++i) {
    binding.entries[i] = library->Symbol(kEntryNames[i]);
  }
  binding.library = std::move(library);
  return true;
}

void UnbindTapi() {
  Binding& binding = State();
  binding.entries.fill(nullptr);
  binding.library.reset();
}

void SetTapiLibraryName(const std::string& name_or_path) {
  UnbindTapi();
  State().library_name = name_or_path;
}

LONG QueryDevCaps(HLINEAPP line_app, DWORD device_id, DWORD api_version, DWORD ext_version,
                  TapiBlock<LINEDEVCAPS>& block) {
  return GrowingQuery(kLineDevCapsSize, block, [&](LPLINEDEVCAPS caps) {
    return tapi::lineGetDevCaps(line_app, device_id, api_version, ext_version, caps);
  });
}

LONG QueryCallInfo(HCALL call, TapiBlock<LINECALLINFO>& block) {
  return GrowingQuery(kLineCallInfoSize, block,
                      [&](LPLINECALLINFO info) { return tapi::lineGetCallInfo(call, info); });
}

LONG QueryCallStatus(HCALL call, TapiBlock<LINECALLSTATUS>& block) {
  return GrowingQuery(kLineCallStatusSize, block, [&](LPLINECALLSTATUS status) {
    return tapi::lineGetCallStatus(call, status);
  });
}

}  // namespace platform

namespace tapi {

LONG lineInitialize(LPHLINEAPP lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback,
                    LPCSTR lpszAppName, LPDWORD lpdwNumDevs) {
  return Call<LineInitializeFn>(EntryIndex("lineInitialize"), lphLineApp, hInstance, lpfnCallback,
                                lpszAppName, lpdwNumDevs);
}

LONG lineShutdown(HLINEAPP hLineApp) {
  return Call<LineShutdownFn>(EntryIndex("lineShutdown"), hLineApp);
}

LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion,
                             DWORD dwAPIHighVersion, LPDWORD lpdwAPIVersion,
                             LPLINEEXTENSIONID lpExtensionID) {
  return Call<LineNegotiateAPIVersionFn>(EntryIndex("lineNegotiateAPIVersion"), hLineApp,
                                         dwDeviceID, dwAPILowVersion, dwAPIHighVersion,
                                         lpdwAPIVersion, lpExtensionID);
}

LONG lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion,
              DWORD dwExtVersion, DWORD_PTR dwCallbackInstance, DWORD dwPrivileges,
              DWORD dwMediaModes, const LINECALLPARAMS* lpCallParams) {
  return Call<LineOpenFn>(EntryIndex("lineOpen"), hLineApp, dwDeviceID, lphLine, dwAPIVersion,
                          dwExtVersion, dwCallbackInstance, dwPrivileges, dwMediaModes,
                          lpCallParams);
}

LONG lineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates) {
  return Call<LineSetStatusMessagesFn>(EntryIndex("lineSetStatusMessages"), hLine, dwLineStates,
                                       dwAddressStates);
}

LONG lineMakeCall(HLINE hLine, LPHCALL lphCall, LPCSTR lpszDestAddress, DWORD dwCountryCode,
                  const LINECALLPARAMS* lpCallParams) {
  return Call<LineMakeCallFn>(EntryIndex("lineMakeCall"), hLine, lphCall, lpszDestAddress,
                              dwCountryCode, lpCallParams);
}

LONG lineAccept(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
  return Call<LineUserUserInfoFn>(EntryIndex("lineAccept"), hCall, lpsUserUserInfo, dwSize);
}

LONG lineAnswer(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
  return Call<LineUserUserInfoFn>(EntryIndex("lineAnswer"), hCall, lpsUserUserInfo, dwSize);
}

LONG lineDrop(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
  return Call<LineUserUserInfoFn>(EntryIndex("lineDrop"), hCall, lpsUserUserInfo, dwSize);
}

LONG lineDeallocateCall(HCALL hCall) {
  return Call<LineCallFn>(EntryIndex("lineDeallocateCall"), hCall);
}

LONG lineClose(HLINE hLine) { return Call<LineCloseFn>(EntryIndex("lineClose"), hLine); }

LONG lineGetID(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, LPVARSTRING lpDeviceID,
               LPCSTR lpszDeviceClass) {
  return Call<LineGetIDFn>(EntryIndex("lineGetID"), hLine, dwAddressID, hCall, dwSelect, lpDeviceID,
                           lpszDeviceClass);
}

LONG lineMonitorDigits(HCALL hCall, DWORD dwDigitModes) {
  return Call<LineMonitorDigitsFn>(EntryIndex("lineMonitorDigits"), hCall, dwDigitModes);
}

LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                    LPLINEDEVCAPS lpLineDevCaps) {
  return Call<LineGetDevCapsFn>(EntryIndex("lineGetDevCaps"), hLineApp, dwDeviceID, dwAPIVersion,
                                dwExtVersion, lpLineDevCaps);
}

LONG lineGetCallInfo(HCALL hCall, LPLINECALLINFO lpCallInfo) {
  return Call<LineGetCallInfoFn>(EntryIndex("lineGetCallInfo"), hCall, lpCallInfo);
}

LONG lineGetCallStatus(HCALL hCall, LPLINECALLSTATUS lpCallStatus) {
  return Call<LineGetCallStatusFn>(EntryIndex("lineGetCallStatus"), hCall, lpCallStatus);
}

}  // namespace tapi
}  // namespace telvane
