// Where the lines file is looked for (POSIX folders; the Windows folder is in
// win32/os_win32_test.cpp).
#include "platform/lines_file_location.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace telvane::platform {
namespace {

EnvironmentLookup Env(std::map<std::string, std::string> values) {
  return [values](const std::string& name) -> std::optional<std::string> {
    auto it = values.find(name);
    if (it == values.end()) return std::nullopt;
    return it->second;
  };
}

// The search order: TELVANE_LINES, next to the program, the user's config, /etc.
TEST(LinesFileSearchTest, CandidatesFollowTheSearchOrder) {
  EXPECT_EQ(
      LinesFileCandidates(
          Env({{"TELVANE_LINES", "/x/my.ini"}, {"XDG_CONFIG_HOME", "/cfg"}, {"HOME", "/home/u"}}),
          "/opt/telvane/telvane"),
      (std::vector<std::string>{"/x/my.ini", "/opt/telvane/lines.ini", "/cfg/telvane/lines.ini",
                                "/etc/telvane/lines.ini"}));
  // Unset, empty or relative variables fall back as the XDG rules say.
  EXPECT_EQ(LinesFileCandidates(
                Env({{"TELVANE_LINES", ""}, {"XDG_CONFIG_HOME", "relative"}, {"HOME", "/home/u"}}),
                "/opt/telvane/telvane"),
            (std::vector<std::string>{"/opt/telvane/lines.ini", "/home/u/.config/telvane/lines.ini",
                                      "/etc/telvane/lines.ini"}));
}

// The first candidate that exists wins; a missing one is skipped.
TEST(LinesFileSearchTest, FirstExistingFileWins) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("lines_file_location_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir / "bin");
  std::filesystem::create_directories(dir / "cfg" / "telvane");
  const std::string user = (dir / "cfg" / "telvane" / "lines.ini").string();
  const std::string beside = (dir / "bin" / "lines.ini").string();
  std::ofstream(user) << "[line U]\ndriver = sim\n";
  const std::string exe = (dir / "bin" / "telvane").string();
  const auto env = Env({{"TELVANE_LINES", (dir / "missing.ini").string()},
                        {"XDG_CONFIG_HOME", (dir / "cfg").string()}});
  EXPECT_EQ(FindLinesFile(env, exe), user);
  std::ofstream(beside) << "[line B]\ndriver = sim\n";
  EXPECT_EQ(FindLinesFile(env, exe), beside);
  const std::string named = (dir / "missing.ini").string();
  std::ofstream(named) << "";
  EXPECT_EQ(FindLinesFile(env, exe), named);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace telvane::platform
