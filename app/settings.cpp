#include "app/settings.h"

#include <optional>

#include "app/integer_text.h"
#include "platform/os.h"

namespace telvane {

namespace {

constexpr const char* kSettingsSection = "General";

// The program's data directory relative to its own, as the build installs them.
#ifndef TELVANE_RELATIVE_DATA_DIR
#define TELVANE_RELATIVE_DATA_DIR "../share/telvane"
#endif

void ReadString(const std::string& file, const std::string& key, std::string& field) {
  field = platform::ReadProfileString(file, kSettingsSection, key, field);
}

void ReadInteger(const std::string& file, const std::string& key, int32_t& field) {
  std::string text = platform::ReadProfileString(file, kSettingsSection, key, "");
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.replace(0, 2, "$");
  }
  if (std::optional<int32_t> value = SettingsInteger(text)) field = *value;
}

}  // namespace

std::string SettingsFilePath(const std::string& program_dir) {
  const std::string beside_program = program_dir + kSettingsFileName;
  if (platform::FileExists(beside_program)) return beside_program;
  for (const std::string& dir : platform::ConfigDirectories()) {
    if (platform::FileExists(dir + kSettingsFileName)) return dir + kSettingsFileName;
  }
  return beside_program;
}

Settings ReadSettings(const std::string& program_dir) {
  const std::string file = SettingsFilePath(program_dir);
  Settings settings;
  ReadString(file, "TAPIDeviceName", settings.tapi_device_name);
  ReadString(file, "PressAnyKeyFile", settings.press_any_key_file);
  ReadInteger(file, "MaxGreetingsCount", settings.max_greetings_count);
  ReadInteger(file, "ConnectTimeOut", settings.connect_timeout_ms);
  ReadInteger(file, "AfterConnectPause", settings.after_connect_pause_ms);
  ReadInteger(file, "PlayMessageDurationSec", settings.play_message_duration_s);
  ReadString(file, "SpeechVoice", settings.speech_voice);
  return settings;
}

std::string DefaultGreetingFile(const std::string& program_dir) {
  const std::string beside_program = program_dir + kDefaultGreetingName;
  const std::string installed =
      program_dir + TELVANE_RELATIVE_DATA_DIR + "/" + kDefaultGreetingName;
  if (!platform::FileExists(beside_program) && platform::FileExists(installed)) {
    return installed;
  }
  return beside_program;
}

}  // namespace telvane
