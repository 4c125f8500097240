// Loading libraries by name and by path with the system's loader; TAPI32 is the system's.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/dynamic_library.h"
#include "platform/errors.h"
#include "platform/tapi_binding.h"

namespace telvane::platform {
namespace {

// The bare name the binding uses finds the system's telephony library and its entries.
TEST(Win32DynamicLibraryTest, BareNameFindsTheSystemsTapi) {
  std::unique_ptr<DynamicLibrary> tapi = DynamicLibrary::Load(kTapiLibraryName);
  ASSERT_NE(tapi, nullptr);
  EXPECT_NE(tapi->Symbol("lineInitialize"), nullptr);
  EXPECT_NE(tapi->Symbol("lineMakeCall"), nullptr);
  EXPECT_EQ(tapi->Symbol("noSuchEntry"), nullptr);
}

// A path loads as it is, with either separator; what cannot be loaded gives null.
TEST(Win32DynamicLibraryTest, PathsLoadAndMissingLibrariesFail) {
  char system[MAX_PATH];
  const UINT length = GetSystemDirectoryA(system, MAX_PATH);
  ASSERT_GT(length, 0u);
  std::string path(system, length);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  std::unique_ptr<DynamicLibrary> kernel = DynamicLibrary::Load(path + "/kernel32.dll");
  ASSERT_NE(kernel, nullptr);
  EXPECT_NE(kernel->Symbol("GetTickCount"), nullptr);
  EXPECT_EQ(DynamicLibrary::Load("telvane_no_such_library"), nullptr);
  EXPECT_EQ(DynamicLibrary::Load("C:\\nonexistent\\TAPI32.dll"), nullptr);
  EXPECT_EQ(DynamicLibrary::Load(""), nullptr);
}

void CALLBACK IgnoreLineEvent(DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

// The binding's wrappers reach the system's library: its answer is TAPI's own (success, or a
// LINEERR_ value with the top bit set), never the binding's codes for a missing library or
// entry.
TEST(Win32DynamicLibraryTest, BindingCallsTheSystemsTapi) {
  HLINEAPP app = 0;
  DWORD devices = 0;
  const LONG result = tapi::lineInitialize(&app, GetModuleHandleA(nullptr), &IgnoreLineEvent,
                                           "telvane test", &devices);
  EXPECT_TRUE(result == 0 || (static_cast<DWORD>(result) & 0xFFFF0000u) == 0x80000000u) << result;
  if (result == 0 && app != 0) {
    EXPECT_EQ(tapi::lineShutdown(app), 0);
  }
  UnbindTapi();
}

}  // namespace
}  // namespace telvane::platform
