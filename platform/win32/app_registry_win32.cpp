// The line-application book-keeping in the user's registry:
// HKEY_CURRENT_USER\SOFTWARE\DovizIvaro\VUVU\TAPI, one string value per process.
#include <windows.h>

#include <vector>

#include "platform/app_registry.h"

namespace telvane::platform {
namespace {

constexpr char kSubKey[] = "SOFTWARE\\DovizIvaro\\VUVU\\TAPI";

// Names follow the same rules on every system, so the program behaves the same.
bool ValidName(const std::string& name) {
  return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// The key opened for one operation and closed when it ends; null when it cannot be opened
// (or created).
class Key {
 public:
  Key() {
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_,
                        nullptr) != ERROR_SUCCESS) {
      key_ = nullptr;
    }
  }
  ~Key() {
    if (key_) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

}  // namespace

LineAppRegistry::LineAppRegistry() {
  // Creates the key when missing; the location names it whether or not that worked.
  Key key;
  location_ = std::string("HKEY_CURRENT_USER\\") + kSubKey;
}

std::vector<std::string> LineAppRegistry::ValueNames() const {
  std::vector<std::string> names;
  Key key;
  if (!key.get()) return names;
  DWORD count = 0;
  DWORD longest = 0;
  if (RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                       &longest, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return names;
  }
  std::vector<char> name(longest + 1);
  for (DWORD index = 0; index < count; ++index) {
    DWORD length = static_cast<DWORD>(name.size());
    if (RegEnumValueA(key.get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      continue;
    }
    std::string value_name(name.data(), length);
    if (ValidName(value_name)) names.push_back(std::move(value_name));
  }
  return names;
}

std::optional<std::string> LineAppRegistry::Read(const std::string& name) const {
  if (!ValidName(name)) return std::nullopt;
  Key key;
  if (!key.get()) return std::nullopt;
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key.get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return std::nullopt;
  }
  std::vector<char> data(size + 1);
  if (RegQueryValueExA(key.get(), name.c_str(), nullptr, nullptr,
                       reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  // The stored size counts the terminating zero when the writer stored one.
  std::string value(data.data(), size);
  while (!value.empty() && value.back() == '\0') value.pop_back();
  return value;
}

bool LineAppRegistry::Write(const std::string& name, const std::string& value) {
  if (!ValidName(name) || value.find('\0') != std::string::npos) return false;
  Key key;
  if (!key.get()) return false;
  return RegSetValueExA(key.get(), name.c_str(), 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

bool LineAppRegistry::Delete(const std::string& name) {
  if (!ValidName(name)) return false;
  Key key;
  return key.get() && RegDeleteValueA(key.get(), name.c_str()) == ERROR_SUCCESS;
}

bool LineAppRegistry::ProcessRunning(uint32_t pid) {
  // 0 is the idle process, never a line application.
  if (pid == 0) return false;
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) {
    // A process of another user or a protected one exists all the same.
    return GetLastError() == ERROR_ACCESS_DENIED;
  }
  // A handle can still be opened on a process that has ended while others hold it.
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

uint32_t LineAppRegistry::CurrentProcessId() { return GetCurrentProcessId(); }

}  // namespace telvane::platform
