#include "platform/tapi_binding.h"

#include <array>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/errors.h"
#include "platform/lazy_library.h"

namespace telvane {
namespace {

// The library's line entries, by position in the one list of platform/tapi.h, and their names.
#define TELVANE_TAPI_ENTRY_INDEX(name, ...) kLine##name,
enum EntryIndex : size_t {
  TELVANE_TAPI_LINE_INTERFACE(TELVANE_TAPI_ENTRY_INDEX, TELVANE_TAPI_ENTRY_INDEX) kEntryCount
};
#undef TELVANE_TAPI_ENTRY_INDEX
#define TELVANE_TAPI_ENTRY_NAME(name, ...) "line" #name,
constexpr std::array<const char*, kEntryCount> kEntryNames = {
    TELVANE_TAPI_LINE_INTERFACE(TELVANE_TAPI_ENTRY_NAME, TELVANE_TAPI_ENTRY_NAME)};
#undef TELVANE_TAPI_ENTRY_NAME

struct Binding {
  platform::TapiLibrary choice = platform::DefaultTapiLibrary();
  std::optional<platform::LazyLibrary> library{std::in_place, choice.name_or_path};
  // Fetched when the library is loaded; an entry it lacks stays missing until it is unloaded.
  std::array<void*, kEntryCount> entries{};
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
  if (binding.library->IsLoaded()) return true;
  if (!binding.library->Load()) return false;
  for (size_t i = 0; i < kEntryCount; ++i) {
    binding.entries[i] = binding.library->Entry(kEntryNames[i]);
  }
  return true;
}

void UnbindTapi() {
  Binding& binding = State();
  binding.entries.fill(nullptr);
  binding.library->Unload();
}

void SetTapiLibraryName(const std::string& name_or_path, TapiProvider provider) {
  UnbindTapi();
  Binding& binding = State();
  binding.choice = {name_or_path, provider};
  binding.library.emplace(name_or_path);
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

#define TELVANE_TAPI_WRAPPER(name, params, args) \
  LONG line##name params { return Call<PFN_line##name>(kLine##name, TELVANE_TAPI_ARGS args); }
TELVANE_TAPI_REQUESTS(TELVANE_TAPI_WRAPPER)
#undef TELVANE_TAPI_WRAPPER

}  // namespace tapi
}  // namespace telvane
