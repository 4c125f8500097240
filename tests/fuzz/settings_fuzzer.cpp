// The settings file as the program reads it: telvane.ini next to the program, its section and
// keys found, and its integers converted (decimal, "0x", "$" and "x" hexadecimal, signs,
// blanks), the same conversions the -retry: value goes through.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/integer_text.h"
#include "app/settings.h"

using namespace telvane;

namespace {

std::string g_program_dir;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("telvane_settings_fuzz_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  g_program_dir = dir.string() + "/";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (FILE* file = std::fopen((g_program_dir + kSettingsFileName).c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
  }
  const Settings settings = ReadSettings(g_program_dir);
  if (settings.tapi_device_name.size() > 2047 || settings.press_any_key_file.size() > 2047) {
    __builtin_trap();
  }
  SettingsInteger(text);
  RetryCountValue(text);
  return 0;
}
