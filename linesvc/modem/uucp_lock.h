// The UUCP lock of a serial device: LCK..<device name> in the lock directory (/var/lock),
// holding the owner's process id, which every well-behaved program that opens the port
// (other dialers, terminal programs) checks first.
//
//   std::string reason;
//   auto lock = UucpLock::Acquire("/dev/ttyACM0", "/var/lock", &reason);
//   if (!lock) ... reason says who holds it or why it cannot be taken ...
//
// A lock whose process no longer runs is stale and taken over. Destroying the lock removes it.
// Not thread-safe; one owner.
#pragma once

#include <memory>
#include <string>

namespace telvane::linesvc {

inline constexpr const char* kDefaultLockDir = "/var/lock";

class UucpLock {
 public:
  enum class Failure { kNone, kHeld, kError };

  // Takes the lock of `device`; null with a sentence in *reason and the kind in *failure when
  // another live process holds it (kHeld) or the lock file cannot be made (kError).
  static std::unique_ptr<UucpLock> Acquire(const std::string& device, const std::string& lock_dir,
                                           std::string* reason, Failure* failure = nullptr);
  ~UucpLock();
  UucpLock(const UucpLock&) = delete;
  UucpLock& operator=(const UucpLock&) = delete;

  const std::string& Path() const { return path_; }

 private:
  explicit UucpLock(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

}  // namespace telvane::linesvc
