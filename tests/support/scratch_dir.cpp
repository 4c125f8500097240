#include "tests/support/scratch_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <utility>

#include "platform/app_registry.h"

namespace telvane::testing {

ScratchDir::ScratchDir(std::string_view label)
    : path_(std::filesystem::temp_directory_path() /
            ("telvane_" + std::string(label) + "_" +
             std::to_string(platform::LineAppRegistry::CurrentProcessId()))) {
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

ScratchDir ScratchDir::ForCurrentTest() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  return ScratchDir(std::string(test->test_suite_name()) + "_" + test->name());
}

ScratchDir::ScratchDir(ScratchDir&& other) noexcept : path_(std::move(other.path_)) {
  other.path_.clear();
}

ScratchDir::~ScratchDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::Write(std::string_view name, std::string_view content) const {
  const std::filesystem::path path = path_ / name;
  std::ofstream(path, std::ios::binary) << content;
  return path.string();
}

void SetEnvironment(const std::string& name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name.c_str(), value.c_str());
#else
  setenv(name.c_str(), value.c_str(), 1);
#endif
}

void UnsetEnvironment(const std::string& name) {
#ifdef _WIN32
  _putenv_s(name.c_str(), "");
#else
  unsetenv(name.c_str());
#endif
}

}  // namespace telvane::testing
