// A shared library loaded at run time, and the entries it exports.
//
//   std::unique_ptr<DynamicLibrary> tapi = DynamicLibrary::Load("TAPI32");
//   if (tapi) auto* init = tapi->Symbol("lineInitialize");
//
// The library stays loaded as long as the object lives; entry pointers taken from it are
// valid only that long. Loading the same file twice gives the same image (the system counts
// the references), so its globals are shared. A library loaded when it is first needed is a
// LazyLibrary (platform/lazy_library.h), made of this. Thread-safe: the system's loader locks.
#pragma once

#include <memory>
#include <string>

namespace telvane::platform {

class DynamicLibrary {
 public:
  // Loads a library and resolves all of its references at once, so a library with a missing
  // dependency fails here rather than at its first call.
  //
  // A name containing '/' is a path and is loaded as it is. A bare name without an extension
  // is a library name in the Windows sense: "TAPI32" means the file "libTAPI32.so", looked for
  // first in the running executable's directory (so a program finds the service installed
  // beside it), then in the platform library's own directory (an installed program's private
  // library directory), then through the system's normal search. A file found beside the executable
  // that fails to load is a failure, not a reason to pick up another copy elsewhere. A bare
  // name with an extension ("libm.so.6") is a file name for the system's normal search only.
  // Returns null when the library cannot be loaded.
  static std::unique_ptr<DynamicLibrary> Load(const std::string& name_or_path);

  ~DynamicLibrary();
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // The address of an exported entry, or null when the library has none of that name.
  void* Symbol(const char* name) const;

 private:
  explicit DynamicLibrary(void* handle) : handle_(handle) {}

  void* handle_;
};

}  // namespace telvane::platform
