// UUCP lock files: made whole under a temporary name and link()ed into place, so another
// program never reads a half-written one, and link() fails if the lock exists.
#include "linesvc/uucp_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace telvane::linesvc {

namespace {

std::string BaseName(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The process id in a lock: ten-column text, or the four binary bytes some old programs
// write. 0 when it cannot be read.
pid_t ReadOwner(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (content.size() == sizeof(int32_t)) {
    int32_t pid = 0;
    std::memcpy(&pid, content.data(), sizeof pid);
    return pid;
  }
  std::istringstream text(content);
  long pid = 0;
  if (!(text >> pid) || pid <= 0) return 0;
  return static_cast<pid_t>(pid);
}

bool IsAlive(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

}  // namespace

std::unique_ptr<UucpLock> UucpLock::Acquire(const std::string& device, const std::string& lock_dir,
                                            std::string* reason, Failure* failure) {
  Failure ignored;
  if (failure == nullptr) failure = &ignored;
  *failure = Failure::kError;
  const std::string path = lock_dir + "/LCK.." + BaseName(device);
  const std::string temp = lock_dir + "/LTMP." + std::to_string(::getpid());
  {
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      *reason = "cannot make a lock file in " + lock_dir + ": " + std::strerror(errno);
      return nullptr;
    }
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
    const bool written = ::write(fd, text, static_cast<size_t>(length)) == length;
    ::fchmod(fd, 0644);  // readable by all, whatever the umask, so others can see the owner
    ::close(fd);
    if (!written) {
      ::unlink(temp.c_str());
      *reason = "cannot write a lock file in " + lock_dir;
      return nullptr;
    }
  }
  // Two tries: the second after removing a stale lock.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (::link(temp.c_str(), path.c_str()) == 0) {
      ::unlink(temp.c_str());
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
  ::unlink(temp.c_str());
  return nullptr;
}

UucpLock::~UucpLock() { ::unlink(path_.c_str()); }

}  // namespace telvane::linesvc
