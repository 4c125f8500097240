// Run-time library loading over LoadLibrary. A bare name ("TAPI32") is a library name the
// system completes with ".dll" and looks for along its own search order.
#include <windows.h>

#include "platform/dynamic_library.h"

namespace telvane::platform {

std::unique_ptr<DynamicLibrary> DynamicLibrary::Load(const std::string& name_or_path) {
  if (name_or_path.empty()) return nullptr;
  // The loader wants back-slashes in paths.
  std::string name = name_or_path;
  for (char& c : name) {
    if (c == '/') c = '\\';
  }
  // A library that cannot be found or loaded is a result here, not a message box.
  const UINT old_mode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE module = LoadLibraryA(name.c_str());
  SetErrorMode(old_mode);
  if (module == nullptr) return nullptr;
  return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(module));
}

DynamicLibrary::~DynamicLibrary() { FreeLibrary(static_cast<HMODULE>(handle_)); }

void* DynamicLibrary::Symbol(const char* name) const {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

}  // namespace telvane::platform
