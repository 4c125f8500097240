// The Telephony API library, bound at run time.
//
// The telephony library is not linked at build time: the first telephony request loads it
// (DefaultTapiLibrary: our telephony service, libTAPI32.so, on POSIX; on Windows the system's
// TAPI32.DLL, or our service's telvane_lines.dll when a lines file asks for simulated lines),
// fetches its entries once, and keeps it until UnbindTapi at process end. Every
// request the program makes goes through a wrapper here, named and typed like the TAPI
// request it stands for, so the rest of the program never calls through a missing entry:
//
//   HLINEAPP app = 0;
//   DWORD devices = 0;
//   LONG result = tapi::lineInitialize(&app, nullptr, &OnLine, "telvane", &devices);
//   // result: TAPI's own, or ecTapiLoadFail / ecTapiGetAddrFail (hand it to RaiseOnError).
//
//   TapiBlock<LINEDEVCAPS> caps;
//   if (QueryDevCaps(app, 0, kTapiVersion14, 0, caps) == 0) Use(caps.get()->dwMediaModes);
//
// Threads: the binding is process-wide state without a lock. It is filled and used on the
// loop thread only (the thread that made the line application; TAPI calls back on it).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/message_loop.h"
#include "platform/tapi.h"

namespace telvane::platform {

// The name of the telephony library: the system's TAPI32.DLL on Windows, our telephony
// service libTAPI32.so on POSIX.
inline constexpr char kTapiLibraryName[] = "TAPI32";

// Who provides a telephony library, which decides what lineInitialize's instance carries
// (LineAppInstance).
enum class TapiProvider {
  kService,  // our telephony service, or a test's stand-in: handed the application's loop
  kSystem,   // the system's TAPI32 (Windows): finds the calling thread itself
};

struct TapiLibrary {
  std::string name_or_path;  // as DynamicLibrary::Load takes it
  TapiProvider provider = TapiProvider::kService;
};

// Any thread. The library a process binds unless told otherwise (SetTapiLibraryName): on
// POSIX our telephony service; on Windows our service beside the program when a lines file
// is found (platform/lines_file_location.h), else the system's TAPI32. Asked once, when the
// binding is first used.
TapiLibrary DefaultTapiLibrary();

// Loop thread only. Loads the library unless it is loaded already and fetches all of its
// entries; an entry the library lacks stays missing until the library is unbound. True
// when the library is loaded (now or earlier). A failed load leaves the binding unbound,
// so the next call tries again.
bool BindTapi();

// Loop thread only. Releases the library. Run it at process end, when no line application
// is left: entry pointers (and any callback the library still holds) die with the library.
// A library still bound when the process exits is left to the system.
void UnbindTapi();

// Loop thread only. Unbinds, and makes the next BindTapi load this library instead: a
// library name (see DynamicLibrary::Load) or a path, provided by `provider`. For tests that
// bind a library of their own, and for pointing the program at a telephony service installed
// elsewhere.
void SetTapiLibraryName(const std::string& name_or_path,
                        TapiProvider provider = TapiProvider::kService);

// The module-instance argument of lineInitialize, and the contract it carries. Our telephony
// service posts every message for a line application to the message loop the application
// hands it here, and reaches it through that loop only; the system's TAPI32 (Windows) finds
// the calling thread by itself and gets no instance (null), as ever. Loop thread only.
HINSTANCE LineAppInstance(MessageLoop& loop);
// The service's side: the loop an application handed to lineInitialize, or null for none.
MessageLoop* LoopOfLineAppInstance(HINSTANCE instance);

// A variable-size TAPI structure (LINEDEVCAPS, LINECALLINFO, LINECALLSTATUS...) in a buffer
// it owns. Such a structure starts with its fixed part, whose first field dwTotalSize tells
// the provider how large the buffer is; the provider appends variable parts (names,
// identifiers) behind it and points at them by offset and size. Empty until filled.
// Movable, not copyable. Not thread-safe.
template <typename T>
class TapiBlock {
 public:
  TapiBlock() = default;

  // A zero-filled buffer of `size` bytes with dwTotalSize set to it. Never smaller than the
  // fixed part of T in memory, so every field of T can be read even when `size` is.
  explicit TapiBlock(DWORD size)
      : bytes_(std::make_unique<uint8_t[]>(std::max<size_t>(size, sizeof(T)))), size_(size) {
    std::memcpy(bytes_.get(), &size_, sizeof size_);
  }

  explicit operator bool() const { return bytes_ != nullptr; }
  // The structure, or null when empty.
  T* get() const { return reinterpret_cast<T*>(bytes_.get()); }
  T* operator->() const { return get(); }
  // The size the provider was offered (dwTotalSize), 0 when empty.
  DWORD size() const { return size_; }

  // The `part_size` bytes at `offset`, as a variable part's offset and size fields give
  // them; empty when the part does not lie wholly inside the buffer, so a provider's
  // inconsistent offsets cannot make a reader run past it.
  std::span<const uint8_t> Part(DWORD offset, DWORD part_size) const {
    if (!bytes_ || offset > size_ || part_size > size_ - offset) return {};
    return {bytes_.get() + offset, part_size};
  }

  void reset() {
    bytes_.reset();
    size_ = 0;
  }

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  DWORD size_ = 0;
};

// The sizes the growing queries offer first: the fixed parts of the TAPI 1.4 structures,
// which the line device negotiates exactly.
inline constexpr DWORD kLineDevCapsSize = 240;
inline constexpr DWORD kLineCallInfoSize = 296;
inline constexpr DWORD kLineCallStatusSize = 36;
// What a query offers next when the provider finds the fixed part too small.
inline constexpr DWORD kTapiRetrySize = 1024;
// No real TAPI structure comes near this; a provider claiming to need more is refused with
// LINEERR_NOMEM rather than trusted with the process's memory.
inline constexpr DWORD kTapiMaxBlockSize = 1024 * 1024;

// Growing queries. Loop thread only. Each offers the provider a zero-filled buffer of the
// structure's fixed size; answered LINEERR_STRUCTURETOOSMALL, offers 1024 bytes instead;
// when the answer says more is needed (dwNeededSize > dwTotalSize), asks once more with a
// buffer of exactly the needed size. At most three calls. Returns the result of the last
// call, and on success the structure in `block`, which is emptied on any failure. A provider
// that keeps needing more after the third call yields its incomplete structure: read the
// variable parts through TapiBlock::Part. Without a library or entry the result is
// ecTapiLoadFail or ecTapiGetAddrFail, as from the wrappers.
LONG QueryDevCaps(HLINEAPP line_app, DWORD device_id, DWORD api_version, DWORD ext_version,
                  TapiBlock<LINEDEVCAPS>& block);
LONG QueryCallInfo(HCALL call, TapiBlock<LINECALLINFO>& block);
LONG QueryCallStatus(HCALL call, TapiBlock<LINECALLSTATUS>& block);

// Loop thread only. The 4-byte identifier of the device of a class ("wave/out",
// "comm/datamodem") that a line, address or call names (lineGetID into a VARSTRING of 1028
// bytes), or nothing when the request fails or the reply holds no identifier inside the
// buffer.
std::optional<DWORD> QueryDeviceID(HLINE line, HCALL call, DWORD select, const char* device_class);

}  // namespace telvane::platform

// One wrapper per request the program makes, with TAPI's name and argument list. Each binds
// the library when needed and passes its arguments through unchanged, returning the
// request's result: 0, a positive request identifier for an asynchronous request, or a
// negative LINEERR_ value. Without a loadable library it returns ecTapiLoadFail (-13931);
// when the library lacks the entry, ecTapiGetAddrFail (-13932). Nothing is raised. All are
// loop thread only. The namespace keeps them apart from the C entries of the same names
// that the telephony service exports into the same process.
namespace telvane::tapi {

// lineGetDevCaps, lineGetCallInfo and lineGetCallStatus make single calls of the growing
// queries' requests; prefer the queries.
#define TELVANE_TAPI_WRAPPER_DECLARATION(name, params, args) LONG line##name params;
TELVANE_TAPI_REQUESTS(TELVANE_TAPI_WRAPPER_DECLARATION)
#undef TELVANE_TAPI_WRAPPER_DECLARATION

}  // namespace telvane::tapi
