#include "platform/lines_file_location.h"

#include <cstdlib>
#include <optional>

namespace telvane::platform {

std::vector<std::string> LinesFileCandidates(const EnvironmentLookup& environment,
                                             const std::string& executable_path) {
  std::vector<std::string> candidates;
  if (auto lines = environment("TELVANE_LINES"); lines && !lines->empty()) {
    candidates.push_back(*lines);
  }
  const std::string exe_dir = ExtractFilePath(executable_path);
  if (!exe_dir.empty()) candidates.push_back(exe_dir + "lines.ini");
  for (const std::string& dir : LinesFileDirectories(environment)) {
    candidates.push_back(dir + "lines.ini");
  }
  return candidates;
}

std::string FindLinesFile(const EnvironmentLookup& environment,
                          const std::string& executable_path) {
  for (const std::string& candidate : LinesFileCandidates(environment, executable_path)) {
    if (FileExists(candidate)) return candidate;
  }
  return {};
}

std::string FindLinesFile() {
  const EnvironmentLookup environment = [](const std::string& name) -> std::optional<std::string> {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
  return FindLinesFile(environment, ExecutablePath());
}

}  // namespace telvane::platform
