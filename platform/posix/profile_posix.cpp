// A profile (INI) reader with the rules of the Windows profile-string reader that the
// settings file was written for: case-insensitive names, blanks around names and values
// ignored, one pair of enclosing quotes removed, ';' comment lines, the first matching
// section and key win, an empty value is a value (not a missing key).
#include <fstream>
#include <optional>

#include "platform/os.h"
#include "platform/text.h"

namespace telvane::platform {

namespace {

std::optional<std::string> FindValue(std::istream& in, const std::string& section,
                                     const std::string& key) {
  std::string line;
  bool first_line = true;
  bool in_section = false;
  bool section_seen = false;
  while (std::getline(in, line)) {
    if (first_line && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    first_line = false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string text = Trim(line);
    if (text.empty() || text.front() == ';') continue;
    if (text.front() == '[') {
      if (section_seen) return std::nullopt;  // only the first matching section counts
      const size_t close = text.find(']');
      const std::string name = Trim(text.substr(1, close == std::string::npos ? close : close - 1));
      in_section = EqualsIgnoringCase(name, section);
      section_seen = in_section;
      continue;
    }
    if (!in_section) continue;
    const size_t equals = text.find('=');
    if (equals == std::string::npos) continue;
    if (EqualsIgnoringCase(Trim(text.substr(0, equals)), key)) {
      return Unquote(Trim(text.substr(equals + 1)));
    }
  }
  return std::nullopt;
}

}  // namespace

std::string ReadProfileString(const std::string& file_name, const std::string& section,
                              const std::string& key, const std::string& default_value) {
  std::string result = default_value;
  std::ifstream in(file_name, std::ios::binary);
  if (in) {
    if (std::optional<std::string> value = FindValue(in, section, key)) result = *value;
  }
  if (result.size() > kMaxProfileString) result.resize(kMaxProfileString);
  return result;
}

}  // namespace telvane::platform
