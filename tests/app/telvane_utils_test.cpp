// The console program's shared pieces: settings loading, number conversions, option values,
// the banner, the usage text and the time-stamped line printer.
#include "app/telvane_utils.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/os.h"
#include "tests/support/app_fixture.h"

namespace telvane {
namespace {

constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int32_t kInt32Min = std::numeric_limits<int32_t>::min();

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

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
  LoadSettings();
  EXPECT_EQ(CallOptions.TAPIDeviceName, "");
  EXPECT_EQ(CallOptions.PressAnyKeyFile, "");
  EXPECT_EQ(CallOptions.MaxGreetingsCount, 5);
  EXPECT_EQ(CallOptions.ConnectTimeOut, 10000);
  EXPECT_EQ(CallOptions.AfterConnectPause, 3);
  EXPECT_EQ(CallOptions.PlayMessageDurationSec, 50);
}

// All six keys of section General are read into their fields.
TEST_F(SettingsTest, ReadsAllSixKeys) {
  WriteSettings(
      "[General]\n"
      "TAPIDeviceName=USB Voice Modem\n"
      "PressAnyKeyFile=greetings/Hello.wav\n"
      "MaxGreetingsCount=2\n"
      "ConnectTimeOut=30000\n"
      "AfterConnectPause=500\n"
      "PlayMessageDurationSec=120\n");
  LoadSettings();
  EXPECT_EQ(CallOptions.TAPIDeviceName, "USB Voice Modem");
  EXPECT_EQ(CallOptions.PressAnyKeyFile, "greetings/Hello.wav");
  EXPECT_EQ(CallOptions.MaxGreetingsCount, 2);
  EXPECT_EQ(CallOptions.ConnectTimeOut, 30000);
  EXPECT_EQ(CallOptions.AfterConnectPause, 500);
  EXPECT_EQ(CallOptions.PlayMessageDurationSec, 120);
}

// Keys outside section General and keys that are absent leave their fields alone.
TEST_F(SettingsTest, MissingSectionOrKeyKeepsCurrentValues) {
  WriteSettings(
      "[Other]\n"
      "ConnectTimeOut=1\n"
      "TAPIDeviceName=Wrong Modem\n"
      "[General]\n"
      "MaxGreetingsCount=7\n");
  CallOptions.TAPIDeviceName = "Earlier Modem";
  LoadSettings();
  EXPECT_EQ(CallOptions.MaxGreetingsCount, 7);
  EXPECT_EQ(CallOptions.ConnectTimeOut, 10000);
  EXPECT_EQ(CallOptions.TAPIDeviceName, "Earlier Modem");
  EXPECT_EQ(CallOptions.PressAnyKeyFile, "");
  EXPECT_EQ(CallOptions.AfterConnectPause, 3);
  EXPECT_EQ(CallOptions.PlayMessageDurationSec, 50);
}

// A file without section General leaves everything at its default.
TEST_F(SettingsTest, FileWithoutGeneralSectionKeepsDefaults) {
  WriteSettings("[Settings]\nConnectTimeOut=1\nMaxGreetingsCount=1\n");
  LoadSettings();
  EXPECT_EQ(CallOptions.ConnectTimeOut, 10000);
  EXPECT_EQ(CallOptions.MaxGreetingsCount, 5);
}

// Malformed values keep the built-in ConnectTimeOut; hexadecimal forms of it give the same.
TEST_F(SettingsTest, ConnectTimeOutExamplesFromDefaults) {
  for (const std::string value : {"abc", "", "0x2710", "0X2710", "$2710", "20s"}) {
    SCOPED_TRACE("ConnectTimeOut=" + value);
    CallOptions = TCallOptions{};
    WriteSettings("[General]\nConnectTimeOut=" + value + "\n");
    LoadSettings();
    EXPECT_EQ(CallOptions.ConnectTimeOut, 10000);
  }
}

// An integer value either converts as a whole or leaves the field at its current value.
TEST_F(SettingsTest, IntegerValueConvertsWholeOrKeepsCurrentValue) {
  constexpr int32_t kEarlier = 4321;
  struct Row {
    const char* value;
    std::optional<int32_t> expected;  // empty: the earlier value stays
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
    CallOptions.ConnectTimeOut = kEarlier;
    WriteSettings(std::string("[General]\nConnectTimeOut=") + row.value + "\n");
    LoadSettings();
    EXPECT_EQ(CallOptions.ConnectTimeOut, row.expected.value_or(kEarlier));
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
  LoadSettings();
  EXPECT_EQ(CallOptions.MaxGreetingsCount, 0);
  EXPECT_EQ(CallOptions.ConnectTimeOut, -1);
  EXPECT_EQ(CallOptions.AfterConnectPause, -3000);
  EXPECT_EQ(CallOptions.PlayMessageDurationSec, -50);
}

// Section and key names match whatever their case; blanks around them do not matter.
TEST_F(SettingsTest, SectionAndKeyNamesIgnoreCaseAndBlanks) {
  WriteSettings(
      "[gEnErAl]\n"
      "  connecttimeout  =  42 \n"
      "TAPIDEVICENAME= Line 1 \n");
  LoadSettings();
  EXPECT_EQ(CallOptions.ConnectTimeOut, 42);
  EXPECT_EQ(CallOptions.TAPIDeviceName, "Line 1");
}

// Only the file next to the executable counts, never one in the current directory.
TEST_F(SettingsTest, SettingsFileInCurrentDirectoryIsNotRead) {
  const std::filesystem::path elsewhere = dir_ / "elsewhere";
  std::filesystem::create_directories(elsewhere);
  std::ofstream(elsewhere / kSettingsFileName) << "[General]\nConnectTimeOut=1\n"
                                                  "TAPIDeviceName=Wrong\n";
  CurrentDirectoryGuard guard(elsewhere);
  LoadSettings();
  EXPECT_EQ(CallOptions.ConnectTimeOut, 10000);
  EXPECT_EQ(CallOptions.TAPIDeviceName, "");
}

// Without settings next to the program, the user's are read, else the machine's; next to the
// program still wins. The speech voice is read with the others.
TEST_F(SettingsTest, ProgramDirectoryThenUserConfigDirectory) {
  if (platform::ConfigDirectories().empty()) GTEST_SKIP() << "settings only beside the program";
  EXPECT_EQ(platform::ConfigDirectories().front(), (dir_ / "config" / "telvane").string() + "/");
  EXPECT_EQ(platform::ConfigDirectories().back(), "/etc/telvane/");
  std::filesystem::create_directories(dir_ / "config" / "telvane");
  WriteFile("config/telvane/telvane.ini", "[General]\nConnectTimeOut=2\nSpeechVoice=de\n");
  LoadSettings();
  EXPECT_EQ(CallOptions.ConnectTimeOut, 2);
  EXPECT_EQ(CallOptions.SpeechVoice, "de");
  CallOptions = TCallOptions{};
  WriteSettings("[General]\nConnectTimeOut=3\n");
  LoadSettings();
  EXPECT_EQ(CallOptions.ConnectTimeOut, 3);
  EXPECT_EQ(CallOptions.SpeechVoice, "en");
}

// The installed greeting (in the data directory beside the program's) serves only when none
// lies next to the program.
TEST_F(SettingsTest, DefaultGreetingBesideProgramThenInstalled) {
  std::filesystem::create_directories(dir_ / "bin");
  std::filesystem::create_directories(dir_ / "share" / "telvane");
  AppDir = (dir_ / "bin").string() + "/";
  const std::string beside = AppDir + kDefaultGreetingName;
  EXPECT_EQ(DefaultGreetingFile(), beside);  // neither exists: the usual name, for the error
  const std::string installed = WriteFile("share/telvane/PressAnyKey.wav", "RIFF");
  EXPECT_EQ(std::filesystem::canonical(DefaultGreetingFile()), installed);
  WriteFile("bin/PressAnyKey.wav", "RIFF");
  EXPECT_EQ(DefaultGreetingFile(), beside);
}

// A string value is cut to the 2047 characters the reader's buffer holds.
TEST_F(SettingsTest, LongStringValueIsCutTo2047Characters) {
  const std::string long_name(3000, 'a');
  WriteSettings("[General]\nPressAnyKeyFile=" + long_name +
                "\nTAPIDeviceName=" + std::string(2047, 'b') + "\n");
  LoadSettings();
  EXPECT_EQ(CallOptions.PressAnyKeyFile, std::string(2047, 'a'));
  EXPECT_EQ(CallOptions.TAPIDeviceName, std::string(2047, 'b'));
}

// The settings integer converts the whole text or nothing.
TEST(SettingsIntegerTest, ConvertsWholeTextOrNothing) {
  struct Row {
    const char* text;
    std::optional<int32_t> expected;
  };
  const Row rows[] = {
      {"3x", std::nullopt},
      {"-2x", std::nullopt},
      {"-2", -2},
      {"$1A", 26},
      {"$1a", 26},
      {"x1A", 26},
      {"-x1A", -26},
      {"  7", 7},
      {"abc", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"$", std::nullopt},
      {"+", std::nullopt},
      {"2147483647", kInt32Max},
      {"-2147483648", kInt32Min},
      {"2147483648", std::nullopt},
      {"$80000000", std::nullopt},
      {"99999999999999999999", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("text \"") + row.text + "\"");
    EXPECT_EQ(SettingsInteger(row.text), row.expected);
  }
}

// The retry value stops at the first stray character, which also drops the sign, and holds
// values beyond the 32-bit range at its ends.
TEST(RetryCountValueTest, ConvertsDigitsBeforeFirstStrayCharacter) {
  struct Row {
    const char* text;
    int32_t expected;
  };
  const Row rows[] = {
      {"3x", 3},
      {"-2x", 2},
      {"-2", -2},
      {"$1A", 26},
      {"0x1A", 26},
      {"x1A", 26},
      {"-0x1A", -26},
      {"  7", 7},
      {"7 ", 7},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {"-abc", 0},
      {"$1G", 1},
      {"0", 0},
      {"2147483647", kInt32Max},
      {"-2147483648", kInt32Min},
      {"99999999999", kInt32Max},
      {"-99999999999", kInt32Min},
      {"-99999999999x", kInt32Max},
      {"999999999999999999999999999999", kInt32Max},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("text \"") + row.text + "\"");
    EXPECT_EQ(RetryCountValue(row.text), row.expected);
  }
}

// The first occurrence of the prefix is replaced; without one the argument is unchanged.
TEST(ExtractOptionValueTest, ReplacesFirstOccurrenceOnly) {
  struct Row {
    const char* argument;
    const char* prefix;
    const char* replacement;
    const char* expected;
  };
  const Row rows[] = {
      {"-phone:555-1234", "-phone:", "", "555-1234"},
      {"-x-phone:123", "-phone:", "", "-x123"},
      {"-phone:-phone:1", "-phone:", "", "-phone:1"},
      {"-phone:", "-phone:", "", ""},
      {"-debug", "-phone:", "", "-debug"},
      {"a-b-a", "a", "X", "X-b-a"},
      {"abc", "", "X", "abc"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.argument);
    EXPECT_EQ(ExtractOptionValue(row.argument, row.prefix, row.replacement), row.expected);
  }
}

// The code page 437 characters of the banner as Unicode, written out independently.
std::string Cp437ToUtf8(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (static_cast<unsigned char>(c)) {
      case 0xB3:
        out += "\u2502";
        break;  // light vertical
      case 0xB7:
        out += "\u2556";
        break;  // down double, left single
      case 0xBA:
        out += "\u2551";
        break;  // double vertical
      case 0xBC:
        out += "\u255D";
        break;  // double up and left
      case 0xC4:
        out += "\u2500";
        break;  // light horizontal
      case 0xCD:
        out += "\u2550";
        break;  // double horizontal
      case 0xD4:
        out += "\u2558";
        break;  // up single, right double
      case 0xDA:
        out += "\u250C";
        break;  // light down and right
      case 0xFE:
        out += "\u25A0";
        break;  // black square
      default:
        if (static_cast<unsigned char>(c) >= 0x80) return "<unexpected byte>";
        out += c;
    }
  }
  return out;
}

unsigned char ByteAt(const std::string& line, int column) {
  return static_cast<unsigned char>(line.at(static_cast<size_t>(column - 1)));
}

// A text row of the frame: single bars at columns 1, 33 and 50, a double bar at 79, and plain
// printable text between them.
void ExpectFrameRow(const std::string& row) {
  ASSERT_EQ(row.size(), 79u);
  EXPECT_EQ(ByteAt(row, 1), 0xB3);
  EXPECT_EQ(ByteAt(row, 33), 0xB3);
  EXPECT_EQ(ByteAt(row, 50), 0xB3);
  EXPECT_EQ(ByteAt(row, 79), 0xBA);
  for (int column = 2; column <= 78; ++column) {
    if (column == 33 || column == 50) continue;
    const unsigned char c = ByteAt(row, column);
    EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "column " << column;
  }
}

// The framed banner is four 79-byte lines of code page 437, the purpose line and a blank.
TEST(BannerTest, CodePage437FormHasExactFrame) {
  const std::string banner = BannerText(/*utf8=*/false);
  ASSERT_FALSE(banner.empty());
  EXPECT_EQ(banner.back(), '\n');
  const std::vector<std::string> lines = SplitLines(banner);
  ASSERT_EQ(lines.size(), 6u);

  const std::string& top = lines[0];
  ASSERT_EQ(top.size(), 79u);
  EXPECT_EQ(ByteAt(top, 1), 0xDA);
  EXPECT_EQ(ByteAt(top, 2), 0xC4);
  for (int column = 3; column <= 5; ++column) EXPECT_EQ(ByteAt(top, column), 0xFE) << column;
  for (int column = 6; column <= 78; ++column) EXPECT_EQ(ByteAt(top, column), 0xC4) << column;
  EXPECT_EQ(ByteAt(top, 79), 0xB7);

  ExpectFrameRow(lines[1]);
  EXPECT_EQ(lines[1].substr(1, 31), " Telvane" + std::string(23, ' '));
  EXPECT_EQ(lines[1].substr(33, 16), "  Version 0.11  ");
  ExpectFrameRow(lines[2]);

  const std::string& bottom = lines[3];
  ASSERT_EQ(bottom.size(), 79u);
  EXPECT_EQ(ByteAt(bottom, 1), 0xD4);
  for (int column = 2; column <= 78; ++column) EXPECT_EQ(ByteAt(bottom, column), 0xCD) << column;
  EXPECT_EQ(ByteAt(bottom, 79), 0xBC);

  EXPECT_EQ(lines[4],
            " Purpose: calls specified phone number and plays wav file using voice modem");
  EXPECT_EQ(lines[5], "");
}

// On a UTF-8 console the banner shows the same characters, encoded in UTF-8.
TEST(BannerTest, Utf8FormHasSameCharacters) {
  const std::string cp437 = BannerText(/*utf8=*/false);
  const std::string utf8 = BannerText(/*utf8=*/true);
  EXPECT_EQ(utf8, Cp437ToUtf8(cp437));
  EXPECT_NE(utf8, cp437);
}

// Sets the character-set locale for the life of the guard.
class CtypeLocaleGuard {
 public:
  explicit CtypeLocaleGuard(const char* name) : saved_(std::setlocale(LC_CTYPE, nullptr)) {
    ok_ = std::setlocale(LC_CTYPE, name) != nullptr;
  }
  ~CtypeLocaleGuard() { std::setlocale(LC_CTYPE, saved_.c_str()); }
  CtypeLocaleGuard(const CtypeLocaleGuard&) = delete;
  CtypeLocaleGuard& operator=(const CtypeLocaleGuard&) = delete;
  bool ok() const { return ok_; }

 private:
  std::string saved_;
  bool ok_ = false;
};

// The banner is written in UTF-8 exactly when the console's character set is UTF-8.
TEST(BannerTest, PrintBannerFollowsConsoleCharacterSet) {
  {
    CtypeLocaleGuard locale("C");
    ASSERT_TRUE(locale.ok());
    ::testing::internal::CaptureStdout();
    PrintBanner();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), BannerText(/*utf8=*/false));
  }
  CtypeLocaleGuard locale("C.UTF-8");
  if (!locale.ok()) GTEST_SKIP() << "no C.UTF-8 locale here";
  ::testing::internal::CaptureStdout();
  PrintBanner();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), BannerText(/*utf8=*/true));
}

using PrintLineTest = telvane::testing::AppFixture;

// A message line is "[" local date and time "]", a tab and the message.
TEST_F(PrintLineTest, MessageLineCarriesTimeStampAndTab) {
  ::testing::internal::CaptureStdout();
  PrintLine("Dialing 555");
  const std::string out = ::testing::internal::GetCapturedStdout();
  // Time stands still on the virtual clock, so the stamp is known exactly.
  const std::string stamp = platform::LocalDateTimeText(loop_.WallMs());
  EXPECT_EQ(out, "[" + stamp + "]\tDialing 555\n");
  EXPECT_TRUE(std::regex_search(stamp, std::regex(R"(\d{1,2}:\d{2}:\d{2})"))) << stamp;
  EXPECT_TRUE(std::regex_match(out, std::regex(R"(\[[^\]\n]+ [^\]\n]+\]\tDialing 555\n)"))) << out;
}

// An empty message writes a bare empty line, without a time stamp.
TEST_F(PrintLineTest, EmptyMessageWritesEmptyLine) {
  ::testing::internal::CaptureStdout();
  PrintLine("");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "\n");
}

// Control characters in a message (a phone number with a line break, say) are shown escaped,
// so the text can never make a line of its own that a monitoring script would take for a
// result; the stamp's own tab stays.
TEST_F(PrintLineTest, ControlCharactersAreShownEscaped) {
  ::testing::internal::CaptureStdout();
  PrintLine("Dialing 5\r\n[01/01/26 00:00:00]\tCall Completed\x1b[2K\x7f");
  const std::string stamp = "[" + platform::LocalDateTimeText(loop_.WallMs()) + "]\t";
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            stamp + "Dialing 5\\r\\n[01/01/26 00:00:00]\\tCall Completed\\x1B[2K\\x7F\n");
  EXPECT_EQ(TimeStamped("caf\xC3\xA9 \\ ok"), stamp + "caf\xC3\xA9 \\ ok");
}

// The debug writer's stamp is the same as PrintLine's.
TEST_F(PrintLineTest, TimeStampedMatchesPrintLine) {
  ::testing::internal::CaptureStdout();
  PrintLine("x");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), TimeStamped("x") + "\n");
}

std::string CapturedUsage(bool start_directly) {
  ::testing::internal::CaptureStdout();
  PrintUsage(start_directly);
  return ::testing::internal::GetCapturedStdout();
}

// The usage starts at once with the usage line naming every option, then describes each
// parameter and the retry modes, and gives examples; sections are set apart by empty lines.
TEST(PrintUsageTest, StartsDirectlyAndDescribesEveryOption) {
  std::vector<std::string> lines;
  std::istringstream text(CapturedUsage(/*start_directly=*/true));
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 17u);
  EXPECT_EQ(lines[0].rfind(" Usage: telvane.exe <filename> -phone:<phone_number> ", 0), 0u);
  for (const char* option :
       {"[-retry:", "[-retrymode:PAB|PTB]", "[-backupphone:", "[-debug]", "[-tapidevice:"}) {
    EXPECT_NE(lines[0].find(option), std::string::npos) << option;
  }
  EXPECT_EQ(lines[2], " Parameters:");
  const std::regex parameter(R"(  (<filename>|-[a-z]+) *: \S.*)");
  const char* const names[] = {"<filename>",   "-phone", "-retry",     "-retrymode",
                               "-backupphone", "-debug", "-tapidevice"};
  for (size_t i = 0; i < std::size(names); ++i) {
    EXPECT_TRUE(std::regex_match(lines[3 + i], parameter)) << lines[3 + i];
    EXPECT_EQ(lines[3 + i].rfind(std::string("  ") + names[i], 0), 0u) << lines[3 + i];
  }
  EXPECT_EQ(lines[10].rfind("  Retry mode PAB: ", 0), 0u);
  EXPECT_EQ(lines[11].rfind("  Retry mode PTB: ", 0), 0u);
  EXPECT_EQ(lines[13], " Examples:");
  EXPECT_EQ(lines[14].rfind("  telvane ", 0), 0u);
  EXPECT_EQ(lines[15].rfind("  telvane ", 0), 0u);
  for (size_t empty : {1, 12, 16}) EXPECT_EQ(lines[empty], "") << empty;
}

// After a validation error the usage is preceded by two empty lines.
TEST(PrintUsageTest, TwoEmptyLinesFirstAfterError) {
  EXPECT_EQ(CapturedUsage(/*start_directly=*/false), "\n\n" + CapturedUsage(true));
}

}  // namespace
}  // namespace telvane
