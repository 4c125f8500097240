// The Win32 process services: paths, files, local date and time, system texts.
#include <gtest/gtest.h>
#include <windows.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/lines_file_location.h"
#include "platform/os.h"
#include "platform/system_error_text.h"

namespace telvane::platform {
namespace {

namespace fs = std::filesystem;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A folder of the test's own that is also the current directory while the test runs.
class Win32PathTest : public testing::Test {
 protected:
  Win32PathTest() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("telvane_win32_" + std::to_string(GetCurrentProcessId()) + "_" + info->name());
    fs::create_directories(dir_);
    saved_ = fs::current_path();
    fs::current_path(dir_);
  }
  ~Win32PathTest() override {
    fs::current_path(saved_);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  fs::path dir_;
  fs::path saved_;
};

// The executable's path is a full path to the running .exe, which exists.
TEST(Win32OsTest, ExecutablePathIsTheRunningProgram) {
  const std::string path = ExecutablePath();
  ASSERT_GT(path.size(), 4u);
  EXPECT_EQ(Lower(path.substr(path.size() - 4)), ".exe");
  EXPECT_EQ(path[1], ':');
  EXPECT_TRUE(FileExists(path));
  EXPECT_TRUE(FileExists(ExtractFilePath(path) + fs::path(path).filename().string()));
}

// The directory part keeps its separator; a drive letter alone is a directory part too.
TEST(Win32OsTest, ExtractFilePathSplitsAtSeparatorsAndDrive) {
  EXPECT_EQ(ExtractFilePath("C:\\tools\\sounds\\alert.wav"), "C:\\tools\\sounds\\");
  EXPECT_EQ(ExtractFilePath("C:/tools/alert.wav"), "C:/tools/");
  EXPECT_EQ(ExtractFilePath("\\\\server\\share\\alert.wav"), "\\\\server\\share\\");
  EXPECT_EQ(ExtractFilePath("C:alert.wav"), "C:");
  EXPECT_EQ(ExtractFilePath("alert.wav"), "");
}

// The lines file is looked for next to the program, then in the user's application data
// folder, whatever separator APPDATA ends in; without APPDATA only next to the program.
TEST(Win32OsTest, LinesFileIsLookedForBesideTheProgramThenInAppData) {
  const auto env = [](const char* app_data) {
    return [app_data](const std::string& name) -> std::optional<std::string> {
      if (name == "APPDATA" && app_data != nullptr) return std::string(app_data);
      return std::nullopt;
    };
  };
  EXPECT_EQ(LinesFileCandidates(env("C:\\Users\\u\\AppData\\Roaming"), "C:\\Telvane\\telvane.exe"),
            (std::vector<std::string>{"C:\\Telvane\\lines.ini",
                                      "C:\\Users\\u\\AppData\\Roaming\\telvane\\lines.ini"}));
  EXPECT_EQ(LinesFileDirectories(env("D:\\Roaming\\")),
            std::vector<std::string>{"D:\\Roaming\\telvane\\"});
  EXPECT_TRUE(LinesFileDirectories(env(nullptr)).empty());
  EXPECT_TRUE(LinesFileDirectories(env("")).empty());
}

// Relative names resolve against the current directory; dots are folded; names on a local
// drive stay on it (only mapped network drives turn into network names).
TEST_F(Win32PathTest, ExpandFileNameResolvesAgainstCurrentDirectory) {
  const std::string here = ExpandFileName(".");
  EXPECT_EQ(Lower(ExpandFileName("alert.wav")), Lower(here + "\\alert.wav"));
  EXPECT_EQ(Lower(ExpandFileName("sub\\..\\alert.wav")), Lower(here + "\\alert.wav"));
  EXPECT_EQ(Lower(ExpandFileName("sub/alert.wav")), Lower(here + "\\sub\\alert.wav"));
  EXPECT_EQ(here[1], ':');
  EXPECT_EQ(ExpandFileName("\\\\server\\share\\a\\..\\alert.wav"), "\\\\server\\share\\alert.wav");
  EXPECT_EQ(ExpandFileName(""), "");
}

// Files exist, folders and missing names do not; names match whatever their case.
TEST_F(Win32PathTest, FileExistsForFilesOnlyInAnyCase) {
  std::ofstream("Alert.WAV") << "x";
  fs::create_directory("folder");
  EXPECT_TRUE(FileExists("Alert.WAV"));
  EXPECT_TRUE(FileExists("alert.wav"));
  EXPECT_TRUE(FileExists(ExpandFileName("alert.wav")));
  EXPECT_FALSE(FileExists("folder"));
  EXPECT_FALSE(FileExists("missing.wav"));
  EXPECT_FALSE(FileExists(""));
  EXPECT_FALSE(CaseSensitiveFileNames());
}

// The local date and time: the user's short date, a blank, and the time to the second.
// Two instants a second apart differ in the seconds; two days apart in the date.
TEST(Win32OsTest, LocalDateTimeTextShowsDateAndSeconds) {
  // 2024-03-05 10:20:47.500 UTC, far from any time-zone change of date in either direction
  // for the seconds check.
  const int64_t wall = 1709634047500;
  const std::string text = LocalDateTimeText(wall);
  const std::string next_second = LocalDateTimeText(wall + 1000);
  const std::string two_days_later = LocalDateTimeText(wall + 2 * 86'400'000);
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.find("47"), std::string::npos) << text;
  EXPECT_NE(next_second.find("48"), std::string::npos) << next_second;
  const size_t blank = text.find(' ');
  ASSERT_NE(blank, std::string::npos);
  EXPECT_NE(text.substr(0, blank), two_days_later.substr(0, two_days_later.find(' ')));
  EXPECT_EQ(text.find('\n'), std::string::npos);
}

// A console takes UTF-8 only when its output code page says so; a program whose output is
// not a console reads the default, which is not UTF-8.
TEST(Win32OsTest, ConsoleIsUtf8FollowsTheOutputCodePage) {
  EXPECT_EQ(ConsoleIsUtf8(), GetConsoleOutputCP() == CP_UTF8);
  const UINT saved = GetConsoleOutputCP();
  if (!SetConsoleOutputCP(CP_UTF8)) GTEST_SKIP() << "no console to switch";
  EXPECT_TRUE(ConsoleIsUtf8());
  SetConsoleOutputCP(437);
  EXPECT_FALSE(ConsoleIsUtf8());
  SetConsoleOutputCP(saved);
}

// System error numbers have the system's texts; numbers it does not know have none.
TEST(Win32OsTest, SystemErrorTextComesFromTheSystem) {
  const std::string not_found = SystemErrorText(ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(not_found.empty());
  EXPECT_NE(not_found, SystemErrorText(ERROR_ACCESS_DENIED));
  EXPECT_EQ(SystemErrorText(0x2000ABCD), "");
}

}  // namespace
}  // namespace telvane::platform
