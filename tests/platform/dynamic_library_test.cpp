#include "platform/dynamic_library.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/os.h"

namespace telvane::platform {
namespace {

namespace fs = std::filesystem;

// A copy of a library placed beside the test executable for one test, removed afterwards.
class LibraryBesideExecutable {
 public:
  LibraryBesideExecutable(const std::string& source, const std::string& name)
      : path_(ExtractFilePath(ExecutablePath()) + "lib" + name + ".so") {
    fs::copy_file(source, path_, fs::copy_options::overwrite_existing);
  }
  ~LibraryBesideExecutable() {
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  LibraryBesideExecutable(const LibraryBesideExecutable&) = delete;
  LibraryBesideExecutable& operator=(const LibraryBesideExecutable&) = delete;

 private:
  std::string path_;
};

// A bare library name is found as lib<name>.so in the executable's directory, which is not on
// the system's search path.
TEST(DynamicLibraryTest, BareNameIsFoundBesideTheExecutable) {
  const std::string name = "telvane_probe_" + std::to_string(getpid());
  EXPECT_EQ(DynamicLibrary::Load(name), nullptr);

  LibraryBesideExecutable copy(FAKE_TAPI_COMPLETE, name);
  std::unique_ptr<DynamicLibrary> library = DynamicLibrary::Load(name);
  ASSERT_NE(library, nullptr);
  EXPECT_NE(library->Symbol("lineInitialize"), nullptr);
  EXPECT_EQ(library->Symbol("lineNoSuchRequest"), nullptr);
}

// Paths load as given, file names with an extension through the system's search, and what
// cannot be found gives no library.
TEST(DynamicLibraryTest, PathsAndFileNamesLoadAsGiven) {
  std::unique_ptr<DynamicLibrary> by_path = DynamicLibrary::Load(FAKE_TAPI_COMPLETE);
  ASSERT_NE(by_path, nullptr);
  EXPECT_NE(by_path->Symbol("lineGetDevCaps"), nullptr);

  std::unique_ptr<DynamicLibrary> system = DynamicLibrary::Load("libc.so.6");
  ASSERT_NE(system, nullptr);
  EXPECT_NE(system->Symbol("getpid"), nullptr);

  EXPECT_EQ(DynamicLibrary::Load("/nonexistent/libTAPI32.so"), nullptr);
  EXPECT_EQ(DynamicLibrary::Load("telvane_no_such_library"), nullptr);
  EXPECT_EQ(DynamicLibrary::Load(""), nullptr);
}

}  // namespace
}  // namespace telvane::platform
