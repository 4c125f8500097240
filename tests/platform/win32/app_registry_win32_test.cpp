// The line-application book-keeping in the user's registry key, and the process probe.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/app_registry.h"

namespace telvane::platform {
namespace {

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Starts a copy of this test program that lists no test and ends at once; returns its
// process identifier once it has ended, with its handle still open in `handle`.
uint32_t EndedProcess(HANDLE& handle) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string command = std::string("\"") + path + "\" --gtest_filter=-*";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(path, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process)) {
    return 0;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, 30'000);
  handle = process.hProcess;
  return process.dwProcessId;
}

// Values of this test, removed again whatever the test did.
class Win32RegistryTest : public testing::Test {
 protected:
  ~Win32RegistryTest() override {
    for (const std::string& name : names_) registry_.Delete(name);
  }
  std::string Name(const std::string& name) {
    names_.push_back(name);
    return name;
  }
  LineAppRegistry registry_;
  std::vector<std::string> names_;
};

// The store is the program's key under the current user; values go in, read back, list,
// and go again.
TEST_F(Win32RegistryTest, ValuesRoundTripInTheUsersKey) {
  EXPECT_EQ(registry_.Location(), "HKEY_CURRENT_USER\\SOFTWARE\\DovizIvaro\\VUVU\\TAPI");
  const std::string name = Name("telvane-test-" + std::to_string(GetCurrentProcessId()));
  ASSERT_TRUE(registry_.Write(name, "12345"));
  EXPECT_EQ(registry_.Read(name), "12345");
  ASSERT_TRUE(registry_.Write(name, "7"));
  EXPECT_EQ(registry_.Read(name), "7");
  EXPECT_TRUE(Contains(registry_.ValueNames(), name));

  // Another object (as another process would) sees the same key.
  EXPECT_EQ(LineAppRegistry().Read(name), "7");

  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\DovizIvaro\\VUVU\\TAPI", 0, KEY_QUERY_VALUE,
                          &key),
            ERROR_SUCCESS);
  DWORD type = 0;
  EXPECT_EQ(RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  RegCloseKey(key);

  EXPECT_TRUE(registry_.Delete(name));
  EXPECT_FALSE(registry_.Read(name).has_value());
  EXPECT_FALSE(registry_.Delete(name));
  EXPECT_FALSE(Contains(registry_.ValueNames(), name));
}

// The names the store refuses on every system are refused here too.
TEST_F(Win32RegistryTest, RefusesNamesNotAllowedAnywhere) {
  EXPECT_FALSE(registry_.Write("", "1"));
  EXPECT_FALSE(registry_.Write(".hidden", "1"));
  EXPECT_FALSE(registry_.Write("a/b", "1"));
  EXPECT_FALSE(registry_.Read("a/b").has_value());
}

// The probe: this process runs, an ended one does not even while a handle keeps its
// object, and 0 is never a line application.
TEST(Win32ProcessTest, ProbeTellsRunningFromEnded) {
  EXPECT_EQ(LineAppRegistry::CurrentProcessId(), GetCurrentProcessId());
  EXPECT_TRUE(LineAppRegistry::ProcessRunning(GetCurrentProcessId()));
  EXPECT_FALSE(LineAppRegistry::ProcessRunning(0));
  HANDLE handle = nullptr;
  const uint32_t ended = EndedProcess(handle);
  ASSERT_NE(ended, 0u);
  EXPECT_FALSE(LineAppRegistry::ProcessRunning(ended));
  CloseHandle(handle);
  EXPECT_FALSE(LineAppRegistry::ProcessRunning(ended));
}

// The start-up sweep over the real key: an ended process's value is shut down and removed,
// this process's value is kept, a value that names no process is removed without a shutdown.
TEST_F(Win32RegistryTest, SweepEndsOnlyEndedProcessesEntries) {
  HANDLE handle = nullptr;
  const uint32_t ended = EndedProcess(handle);
  ASSERT_NE(ended, 0u);
  CloseHandle(handle);
  const std::string stale = Name(LineAppValueName(ended));
  const std::string mine = Name(LineAppValueName(GetCurrentProcessId()));
  const std::string junk = Name("not-a-process");
  ASSERT_TRUE(registry_.Write(stale, "4242"));
  ASSERT_TRUE(registry_.Write(mine, "17"));
  ASSERT_TRUE(registry_.Write(junk, "99"));
  std::vector<uint32_t> shut_down;
  SweepStaleLineApps(registry_, [&](uint32_t handle_value) { shut_down.push_back(handle_value); });
  EXPECT_TRUE(std::find(shut_down.begin(), shut_down.end(), 4242u) != shut_down.end());
  EXPECT_TRUE(std::find(shut_down.begin(), shut_down.end(), 17u) == shut_down.end());
  EXPECT_TRUE(std::find(shut_down.begin(), shut_down.end(), 99u) == shut_down.end());
  EXPECT_FALSE(registry_.Read(stale).has_value());
  EXPECT_EQ(registry_.Read(mine), "17");
  EXPECT_FALSE(registry_.Read(junk).has_value());
}

}  // namespace
}  // namespace telvane::platform
