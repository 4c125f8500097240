// UUCP lock files: made whole under a temporary name and link()ed into place, so another
// program never reads a half-written one, and link() fails if the lock exists.
#include "linesvc/modem/uucp_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>

namespace telvane::linesvc {

namespace {

std::string BaseName(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The process id in a lock: ten-column text, or the four binary bytes some old programs
// write. 0 when it cannot be read. The lock directory is writable by all, so the file may be
// anything a user planted: it is read only as a regular file, without following a link or
// waiting on a FIFO, and never past the few bytes a lock holds.
pid_t ReadOwner(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat info {};
  char content[32];
  ssize_t size = -1;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) size = ::read(fd, content, sizeof content);
  ::close(fd);
  if (size == static_cast<ssize_t>(sizeof(int32_t))) {
    int32_t pid = 0;
    std::memcpy(&pid, content, sizeof pid);
    return pid > 0 ? pid : 0;
  }
  if (size <= 0) return 0;
  std::istringstream text(std::string(content, static_cast<size_t>(size)));
  long pid = 0;
  if (!(text >> pid) || pid <= 0 || pid > INT32_MAX) return 0;
  return static_cast<pid_t>(pid);
}

bool IsAlive(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

// Removes the temporary file of the lock when the attempt ends, however it ends.
struct TemporaryFile {
  const std::string& path;
  ~TemporaryFile() { ::unlink(path.c_str()); }
};

// Makes the lock's content under a new name of its own: created, never opened if anything
// (a file, a planted link) has that name, so nothing is written anywhere but here.
bool WriteTemporary(const std::string& lock_dir, std::string* temp, std::string* reason) {
  std::random_device random;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", random());
    *temp = lock_dir + "/LTMP." + std::to_string(::getpid()) + "." + suffix;
    fd = ::open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    *reason = "cannot make a lock file in " + lock_dir + ": " + std::strerror(errno);
    return false;
  }
  char text[16];
  const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
  const bool written = ::write(fd, text, static_cast<size_t>(length)) == length;
  ::fchmod(fd, 0644);  // readable by all, whatever the umask, so others can see the owner
  ::close(fd);
  if (!written) {
    ::unlink(temp->c_str());
    *reason = "cannot write a lock file in " + lock_dir;
    return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<UucpLock> UucpLock::Acquire(const std::string& device, const std::string& lock_dir,
                                            std::string* reason, Failure* failure) {
  Failure ignored;
  if (failure == nullptr) failure = &ignored;
  *failure = Failure::kError;
  const std::string path = lock_dir + "/LCK.." + BaseName(device);
  std::string temp;
  if (!WriteTemporary(lock_dir, &temp, reason)) return nullptr;
  const TemporaryFile remove_temp{temp};
  // Two tries: the second after removing a stale lock.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (::link(temp.c_str(), path.c_str()) == 0) {
      *failure = Failure::kNone;
      return std::unique_ptr<UucpLock>(new UucpLock(path));
    }
    if (errno != EEXIST) {
      *reason = "cannot lock " + device + " (" + path + "): " + std::strerror(errno);
      break;
    }
    const pid_t owner = ReadOwner(path);
    if (owner == 0) {
      // An unreadable lock may be one being written by a program that does not link: leave
      // it to its owner rather than take a port that may be in use.
      *reason = device + " is locked by " + path + ", which names no process";
      *failure = Failure::kHeld;
      break;
    }
    if (IsAlive(owner)) {
      *reason = device + " is in use by process " + std::to_string(owner) + " (" + path + ")";
      *failure = Failure::kHeld;
      break;
    }
    ::unlink(path.c_str());  // stale: its process has gone
  }
  return nullptr;
}

UucpLock::~UucpLock() { ::unlink(path_.c_str()); }

}  // namespace telvane::linesvc
