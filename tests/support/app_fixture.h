// Shared set-up for the application's tests: a message loop on the virtual clock, the call
// settings at their defaults, and a settings directory of the test's own standing in for the
// executable's directory.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/telvane_utils.h"
#include "platform/message_loop.h"
#include "tests/support/scratch_dir.h"

namespace telvane::testing {

class AppFixture : public ::testing::Test {
 protected:
  AppFixture() : loop_(platform::ClockMode::kVirtual) {
    // The program's own lines file and book-keeping stay out of the tests: no lines, and a
    // state folder of the test's own.
    WriteFile("no-lines.ini", "");
    SetEnvironment("TELVANE_LINES", (dir_ / "no-lines.ini").string());
    SetEnvironment("TELVANE_STATE_DIR", (dir_ / "state").string());
    // Nor are the user's own settings read.
    SetEnvironment("XDG_CONFIG_HOME", (dir_ / "config").string());
    saved_app_dir_ = AppDir;
    AppDir = dir_.string() + "/";
    CallOptions = TCallOptions{};
  }

  ~AppFixture() override {
    AppDir = saved_app_dir_;
    CallOptions = TCallOptions{};
  }

  // Writes a file in the test's directory and returns its full path.
  std::string WriteFile(const std::string& name, const std::string& content) {
    return scratch_.Write(name, content);
  }

  void WriteSettings(const std::string& content) { WriteFile(kSettingsFileName, content); }

  platform::MessageLoop loop_;
  const ScratchDir scratch_ = ScratchDir::ForCurrentTest();
  const std::filesystem::path dir_ = scratch_.Path();

 private:
  std::string saved_app_dir_;
};

}  // namespace telvane::testing
