// Handles for objects the platform layer owns behind a published C interface (multimedia
// files, wave outputs): numbers in a table, never pointers handed out, so a handle used after
// it was closed, or one that never existed, is found to be no handle instead of reaching freed
// memory.
//
//   HandleTable<MmioFile, HMMIO> files;
//   HMMIO handle = files.Add(std::make_shared<MmioFile>(...));
//   if (std::shared_ptr<MmioFile> file = files.Find(handle)) file->Read(...);
//   if (!files.Remove(handle)) ...;                        // it was no handle of ours
//
// A caller keeps an object alive while it uses it, whatever another thread removes meanwhile.
// Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace telvane::platform {

template <typename T, typename Handle>
class HandleTable {
 public:
  // `mark` is set in every handle's number: top bits no address of a 64-bit process has let
  // a handle of ours be told apart from one of the system.
  explicit HandleTable(uintptr_t mark = 0) : mark_(mark) {}

  // A handle that has never been given out, for an object that must know its own handle
  // before it is added.
  Handle NewHandle() {
    const std::lock_guard lock(mu_);
    return reinterpret_cast<Handle>(mark_ | ++last_number_);
  }
  void Add(Handle handle, std::shared_ptr<T> object) {
    const std::lock_guard lock(mu_);
    objects_.emplace(Number(handle), std::move(object));
  }
  Handle Add(std::shared_ptr<T> object) {
    const Handle handle = NewHandle();
    Add(handle, std::move(object));
    return handle;
  }

  // The object of a handle; null when the handle is not (or no longer) one of the table.
  std::shared_ptr<T> Find(Handle handle) const {
    const std::lock_guard lock(mu_);
    const auto it = objects_.find(Number(handle));
    return it == objects_.end() ? nullptr : it->second;
  }

  // Takes the handle out of the table and returns its object, null when there was none. The
  // table's share of the object goes with the result, outside the table's lock.
  std::shared_ptr<T> Remove(Handle handle) {
    const std::lock_guard lock(mu_);
    const auto it = objects_.find(Number(handle));
    if (it == objects_.end()) return nullptr;
    std::shared_ptr<T> object = std::move(it->second);
    objects_.erase(it);
    return object;
  }

 private:
  static uintptr_t Number(Handle handle) { return reinterpret_cast<uintptr_t>(handle); }

  const uintptr_t mark_;
  mutable std::mutex mu_;
  uintptr_t last_number_ = 0;
  std::map<uintptr_t, std::shared_ptr<T>> objects_;
};

}  // namespace telvane::platform
