// What the user sees: the banner, the time-stamped lines and the usage text.
#include "app/console.h"

#include <gtest/gtest.h>

#include <clocale>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/os.h"
#include "tests/support/app_fixture.h"

namespace telvane {
namespace {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
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

// The debug lines' stamp is the same as PrintLine's, also for an empty message.
TEST_F(PrintLineTest, DebugLineIsStampedLikePrintLine) {
  ::testing::internal::CaptureStdout();
  PrintLine("x");
  PrintDebugLine("x");
  PrintDebugLine("");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            TimeStamped("x") + "\n" + TimeStamped("x") + "\n" + TimeStamped("") + "\n");
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
