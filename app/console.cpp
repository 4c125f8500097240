#include "app/console.h"

#include <iostream>

#include "platform/message_loop.h"
#include "platform/os.h"
#include "platform/text.h"

namespace telvane {

namespace {

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

void PrintDebugLine(const std::string& message) { PrintPlainLine(TimeStamped(message)); }

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
