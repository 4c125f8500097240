// POSIX side of run-time library loading, over dlopen.
#include <dlfcn.h>

#include "platform/dynamic_library.h"
#include "platform/os.h"

namespace telvane::platform {
namespace {

// "TAPI32" -> "libTAPI32.so"; a name that already has an extension is a file name.
std::string LibraryFileName(const std::string& name) {
  if (name.find('.') != std::string::npos) return name;
  return "lib" + name + ".so";
}

// The directory of the library this code is in (the platform library), with its separator:
// where an installed program keeps the libraries it loads by name.
std::string OwnDirectory() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&OwnDirectory), &info) == 0 || info.dli_fname == nullptr) {
    return {};
  }
  return ExtractFilePath(info.dli_fname);
}

void* Open(const std::string& file) {
  // RTLD_LOCAL: the entries are reached through the handle only, so two libraries exporting
  // the same names (the service, a test's stand-in) never bind to each other's symbols.
  return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

std::unique_ptr<DynamicLibrary> DynamicLibrary::Load(const std::string& name_or_path) {
  if (name_or_path.empty()) return nullptr;
  void* handle = nullptr;
  if (name_or_path.find('/') != std::string::npos) {
    handle = Open(name_or_path);
  } else {
    const std::string file = LibraryFileName(name_or_path);
    const bool is_library_name = file != name_or_path;
    const std::string beside_executable = ExtractFilePath(ExecutablePath()) + file;
    const std::string beside_platform = OwnDirectory() + file;
    if (is_library_name && FileExists(beside_executable)) {
      handle = Open(beside_executable);
    } else if (is_library_name && FileExists(beside_platform)) {
      handle = Open(beside_platform);
    } else {
      handle = Open(file);
    }
  }
  if (handle == nullptr) return nullptr;
  return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(handle));
}

DynamicLibrary::~DynamicLibrary() { dlclose(handle_); }

void* DynamicLibrary::Symbol(const char* name) const { return dlsym(handle_, name); }

}  // namespace telvane::platform
