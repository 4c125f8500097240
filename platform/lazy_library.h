// A library loaded at run time when one of its entries is first needed. Every library the
// program and the telephony service load by name goes through one: the telephony library
// (platform/tapi_binding.h), ALSA, the speech module, line driver modules and what a driver
// takes from a heavy library only for some calls.
//
//   LazyLibrary tapi("TAPI32");                          // nothing is loaded yet
//   auto* init = tapi.Entry<PFN>("lineInitialize");      // loads it; null when it cannot
//   tapi.Unload();                                       // the next Entry loads it again
//
//   // A module whose code runs until the process ends (a driver it made, a thread of it):
//   auto* speak = KeptLibrary("telvane_speech").Entry<SpeakTextEntry>("TelvaneSpeakText");
//
// A load that fails is tried again at the next call, so a library installed meanwhile is
// found. Thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/dynamic_library.h"

namespace telvane::platform {

class LazyLibrary {
 public:
  // `name_or_path` as DynamicLibrary::Load takes it. Loads nothing.
  explicit LazyLibrary(std::string name_or_path);
  // Unloads the library: entries taken from it die with it.
  ~LazyLibrary();
  LazyLibrary(const LazyLibrary&) = delete;
  LazyLibrary& operator=(const LazyLibrary&) = delete;

  // Loads the library unless it is loaded; true when it is, now or from before.
  bool Load();
  bool IsLoaded() const;

  // The address of an entry, the library loaded first if need be; null when the library
  // cannot be loaded or has no entry of that name.
  void* Entry(const char* name);
  template <typename Function>
  Function* Entry(const char* name) {
    return reinterpret_cast<Function*>(Entry(name));
  }

  // Releases the library; the next Load or Entry loads it again.
  void Unload();

 private:
  DynamicLibrary* LoadLocked();

  const std::string name_or_path_;
  mutable std::mutex mu_;
  std::unique_ptr<DynamicLibrary> library_;
};

// The library of that name, loaded when an entry of it is first needed and then kept until
// the process ends, for libraries whose code may run until the very end: the drivers a module
// made, the threads of an audio output. One object per name, never destroyed. Thread-safe.
LazyLibrary& KeptLibrary(const std::string& name_or_path);

}  // namespace telvane::platform
