// POSIX store of the line-application book-keeping: a private directory, one file per value.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/app_registry.h"

namespace telvane::platform {
namespace {

namespace fs = std::filesystem;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// $HOME, or the home directory of the user's account when it is not set.
std::string HomeDirectory() {
  if (std::string home = Environment("HOME"); !home.empty()) return home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd account{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &account, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir) {
    return found->pw_dir;
  }
  return {};
}

std::string StoreDirectory() {
  if (std::string dir = Environment("TELVANE_STATE_DIR"); !dir.empty()) return dir;
  // XDG says to ignore a relative path there.
  if (std::string state = Environment("XDG_STATE_HOME"); !state.empty() && state[0] == '/') {
    return state + "/telvane/tapi";
  }
  const std::string home = HomeDirectory();
  return home.empty() ? std::string() : home + "/.local/state/telvane/tapi";
}

// Creates the directory and its missing parents private to the user. Directories that exist
// are left as their owner made them.
void CreatePrivateDirectories(const fs::path& dir) {
  std::error_code error;
  if (dir.empty() || fs::is_directory(dir, error)) return;
  if (dir.has_parent_path() && dir.parent_path() != dir) {
    CreatePrivateDirectories(dir.parent_path());
  }
  if (mkdir(dir.c_str(), 0700) == 0) {
    // The umask may have taken bits away; the owner needs all three.
    chmod(dir.c_str(), 0700);
  }
}

// A value name is a plain file name of the directory. Names starting with '.' are kept for
// the store's temporary files (and exclude "." and "..").
bool ValidName(const std::string& name) {
  return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t written = write(fd, data.data() + done, data.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(written);
  }
  return true;
}

// The whole content of a regular file; nothing for anything else or on a read error.
std::optional<std::string> ReadAll(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  std::string data;
  char chunk[256];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got == 0) return data;
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    data.append(chunk, static_cast<size_t>(got));
  }
}

}  // namespace

// Without a home directory there is no store: location_ stays empty and every operation fails.
LineAppRegistry::LineAppRegistry() : location_(StoreDirectory()) {
  CreatePrivateDirectories(location_);
}

std::vector<std::string> LineAppRegistry::ValueNames() const {
  std::vector<std::string> names;
  if (location_.empty()) return names;
  std::error_code error;
  for (fs::directory_iterator it(location_, error), end; !error && it != end; it.increment(error)) {
    std::error_code type_error;
    const std::string name = it->path().filename().string();
    if (ValidName(name) && it->is_regular_file(type_error)) names.push_back(name);
  }
  return names;
}

std::optional<std::string> LineAppRegistry::Read(const std::string& name) const {
  if (location_.empty() || !ValidName(name)) return std::nullopt;
  // Non-blocking, so that a pipe put in the store cannot hang the reader before it is refused.
  const int fd = open((location_ + "/" + name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> value = ReadAll(fd);
  close(fd);
  return value;
}

bool LineAppRegistry::Write(const std::string& name, const std::string& value) {
  if (location_.empty() || !ValidName(name)) return false;
  // Written to a file of this process and write alone, then renamed over the value, so a
  // reader in another process sees the old value or the new one, never a part of either.
  static std::atomic<unsigned> counter{0};
  const std::string target = location_ + "/" + name;
  const std::string temporary = location_ + "/." + name + "." + std::to_string(getpid()) + "." +
                                std::to_string(++counter) + ".tmp";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, value);
  const bool closed = close(fd) == 0;
  if (written && closed && rename(temporary.c_str(), target.c_str()) == 0) return true;
  unlink(temporary.c_str());
  return false;
}

bool LineAppRegistry::Delete(const std::string& name) {
  if (location_.empty() || !ValidName(name)) return false;
  return unlink((location_ + "/" + name).c_str()) == 0;
}

bool LineAppRegistry::ProcessRunning(uint32_t pid) {
  // 0 and values beyond pid_t would name process groups or every process to kill().
  if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

uint32_t LineAppRegistry::CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

}  // namespace telvane::platform
