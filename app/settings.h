// The settings that shape every call, read from telvane.ini's section "General":
//
//   const Settings settings = ReadSettings(program_dir);   // never fails
//   settings.connect_timeout_ms ...
//
// A key that is missing, and an integer that does not convert, keep the built-in default;
// so does every key when there is no settings file. The file is only read. Thread-safe as
// far as the file system is.
#pragma once

#include <cstdint>
#include <string>

namespace telvane {

// Name of the settings file.
inline constexpr const char* kSettingsFileName = "telvane.ini";

// Name of the greeting played when the settings name none.
inline constexpr const char* kDefaultGreetingName = "PressAnyKey.wav";

struct Settings {
  std::string tapi_device_name;          // TAPIDeviceName: the line device to use
  std::string press_any_key_file;        // PressAnyKeyFile: the greeting, as written
  int32_t max_greetings_count = 5;       // MaxGreetingsCount: greeting plays without a key
  int32_t connect_timeout_ms = 10000;    // ConnectTimeOut: the wait for the answer
  int32_t after_connect_pause_ms = 3;    // AfterConnectPause: before the first sound
  int32_t play_message_duration_s = 50;  // PlayMessageDurationSec: repeats without greeting
  std::string speech_voice = "en";       // SpeechVoice: espeak-ng voice for .txt messages
};

// The settings file ReadSettings reads: telvane.ini in program_dir (the executable's
// directory with its trailing separator) when it exists there, else the first one found in
// platform::ConfigDirectories(), else (none found) the one in program_dir.
std::string SettingsFilePath(const std::string& program_dir);

// Reads the settings of the program in program_dir.
Settings ReadSettings(const std::string& program_dir);

// The greeting played when the settings name none: kDefaultGreetingName in program_dir,
// else the installed one in the program's data directory when only that exists.
std::string DefaultGreetingFile(const std::string& program_dir);

}  // namespace telvane
