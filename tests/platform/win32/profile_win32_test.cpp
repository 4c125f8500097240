// Profile strings through the system's reader, with the rules the settings file relies on.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/os.h"

namespace telvane::platform {
namespace {

namespace fs = std::filesystem;

class Win32ProfileTest : public testing::Test {
 protected:
  Win32ProfileTest() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("telvane_profile_" + std::to_string(GetCurrentProcessId()) + "_" + info->name());
    fs::create_directories(dir_);
  }
  ~Win32ProfileTest() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string Write(const std::string& name, const std::string& content) {
    std::ofstream(dir_ / name, std::ios::binary) << content;
    return (dir_ / name).string();
  }
  fs::path dir_;
};

// Names match in any case, blanks around names and values go, enclosing quotes go, comment
// lines are skipped, and missing sections and keys give the default.
TEST_F(Win32ProfileTest, ReadsValuesByTheProfileRules) {
  const std::string file = Write("telvane.ini",
                                 "; settings\r\n"
                                 "[Other]\r\n"
                                 "TAPIDeviceName=wrong\r\n"
                                 "[ general ]\r\n"
                                 "  tapidevicename =  Voice Modem  \r\n"
                                 ";ConnectTimeOut=5\r\n"
                                 "PressAnyKeyFile=\"C:\\sounds\\press.wav\"\r\n"
                                 "Empty=\r\n");
  EXPECT_EQ(ReadProfileString(file, "General", "TAPIDeviceName", "x"), "Voice Modem");
  EXPECT_EQ(ReadProfileString(file, "GENERAL", "pressanykeyfile", ""), "C:\\sounds\\press.wav");
  EXPECT_EQ(ReadProfileString(file, "General", "ConnectTimeOut", "30"), "30");
  EXPECT_EQ(ReadProfileString(file, "General", "Empty", "default"), "");
  EXPECT_EQ(ReadProfileString(file, "Missing", "TAPIDeviceName", "none"), "none");
  EXPECT_EQ(ReadProfileString((dir_ / "missing.ini").string(), "General", "Key", "d"), "d");
}

// A value is cut to the longest the reader returns.
TEST_F(Win32ProfileTest, LongValuesAreCut) {
  const std::string file = Write("long.ini", "[General]\r\nKey=" + std::string(3000, 'v') + "\r\n");
  EXPECT_EQ(ReadProfileString(file, "General", "Key", ""), std::string(kMaxProfileString, 'v'));
}

// A name without a folder means the current directory, not the Windows directory where the
// system would look for it.
TEST_F(Win32ProfileTest, RelativeNameMeansCurrentDirectory) {
  Write("relative.ini", "[General]\r\nKey=here\r\n");
  const fs::path saved = fs::current_path();
  fs::current_path(dir_);
  const std::string value = ReadProfileString("relative.ini", "General", "Key", "missing");
  fs::current_path(saved);
  EXPECT_EQ(value, "here");
}

}  // namespace
}  // namespace telvane::platform
