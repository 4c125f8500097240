#include "platform/tapi_binding.h"

#include <array>
#include <cstring>
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

struct Binding {
  platform::TapiLibrary choice = platform::DefaultTapiLibrary();
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

// The identifier block lineGetID fills.
constexpr size_t kLineIDBufferSize = 1028;

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
  std::unique_ptr<DynamicLibrary> library = DynamicLibrary::Load(binding.choice.name_or_path);
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

void SetTapiLibraryName(const std::string& name_or_path, TapiProvider provider) {
  UnbindTapi();
  State().choice = {name_or_path, provider};
}

HINSTANCE LineAppInstance(MessageLoop& loop) {
  if (State().choice.provider == TapiProvider::kSystem) return nullptr;
  return reinterpret_cast<HINSTANCE>(&loop);
}

MessageLoop* LoopOfLineAppInstance(HINSTANCE instance) {
  return reinterpret_cast<MessageLoop*>(instance);
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

std::optional<DWORD> QueryDeviceID(HLINE line, HCALL call, DWORD select, const char* device_class) {
  alignas(VARSTRING) uint8_t buffer[kLineIDBufferSize] = {};
  auto* reply = reinterpret_cast<VARSTRING*>(buffer);
  reply->dwTotalSize = sizeof buffer;
  if (tapi::lineGetID(line, 0, call, select, reply, device_class) != 0) return std::nullopt;
  // The identifier is the 4 bytes at the string offset; a reply that does not hold them
  // inside the buffer names nothing.
  DWORD id = 0;
  if (reply->dwStringSize < sizeof id || reply->dwStringOffset < sizeof(VARSTRING) ||
      reply->dwStringOffset > sizeof buffer - sizeof id) {
    return std::nullopt;
  }
  std::memcpy(&id, buffer + reply->dwStringOffset, sizeof id);
  return id;
}

}  // namespace platform

namespace tapi {

#define TELVANE_TAPI_WRAPPER(name, params, args)                                   \
  LONG line##name params {                                                         \
    return Call<PFN_line##name>(EntryIndex("line" #name), TELVANE_TAPI_ARGS args); \
  }
TELVANE_TAPI_REQUESTS(TELVANE_TAPI_WRAPPER)
#undef TELVANE_TAPI_WRAPPER

}  // namespace tapi
}  // namespace telvane
