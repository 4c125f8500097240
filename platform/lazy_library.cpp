// Libraries loaded when first needed.
#include "platform/lazy_library.h"

#include <map>
#include <utility>

namespace telvane::platform {

LazyLibrary::LazyLibrary(std::string name_or_path) : name_or_path_(std::move(name_or_path)) {}

LazyLibrary::~LazyLibrary() = default;

DynamicLibrary* LazyLibrary::LoadLocked() {
  if (!library_) library_ = DynamicLibrary::Load(name_or_path_);
  return library_.get();
}

bool LazyLibrary::Load() {
  const std::lock_guard lock(mu_);
  return LoadLocked() != nullptr;
}

bool LazyLibrary::IsLoaded() const {
  const std::lock_guard lock(mu_);
  return library_ != nullptr;
}

void* LazyLibrary::Entry(const char* name) {
  const std::lock_guard lock(mu_);
  DynamicLibrary* library = LoadLocked();
  return library != nullptr ? library->Symbol(name) : nullptr;
}

void LazyLibrary::Unload() {
  const std::lock_guard lock(mu_);
  library_.reset();
}

LazyLibrary& KeptLibrary(const std::string& name_or_path) {
  static std::mutex mu;
  // Never destroyed: code of these libraries may still run while the process exits.
  static auto* const kept = new std::map<std::string, std::unique_ptr<LazyLibrary>>;
  const std::lock_guard lock(mu);
  std::unique_ptr<LazyLibrary>& library = (*kept)[name_or_path];
  if (!library) library = std::make_unique<LazyLibrary>(name_or_path);
  return *library;
}

}  // namespace telvane::platform
