// The settings file: where it is found, its section and keys, and how its values convert.
#include "app/settings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>

#include "platform/os.h"
#include "tests/support/app_fixture.h"

namespace telvane {
namespace {

constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int32_t kInt32Min = std::numeric_limits<int32_t>::min();

// Makes another directory the current one for the life of the guard.
class CurrentDirectoryGuard {
 public:
  explicit CurrentDirectoryGuard(const std::filesystem::path& dir)
      : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~CurrentDirectoryGuard() {
    std::error_code ignored;
    std::filesystem::current_path(saved_, ignored);
  }
  CurrentDirectoryGuard(const CurrentDirectoryGuard&) = delete;
  CurrentDirectoryGuard& operator=(const CurrentDirectoryGuard&) = delete;

 private:
  std::filesystem::path saved_;
};

using SettingsTest = telvane::testing::AppFixture;

// Without a settings file every field keeps its built-in default.
TEST_F(SettingsTest, DefaultsHoldWithoutSettingsFile) {
  const Settings settings = ReadSettings(program_dir_);
  EXPECT_EQ(settings.tapi_device_name, "");
  EXPECT_EQ(settings.press_any_key_file, "");
  EXPECT_EQ(settings.max_greetings_count, 5);
  EXPECT_EQ(settings.connect_timeout_ms, 10000);
  EXPECT_EQ(settings.after_connect_pause_ms, 3);
  EXPECT_EQ(settings.play_message_duration_s, 50);
  EXPECT_EQ(settings.speech_voice, "en");
}

// Every key of section General is read into its field.
TEST_F(SettingsTest, ReadsEveryKey) {
  WriteSettings(
      "[General]\n"
      "TAPIDeviceName=USB Voice Modem\n"
      "PressAnyKeyFile=greetings/Hello.wav\n"
      "MaxGreetingsCount=2\n"
      "ConnectTimeOut=30000\n"
      "AfterConnectPause=500\n"
      "PlayMessageDurationSec=120\n"
      "SpeechVoice=de\n");
  const Settings settings = ReadSettings(program_dir_);
  EXPECT_EQ(settings.tapi_device_name, "USB Voice Modem");
  EXPECT_EQ(settings.press_any_key_file, "greetings/Hello.wav");
  EXPECT_EQ(settings.max_greetings_count, 2);
  EXPECT_EQ(settings.connect_timeout_ms, 30000);
  EXPECT_EQ(settings.after_connect_pause_ms, 500);
  EXPECT_EQ(settings.play_message_duration_s, 120);
  EXPECT_EQ(settings.speech_voice, "de");
}

// Keys outside section General, keys that are absent and a file without that section leave
// their fields at the default.
TEST_F(SettingsTest, MissingSectionOrKeyKeepsDefaults) {
  WriteSettings(
      "[Other]\n"
      "ConnectTimeOut=1\n"
      "TAPIDeviceName=Wrong Modem\n"
      "[General]\n"
      "MaxGreetingsCount=7\n");
  Settings settings = ReadSettings(program_dir_);
  EXPECT_EQ(settings.max_greetings_count, 7);
  EXPECT_EQ(settings.connect_timeout_ms, 10000);
  EXPECT_EQ(settings.tapi_device_name, "");
  EXPECT_EQ(settings.after_connect_pause_ms, 3);
  WriteSettings("[Settings]\nConnectTimeOut=1\nMaxGreetingsCount=1\n");
  settings = ReadSettings(program_dir_);
  EXPECT_EQ(settings.connect_timeout_ms, 10000);
  EXPECT_EQ(settings.max_greetings_count, 5);
}

// An integer value either converts as a whole or leaves the field at its default; "0x" is
// read as "$" only at the very start.
TEST_F(SettingsTest, IntegerValueConvertsWholeOrKeepsDefault) {
  constexpr int32_t kDefault = 10000;
  struct Row {
    const char* value;
    std::optional<int32_t> expected;  // empty: the default stays
  };
  const Row rows[] = {
      {"abc", std::nullopt},
      {"", std::nullopt},
      {"20s", std::nullopt},
      {"1 2", std::nullopt},
      {"0x2710", 10000},
      {"0X2710", 10000},
      {"$2710", 10000},
      {"x2710", 10000},
      {"  0x2710  ", 10000},
      {"0x7", 7},
      {"0x", std::nullopt},
      {"0x1g", std::nullopt},
      {"-0x10", std::nullopt},  // 0x is only recognised at the very start
      {"-$10", -16},
      {"$", std::nullopt},
      {"-", std::nullopt},
      {"7", 7},
      {"+7", 7},
      {"-250", -250},
      {"0", 0},
      {"2147483647", kInt32Max},
      {"-2147483648", kInt32Min},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999999999999", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("ConnectTimeOut=") + row.value);
    WriteSettings(std::string("[General]\nConnectTimeOut=") + row.value + "\n");
    EXPECT_EQ(ReadSettings(program_dir_).connect_timeout_ms, row.expected.value_or(kDefault));
  }
}

// Negative and zero values are taken as written; the settings impose no range.
TEST_F(SettingsTest, NegativeAndZeroValuesAreKept) {
  WriteSettings(
      "[General]\n"
      "MaxGreetingsCount=0\n"
      "ConnectTimeOut=-1\n"
      "AfterConnectPause=-3000\n"
      "PlayMessageDurationSec=-50\n");
  const Settings settings = ReadSettings(program_dir_);
  EXPECT_EQ(settings.max_greetings_count, 0);
  EXPECT_EQ(settings.connect_timeout_ms, -1);
  EXPECT_EQ(settings.after_connect_pause_ms, -3000);
  EXPECT_EQ(settings.play_message_duration_s, -50);
}

// Section and key names match whatever their case; blanks around them do not matter.
TEST_F(SettingsTest, SectionAndKeyNamesIgnoreCaseAndBlanks) {
  WriteSettings(
      "[gEnErAl]\n"
      "  connecttimeout  =  42 \n"
      "TAPIDEVICENAME= Line 1 \n");
  const Settings settings = ReadSettings(program_dir_);
  EXPECT_EQ(settings.connect_timeout_ms, 42);
  EXPECT_EQ(settings.tapi_device_name, "Line 1");
}

// Only the file next to the executable counts, never one in the current directory.
TEST_F(SettingsTest, SettingsFileInCurrentDirectoryIsNotRead) {
  const std::filesystem::path elsewhere = dir_ / "elsewhere";
  std::filesystem::create_directories(elsewhere);
  std::ofstream(elsewhere / kSettingsFileName) << "[General]\nConnectTimeOut=1\n"
                                                  "TAPIDeviceName=Wrong\n";
  CurrentDirectoryGuard guard(elsewhere);
  const Settings settings = ReadSettings(program_dir_);
  EXPECT_EQ(settings.connect_timeout_ms, 10000);
  EXPECT_EQ(settings.tapi_device_name, "");
}

// Without settings next to the program, the user's are read, else the machine's; next to the
// program still wins. The speech voice is read with the others.
TEST_F(SettingsTest, ProgramDirectoryThenUserConfigDirectory) {
  if (platform::ConfigDirectories().empty()) GTEST_SKIP() << "settings only beside the program";
  EXPECT_EQ(platform::ConfigDirectories().front(), (dir_ / "config" / "telvane").string() + "/");
  EXPECT_EQ(platform::ConfigDirectories().back(), "/etc/telvane/");
  std::filesystem::create_directories(dir_ / "config" / "telvane");
  WriteFile("config/telvane/telvane.ini", "[General]\nConnectTimeOut=2\nSpeechVoice=de\n");
  Settings settings = ReadSettings(program_dir_);
  EXPECT_EQ(settings.connect_timeout_ms, 2);
  EXPECT_EQ(settings.speech_voice, "de");
  WriteSettings("[General]\nConnectTimeOut=3\n");
  settings = ReadSettings(program_dir_);
  EXPECT_EQ(settings.connect_timeout_ms, 3);
  EXPECT_EQ(settings.speech_voice, "en");
}

// The installed greeting (in the data directory beside the program's) serves only when none
// lies next to the program.
TEST_F(SettingsTest, DefaultGreetingBesideProgramThenInstalled) {
  std::filesystem::create_directories(dir_ / "bin");
  std::filesystem::create_directories(dir_ / "share" / "telvane");
  const std::string bin = (dir_ / "bin").string() + "/";
  const std::string beside = bin + kDefaultGreetingName;
  EXPECT_EQ(DefaultGreetingFile(bin), beside);  // neither exists: the usual name, for the error
  const std::string installed = WriteFile("share/telvane/PressAnyKey.wav", "RIFF");
  EXPECT_EQ(std::filesystem::canonical(DefaultGreetingFile(bin)), installed);
  WriteFile("bin/PressAnyKey.wav", "RIFF");
  EXPECT_EQ(DefaultGreetingFile(bin), beside);
}

// A string value is cut to the 2047 characters the reader's buffer holds.
TEST_F(SettingsTest, LongStringValueIsCutTo2047Characters) {
  const std::string long_name(3000, 'a');
  WriteSettings("[General]\nPressAnyKeyFile=" + long_name +
                "\nTAPIDeviceName=" + std::string(2047, 'b') + "\n");
  const Settings settings = ReadSettings(program_dir_);
  EXPECT_EQ(settings.press_any_key_file, std::string(2047, 'a'));
  EXPECT_EQ(settings.tapi_device_name, std::string(2047, 'b'));
}

}  // namespace
}  // namespace telvane
