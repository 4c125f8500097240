// Win32 side of the process services.
#include <windows.h>
#include <winnetwk.h>

#include <cstdlib>
#include <optional>
#include <vector>

#include "platform/os.h"

namespace telvane::platform {
namespace {

// A path buffer that grows until the call's answer fits. `call` gets the buffer and its
// size and returns what the Win32 call returned: the length written, or the size needed.
template <typename Call>
std::string GrowingPath(Call call) {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = call(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(std::max<size_t>(buffer.size() * 2, length + 1));
  }
}

bool HasDriveLetter(const std::string& path) {
  return path.size() >= 2 && path[1] == ':' &&
         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

// The network name of a path on a mapped drive, or nothing for a local drive.
std::string UniversalName(const std::string& path) {
  std::vector<char> buffer(1024);
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD result =
        WNetGetUniversalNameA(path.c_str(), UNIVERSAL_NAME_INFO_LEVEL, buffer.data(), &size);
    if (result == NO_ERROR) {
      const auto* info = reinterpret_cast<const UNIVERSAL_NAME_INFOA*>(buffer.data());
      return info->lpUniversalName ? info->lpUniversalName : "";
    }
    if (result != ERROR_MORE_DATA) return {};
    buffer.resize(size);
  }
  return {};
}

std::string DateOrTimeText(const SYSTEMTIME& local, bool date) {
  char text[128];
  const int length =
      date ? GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &local, nullptr, text, sizeof text)
           : GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &local, nullptr, text, sizeof text);
  // The length counts the terminating zero.
  return length > 0 ? std::string(text, static_cast<size_t>(length - 1)) : std::string();
}

}  // namespace

std::string LocalDateTimeText(int64_t wall_ms) {
  ULARGE_INTEGER ticks;
  ticks.QuadPart = (static_cast<uint64_t>(wall_ms) + 11644473600000ULL) * 10000;
  FILETIME utc_file_time{ticks.LowPart, ticks.HighPart};
  SYSTEMTIME utc;
  SYSTEMTIME local;
  if (!FileTimeToSystemTime(&utc_file_time, &utc) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
    return {};
  }
  // The user's short date and long time (which shows the seconds), as the locale sets them.
  return DateOrTimeText(local, /*date=*/true) + " " + DateOrTimeText(local, /*date=*/false);
}

std::string ExecutablePath() {
  return GrowingPath(
      [](char* buffer, DWORD size) { return GetModuleFileNameA(nullptr, buffer, size); });
}

std::string ExtractFilePath(const std::string& path) {
  const size_t separator = path.find_last_of("\\/:");
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

std::string ExpandFileName(const std::string& path) {
  if (path.empty()) return path;
  const std::string full = GrowingPath([&](char* buffer, DWORD size) {
    return GetFullPathNameA(path.c_str(), size, buffer, nullptr);
  });
  if (full.empty()) return path;
  if (HasDriveLetter(full)) {
    if (std::string network = UniversalName(full); !network.empty()) return network;
  }
  return full;
}

bool CaseSensitiveFileNames() { return false; }

// Windows keeps the settings next to the program only.
std::vector<std::string> ConfigDirectories(const EnvironmentLookup& /*environment*/) { return {}; }

std::vector<std::string> LinesFileDirectories(const EnvironmentLookup& environment) {
  std::optional<std::string> app_data;
  if (environment) {
    app_data = environment("APPDATA");
  } else if (const char* value = std::getenv("APPDATA")) {
    app_data = value;
  }
  if (!app_data || app_data->empty()) return {};
  const char last = app_data->back();
  return {*app_data + (last == '\\' || last == '/' ? "" : "\\") + "telvane\\"};
}

bool FileExists(const std::string& path) {
  if (path.empty()) return false;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool ConsoleIsUtf8() { return GetConsoleOutputCP() == CP_UTF8; }

}  // namespace telvane::platform
