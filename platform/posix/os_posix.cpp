// POSIX side of the process services.
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

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
