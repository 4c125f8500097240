// POSIX side of the process services.
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

#include "platform/os.h"

namespace telvane::platform {

std::string LocalDateTimeText(int64_t wall_ms) {
  const std::time_t seconds = static_cast<std::time_t>(wall_ms / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  // %x and %X follow the LC_TIME locale the program selected at start-up.
  char text[128];
  const size_t length = std::strftime(text, sizeof text, "%x %X", &local);
  return std::string(text, length);
}

std::string ExecutablePath() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return {};
    if (static_cast<size_t>(length) < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

std::string ExtractFilePath(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ExpandFileName(const std::string& path) {
  // There are no drive letters here, so no network path to substitute.
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) return path;
  return absolute.lexically_normal().string();
}

std::vector<std::string> ConfigDirectories(const EnvironmentLookup& environment) {
  auto value = [&environment](const char* name) -> std::string {
    if (environment) return environment(name).value_or("");
    const char* set = std::getenv(name);
    return set != nullptr ? set : "";
  };
  std::vector<std::string> dirs;
  // The XDG base directory rules: a relative XDG_CONFIG_HOME is invalid and ignored.
  const std::string xdg = value("XDG_CONFIG_HOME");
  const std::string home = value("HOME");
  if (!xdg.empty() && xdg[0] == '/') {
    dirs.push_back(xdg + "/telvane/");
  } else if (!home.empty()) {
    dirs.push_back(home + "/.config/telvane/");
  }
  dirs.push_back("/etc/telvane/");
  return dirs;
}

std::vector<std::string> LinesFileDirectories(const EnvironmentLookup& environment) {
  return ConfigDirectories(environment);
}

bool CaseSensitiveFileNames() { return true; }

bool FileExists(const std::string& path) {
  struct stat info {};
  return !path.empty() && stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool ConsoleIsUtf8() {
  const char* codeset = nl_langinfo(CODESET);
  return codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0;
}

}  // namespace telvane::platform
