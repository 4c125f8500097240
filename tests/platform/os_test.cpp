#include "platform/os.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/scratch_dir.h"

namespace telvane::platform {
namespace {

namespace fs = std::filesystem;

// The text is the local short date, one blank and the time with seconds; milliseconds are
// dropped, not rounded.
TEST(LocalDateTimeTextTest, DateBlankTimeInLocalZone) {
  const char* old_tz = std::getenv("TZ");
  const std::optional<std::string> saved_tz =
      old_tz ? std::optional<std::string>(old_tz) : std::nullopt;
  const std::string saved_locale = std::setlocale(LC_TIME, nullptr);
  setenv("TZ", "UTC", 1);
  tzset();
  std::setlocale(LC_TIME, "C");

  EXPECT_EQ(LocalDateTimeText(0), "01/01/70 00:00:00");
  EXPECT_EQ(LocalDateTimeText(1'700'000'000'999), "11/14/23 22:13:20");

  setenv("TZ", "EST5", 1);
  tzset();
  EXPECT_EQ(LocalDateTimeText(1'700'000'000'000), "11/14/23 17:13:20");

  if (saved_tz) {
    setenv("TZ", saved_tz->c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  std::setlocale(LC_TIME, saved_locale.c_str());
}

// The executable's path is a full path to an existing file, and its directory part is the
// directory it sits in, with the separator.
TEST(ExecutablePathTest, NamesThisExistingProgram) {
  const std::string path = ExecutablePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.front(), '/');
  EXPECT_TRUE(FileExists(path));
  const std::string dir = ExtractFilePath(path);
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  EXPECT_TRUE(fs::is_directory(dir));
  EXPECT_TRUE(fs::equivalent(path, "/proc/self/exe"));
}

// The directory part keeps its trailing separator; a bare name has none.
TEST(ExtractFilePathTest, KeepsTrailingSeparator) {
  EXPECT_EQ(ExtractFilePath("/opt/telvane/bin/telvane"), "/opt/telvane/bin/");
  EXPECT_EQ(ExtractFilePath("/telvane"), "/");
  EXPECT_EQ(ExtractFilePath("sounds/neterr.wav"), "sounds/");
  EXPECT_EQ(ExtractFilePath("sounds/"), "sounds/");
  EXPECT_EQ(ExtractFilePath("neterr.wav"), "");
  EXPECT_EQ(ExtractFilePath(""), "");
}

class ExpandFileNameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_cwd_ = fs::current_path();
    fs::create_directories(scratch_.Path() / "work");
    fs::current_path(scratch_.Path() / "work");
    cwd_ = fs::current_path().string();
    parent_ = fs::current_path().parent_path().string();
  }
  void TearDown() override { fs::current_path(saved_cwd_); }

  testing::ScratchDir scratch_ = testing::ScratchDir::ForCurrentTest();
  fs::path saved_cwd_;
  std::string cwd_;
  std::string parent_;
};

// Relative paths are resolved against the current directory, whether or not they exist.
TEST_F(ExpandFileNameTest, ResolvesRelativePathsAgainstCurrentDirectory) {
  EXPECT_EQ(ExpandFileName("PressAnyKey.wav"), cwd_ + "/PressAnyKey.wav");
  EXPECT_EQ(ExpandFileName("sounds/neterr.wav"), cwd_ + "/sounds/neterr.wav");
  EXPECT_EQ(ExpandFileName("../neterr.wav"), parent_ + "/neterr.wav");
}

// Dots, double dots and repeated separators are folded away; absolute paths keep their root.
TEST_F(ExpandFileNameTest, NormalisesThePath) {
  EXPECT_EQ(ExpandFileName("./a/../b//c/./d.wav"), cwd_ + "/b/c/d.wav");
  EXPECT_EQ(ExpandFileName("/opt//telvane/./bin/../PressAnyKey.wav"),
            "/opt/telvane/PressAnyKey.wav");
  EXPECT_EQ(ExpandFileName("/../../x.wav"), "/x.wav");
  EXPECT_EQ(ExpandFileName("/opt/telvane/x.wav"), "/opt/telvane/x.wav");
}

// Only files count: directories, missing paths, the empty path and dangling links do not.
TEST(FileExistsTest, TrueOnlyForFiles) {
  const testing::ScratchDir scratch = testing::ScratchDir::ForCurrentTest();
  const std::string file = scratch.Write("neterr.wav", "x");
  const std::string empty_file = scratch.Write("empty.wav", "");
  fs::create_directory(scratch.Path() / "sounds");
  fs::create_symlink(file, scratch.Path() / "link.wav");
  fs::create_symlink(scratch.Path() / "gone.wav", scratch.Path() / "dangling.wav");

  EXPECT_TRUE(FileExists(file));
  EXPECT_TRUE(FileExists(empty_file));
  EXPECT_TRUE(FileExists((scratch.Path() / "link.wav").string()));
  EXPECT_FALSE(FileExists((scratch.Path() / "sounds").string()));
  EXPECT_FALSE(FileExists((scratch.Path() / "sounds/").string()));
  EXPECT_FALSE(FileExists((scratch.Path() / "gone.wav").string()));
  EXPECT_FALSE(FileExists((scratch.Path() / "dangling.wav").string()));
  EXPECT_FALSE(FileExists(file + "/inner.wav"));
  EXPECT_FALSE(FileExists(""));
}

}  // namespace
}  // namespace telvane::platform
