// Profile strings through the system's own profile reader.
#include <windows.h>

#include <vector>

#include "platform/os.h"

namespace telvane::platform {

std::string ReadProfileString(const std::string& file_name, const std::string& section,
                              const std::string& key, const std::string& default_value) {
  // The system looks for a file named without a path in the Windows directory; a relative
  // name here means the current directory, as everywhere else in the program.
  std::string path = file_name;
  if (!file_name.empty()) {
    std::vector<char> full(MAX_PATH);
    DWORD length =
        GetFullPathNameA(file_name.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
      full.resize(length + 1);
      length = GetFullPathNameA(file_name.c_str(), static_cast<DWORD>(full.size()), full.data(),
                                nullptr);
    }
    if (length > 0 && length < full.size()) path.assign(full.data(), length);
  }
  char value[kMaxProfileString + 1];
  const DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), default_value.c_str(),
                                                value, sizeof value, path.c_str());
  return std::string(value, length);
}

}  // namespace telvane::platform
