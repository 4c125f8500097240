// The console program's shared pieces: the call settings and their file, the executable's
// directory, the line printers, the usage text and the option helpers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace telvane {

// The settings that shape every call. Defaults hold until LoadSettings reads the file.
struct TCallOptions {
  std::string TAPIDeviceName;
  std::string PressAnyKeyFile;
  int32_t MaxGreetingsCount = 5;
  int32_t ConnectTimeOut = 10000;       // milliseconds
  int32_t AfterConnectPause = 3;        // milliseconds
  int32_t PlayMessageDurationSec = 50;  // seconds
  std::string SpeechVoice = "en";       // espeak-ng voice for spoken (.txt) messages
};

// The one instance, read by the call controller.
extern TCallOptions CallOptions;

// The executable's directory with its trailing separator; set before main runs.
extern std::string AppDir;

// Name of the settings file.
inline constexpr const char* kSettingsFileName = "telvane.ini";

// Name of the greeting played when the settings name none.
inline constexpr const char* kDefaultGreetingName = "PressAnyKey.wav";

// The settings file LoadSettings reads: telvane.ini in AppDir when it exists there, else the
// first one found in platform::ConfigDirectories(), else (none found) the one in AppDir.
std::string SettingsFilePath();

// Reads section "General" of the settings file into CallOptions. Each key falls back to the
// field's current value when the file, the section or the key is missing, or when an
// integer does not convert. Never fails.
void LoadSettings();

// The greeting played when the settings name none: kDefaultGreetingName in AppDir, else the
// installed one in the program's data directory when only that exists.
std::string DefaultGreetingFile();

// A settings integer: blanks, an optional sign, then decimal digits, or hexadecimal digits
// after "$" or "x" (LoadSettings turns a leading "0x" into "$" before converting). Empty
// when anything is wrong: a stray character, no digit, a value outside the signed 32-bit
// range.
std::optional<int32_t> SettingsInteger(const std::string& text);

// The "-retry:" value: like a settings integer, but a stray character ends the number
// instead of failing it, and the number then loses its sign (3x gives 3, -2x gives 2, abc
// gives 0). Values beyond the signed 32-bit range are held at its ends.
int32_t RetryCountValue(const std::string& text);

// The argument with the first occurrence of prefix replaced, or unchanged without one.
std::string ExtractOptionValue(const std::string& argument, const std::string& prefix,
                               const std::string& replacement);

// "[" date and time "]" tab message, as every progress, result and debug line starts, with
// the message's control characters shown escaped (platform::EscapeControls). The time is the
// wall time of the calling thread's message loop, which must exist.
std::string TimeStamped(const std::string& message);

// Writes one time-stamped line to standard output; an empty message writes an empty line.
// Loop thread only, as TimeStamped.
void PrintLine(const std::string& message);

// Writes one line as it is, without time stamp: a fixed word ("busy") or a TimeStamped line.
void PrintPlainLine(const std::string& text);

// Writes the usage text; without start_directly it is preceded by two empty lines.
void PrintUsage(bool start_directly);

// Writes the banner: the framed title, the purpose line and an empty line.
void PrintBanner();

// The banner's lines as code page 437 bytes; when utf8 is set, with the box characters
// written as the same characters in UTF-8.
std::string BannerText(bool utf8);

}  // namespace telvane
