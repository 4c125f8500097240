// Shared set-up for the application's tests: a message loop on the virtual clock and a
// directory of the test's own standing in for the executable's directory (program_dir_),
// where the settings file is looked for.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/settings.h"
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
  }

  // Writes a file in the test's directory and returns its full path.
  std::string WriteFile(const std::string& name, const std::string& content) {
    return scratch_.Write(name, content);
  }

  void WriteSettings(const std::string& content) { WriteFile(kSettingsFileName, content); }

  platform::MessageLoop loop_;
  const ScratchDir scratch_ = ScratchDir::ForCurrentTest();
  const std::filesystem::path dir_ = scratch_.Path();
  const std::string program_dir_ = dir_.string() + "/";
};

}  // namespace telvane::testing
