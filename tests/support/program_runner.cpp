// What a program run gives on every system: its environment and the lines of its output.
#include "tests/support/program_runner.h"

#include <regex>
#include <sstream>

namespace telvane::testing {

namespace {

// Banner: the four frame lines, the purpose line and an empty line.
constexpr size_t kBannerLines = 6;

}  // namespace

std::map<std::string, std::string> ProgramEnvironment(const std::filesystem::path& dir) {
  return {{"TELVANE_LINES", (dir / "lines.ini").string()},
          {"TELVANE_STATE_DIR", (dir / "state").string()},
          {"TELVANE_LINES_LOG", (dir / "events.log").string()},
          {"XDG_CONFIG_HOME", (dir / "config").string()}};
}

std::vector<std::string> ResultLines(const std::string& standard_output) {
  static const std::regex time_stamp(R"(^\[[^\]]*\]\t)");
  std::vector<std::string> result;
  std::istringstream lines(standard_output);
  std::string line;
  size_t index = 0;
  while (std::getline(lines, line)) {
    if (index++ < kBannerLines) continue;
    result.push_back(std::regex_replace(line, time_stamp, "[T]\t"));
  }
  return result;
}

}  // namespace telvane::testing
