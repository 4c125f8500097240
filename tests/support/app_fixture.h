// Shared set-up for the application's tests: a message loop on the virtual clock, the call
// settings at their defaults, and a settings directory of the test's own standing in for the
// executable's directory.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/telvane_utils.h"
#include "platform/app_registry.h"
#include "platform/message_loop.h"

namespace telvane::testing {

inline void SetEnvironment(const std::string& name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name.c_str(), value.c_str());
#else
  setenv(name.c_str(), value.c_str(), 1);
#endif
}

class AppFixture : public ::testing::Test {
 protected:
  AppFixture() : loop_(platform::ClockMode::kVirtual) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::temp_directory_path() /
           ("telvane_test_" + std::to_string(platform::LineAppRegistry::CurrentProcessId()) + "_" + info->test_suite_name() + "_" +
            info->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    // The program's own lines file and book-keeping stay out of the tests: no lines, and a
    // state folder of the test's own.
    WriteFile("no-lines.ini", "");
    SetEnvironment("TELVANE_LINES", (dir_ / "no-lines.ini").string());
    SetEnvironment("TELVANE_STATE_DIR", (dir_ / "state").string());
    saved_app_dir_ = AppDir;
    AppDir = dir_.string() + "/";
    CallOptions = TCallOptions{};
  }

  ~AppFixture() override {
    AppDir = saved_app_dir_;
    CallOptions = TCallOptions{};
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Writes a file in the test's directory and returns its full path.
  std::string WriteFile(const std::string& name, const std::string& content) {
    const std::filesystem::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  void WriteSettings(const std::string& content) { WriteFile(kSettingsFileName, content); }

  platform::MessageLoop loop_;
  std::filesystem::path dir_;

 private:
  std::string saved_app_dir_;
};

}  // namespace telvane::testing
