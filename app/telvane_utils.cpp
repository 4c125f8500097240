#include "app/telvane_utils.h"

#include <algorithm>
#include <iostream>
#include <limits>

#include "platform/message_loop.h"
#include "platform/os.h"
#include "platform/text.h"

namespace telvane {

TCallOptions CallOptions;
std::string AppDir = platform::ExtractFilePath(platform::ExecutablePath());

namespace {

constexpr const char* kSettingsSection = "General";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// What reading an integer text found: the digits read before anything stopped them.
struct IntegerScan {
  int64_t magnitude = 0;  // held at 2^32 once it grows past any 32-bit value
  bool negative = false;
  bool any_digit = false;
  bool stray = false;  // a character that is not a digit ended the number
};

IntegerScan ScanInteger(const std::string& text, bool accept_0x) {
  IntegerScan scan;
  size_t at = 0;
  while (at < text.size() && IsBlank(text[at])) ++at;
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) {
    scan.negative = text[at] == '-';
    ++at;
  }
  int base = 10;
  if (at < text.size() && (text[at] == '$' || text[at] == 'x' || text[at] == 'X')) {
    base = 16;
    ++at;
  } else if (accept_0x && at + 1 < text.size() && text[at] == '0' &&
             (text[at + 1] == 'x' || text[at + 1] == 'X')) {
    base = 16;
    at += 2;
  }
  constexpr int64_t kCeiling = int64_t{1} << 32;
  for (; at < text.size(); ++at) {
    const int digit = HexDigitValue(text[at]);
    if (digit < 0 || digit >= base) {
      scan.stray = true;
      break;
    }
    scan.any_digit = true;
    scan.magnitude = std::min(scan.magnitude * base + digit, kCeiling);
  }
  return scan;
}

// The program's data directory relative to its own, as the build installs them.
#ifndef TELVANE_RELATIVE_DATA_DIR
#define TELVANE_RELATIVE_DATA_DIR "../share/telvane"
#endif

std::string ReadSetting(const std::string& file, const std::string& key,
                        const std::string& default_value) {
  return platform::ReadProfileString(file, kSettingsSection, key, default_value);
}

void ReadIntegerSetting(const std::string& file, const std::string& key, int32_t& field) {
  std::string text = ReadSetting(file, key, "");
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.replace(0, 2, "$");
  }
  if (std::optional<int32_t> value = SettingsInteger(text)) field = *value;
}

// Code page 437 box characters of the banner and the same characters in UTF-8.
std::string BoxChar(unsigned char cp437, bool utf8) {
  if (!utf8) return std::string(1, static_cast<char>(cp437));
  switch (cp437) {
    case 0xDA:
      return "\u250C";
    case 0xC4:
      return "\u2500";
    case 0xFE:
      return "\u25A0";
    case 0xB7:
      return "\u2556";
    case 0xB3:
      return "\u2502";
    case 0xBA:
      return "\u2551";
    case 0xD4:
      return "\u2558";
    case 0xCD:
      return "\u2550";
    case 0xBC:
      return "\u255D";
    default:
      return "?";
  }
}

std::string Repeat(unsigned char cp437, int count, bool utf8) {
  std::string text;
  for (int i = 0; i < count; ++i) text += BoxChar(cp437, utf8);
  return text;
}

std::string Padded(const std::string& text, size_t width) {
  std::string padded = text.substr(0, width);
  padded.resize(width, ' ');
  return padded;
}

std::string BannerRow(const std::string& title, const std::string& version,
                      const std::string& contact, bool utf8) {
  return BoxChar(0xB3, utf8) + Padded(title, 31) + BoxChar(0xB3, utf8) + Padded(version, 16) +
         BoxChar(0xB3, utf8) + Padded(contact, 28) + BoxChar(0xBA, utf8);
}

}  // namespace

std::optional<int32_t> SettingsInteger(const std::string& text) {
  const IntegerScan scan = ScanInteger(text, /*accept_0x=*/false);
  if (scan.stray || !scan.any_digit) return std::nullopt;
  const int64_t value = scan.negative ? -scan.magnitude : scan.magnitude;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

int32_t RetryCountValue(const std::string& text) {
  const IntegerScan scan = ScanInteger(text, /*accept_0x=*/true);
  const int64_t value = (scan.negative && !scan.stray) ? -scan.magnitude : scan.magnitude;
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

std::string SettingsFilePath() {
  const std::string beside_program = AppDir + kSettingsFileName;
  if (platform::FileExists(beside_program)) return beside_program;
  for (const std::string& dir : platform::ConfigDirectories()) {
    if (platform::FileExists(dir + kSettingsFileName)) return dir + kSettingsFileName;
  }
  return beside_program;
}

void LoadSettings() {
  const std::string file = SettingsFilePath();
  CallOptions.TAPIDeviceName = ReadSetting(file, "TAPIDeviceName", CallOptions.TAPIDeviceName);
  CallOptions.PressAnyKeyFile = ReadSetting(file, "PressAnyKeyFile", CallOptions.PressAnyKeyFile);
  ReadIntegerSetting(file, "MaxGreetingsCount", CallOptions.MaxGreetingsCount);
  ReadIntegerSetting(file, "ConnectTimeOut", CallOptions.ConnectTimeOut);
  ReadIntegerSetting(file, "AfterConnectPause", CallOptions.AfterConnectPause);
  ReadIntegerSetting(file, "PlayMessageDurationSec", CallOptions.PlayMessageDurationSec);
  CallOptions.SpeechVoice = ReadSetting(file, "SpeechVoice", CallOptions.SpeechVoice);
}

std::string DefaultGreetingFile() {
  const std::string beside_program = AppDir + kDefaultGreetingName;
  const std::string installed = AppDir + TELVANE_RELATIVE_DATA_DIR + "/" + kDefaultGreetingName;
  if (!platform::FileExists(beside_program) && platform::FileExists(installed)) {
    return installed;
  }
  return beside_program;
}

std::string ExtractOptionValue(const std::string& argument, const std::string& prefix,
                               const std::string& replacement) {
  const size_t at = argument.find(prefix);
  if (prefix.empty() || at == std::string::npos) return argument;
  std::string result = argument;
  result.replace(at, prefix.size(), replacement);
  return result;
}

std::string TimeStamped(const std::string& message) {
  return "[" + platform::LocalDateTimeText(platform::MessageLoop::Current()->WallMs()) + "]\t" +
         platform::EscapeControls(message);
}

void PrintLine(const std::string& message) {
  if (message.empty()) {
    std::cout << '\n' << std::flush;
    return;
  }
  std::cout << TimeStamped(message) << '\n' << std::flush;
}

void PrintPlainLine(const std::string& text) { std::cout << text << '\n' << std::flush; }

void PrintUsage(bool start_directly) {
  static const char* const kUsage[] = {
      // The first line is long; it is one line, written as two literals.
      // NOLINTNEXTLINE(bugprone-suspicious-missing-comma)
      (" Usage: telvane.exe <filename> -phone:<phone_number> [-retry:<retry_count>] "
       "[-retrymode:PAB|PTB] [-backupphone:<phone_number>] [-debug] [-tapidevice:<device_name>]"),
      "",
      " Parameters:",
      "  <filename>  : path to WAV file that should be played",
      "  -phone      : primary phone to call",
      "  -retry      : attempts count (e.g. if number is busy)",
      "  -retrymode  : retry mode PAB or PTB (see information below)",
      "  -backupphone: backup phone number to call (e.g. if primary number is busy)",
      "  -debug      : display debug information",
      "  -tapidevice : modem name",
      "  Retry mode PAB: calls primary, backup, primary, backup N times",
      "  Retry mode PTB: calls primary N times then backup N times",
      "",
      " Examples:",
      "  telvane c:\\tools\\sounds\\routerfailure.wav -phone:12068765412 -retry:2",
      "  telvane neterr.wav -phone:34567 -retry:2 -retrymode:PTB -backupphone:23555",
      "",
  };
  // After a validation error the usage stands apart from the error line.
  if (!start_directly) std::cout << "\n\n";
  for (const char* line : kUsage) std::cout << line << '\n';
  std::cout << std::flush;
}

std::string BannerText(bool utf8) {
  std::string text;
  text += BoxChar(0xDA, utf8) + BoxChar(0xC4, utf8) + Repeat(0xFE, 3, utf8) +
          Repeat(0xC4, 73, utf8) + BoxChar(0xB7, utf8) + '\n';
  text += BannerRow(" Telvane", "  Version 0.11  ", " Voice alerts by telephone", utf8) + '\n';
  text += BannerRow("", "", " Telvane developers", utf8) + '\n';
  text += BoxChar(0xD4, utf8) + Repeat(0xCD, 77, utf8) + BoxChar(0xBC, utf8) + '\n';
  text += " Purpose: calls specified phone number and plays wav file using voice modem\n";
  text += '\n';
  return text;
}

void PrintBanner() { std::cout << BannerText(platform::ConsoleIsUtf8()) << std::flush; }

}  // namespace telvane
