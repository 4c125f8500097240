#include "platform/app_registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/errors.h"

namespace telvane::platform {
namespace {

namespace fs = std::filesystem;

// Sets or clears an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Set(value);
  }
  ~ScopedEnv() { Set(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  void Set(const std::optional<std::string>& value) {
    if (value) {
      setenv(name_, value->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

int Mode(const fs::path& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return -1;
  return static_cast<int>(info.st_mode & 07777);
}

std::vector<std::string> Sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

// The identifier of a process that has run and ended.
uint32_t EndedProcessId() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  int status = 0;
  waitpid(child, &status, 0);
  return static_cast<uint32_t>(child);
}

// Every test gets a store in a scratch directory that does not exist yet, two levels deep.
class LineAppRegistryTest : public testing::Test {
 protected:
  LineAppRegistryTest()
      : scratch_(fs::temp_directory_path() / ("telvane_registry_" + std::to_string(getpid()))),
        store_(scratch_ / "state" / "tapi"),
        state_dir_("TELVANE_STATE_DIR", store_.string()) {}
  ~LineAppRegistryTest() override {
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
  }

  void Put(LineAppRegistry& registry, const std::string& name, const std::string& value) {
    ASSERT_TRUE(registry.Write(name, value)) << name;
  }

  fs::path scratch_;
  fs::path store_;
  ScopedEnv state_dir_;
};

// A missing store is made with its missing parents, usable by its owner alone, even under a
// umask that would take the owner's rights away.
TEST_F(LineAppRegistryTest, MissingStoreIsCreatedPrivateWithItsParents) {
  const mode_t old_umask = umask(0277);
  LineAppRegistry registry;
  umask(old_umask);
  EXPECT_EQ(registry.Location(), store_.string());
  EXPECT_TRUE(fs::is_directory(store_));
  EXPECT_EQ(Mode(store_), 0700);
  EXPECT_EQ(Mode(store_.parent_path()), 0700);
  EXPECT_TRUE(registry.Write("$00000001", "1"));
}

// Values are written, read back by a later opening of the store, replaced and deleted, with
// no temporary files left behind.
TEST_F(LineAppRegistryTest, ValuesAreWrittenReadReplacedAndDeleted) {
  LineAppRegistry writer;
  EXPECT_TRUE(writer.Write("$0000ABCD", "123"));
  EXPECT_TRUE(writer.Write("$0000ABCD", "7"));

  LineAppRegistry reader;
  EXPECT_EQ(reader.Read("$0000ABCD"), "7");
  EXPECT_EQ(reader.ValueNames(), std::vector<std::string>{"$0000ABCD"});
  EXPECT_EQ(std::distance(fs::directory_iterator(store_), fs::directory_iterator()), 1);

  EXPECT_TRUE(reader.Delete("$0000ABCD"));
  EXPECT_EQ(reader.Read("$0000ABCD"), std::nullopt);
  EXPECT_FALSE(reader.Delete("$0000ABCD"));
  EXPECT_TRUE(reader.ValueNames().empty());
}

// No name reaches outside the store, and entries that are no plain files are no values.
TEST_F(LineAppRegistryTest, NamesThatAreNoPlainValueNamesAreRefused) {
  LineAppRegistry registry;
  const fs::path outside = store_.parent_path() / "secret";
  std::ofstream(outside) << "keep";

  EXPECT_FALSE(registry.Write("../secret", "x"));
  EXPECT_EQ(registry.Read("../secret"), std::nullopt);
  EXPECT_FALSE(registry.Delete("../secret"));
  EXPECT_TRUE(fs::exists(outside));
  for (const std::string& name :
       {std::string("a/b"), std::string("."), std::string(".."), std::string(""),
        std::string(".hidden"), std::string("a\0b", 3)}) {
    EXPECT_FALSE(registry.Write(name, "x")) << name;
  }

  fs::create_directory(store_ / "$00000001");
  std::ofstream(store_ / ".$00000002.1.1.tmp") << "5";
  ASSERT_EQ(mkfifo((store_ / "$00000003").c_str(), 0600), 0);
  EXPECT_TRUE(registry.ValueNames().empty());
  EXPECT_EQ(registry.Read("$00000001"), std::nullopt);
  EXPECT_EQ(registry.Read("$00000003"), std::nullopt);  // and does not wait for a writer
}

// Without TELVANE_STATE_DIR the store is in the XDG state directory when that is an absolute
// path, else under the home directory.
TEST_F(LineAppRegistryTest, StoreLocationFollowsTheEnvironment) {
  state_dir_.Set(std::nullopt);
  ScopedEnv xdg("XDG_STATE_HOME", (scratch_ / "xdg").string());
  ScopedEnv home("HOME", (scratch_ / "home").string());

  EXPECT_EQ(LineAppRegistry().Location(), (scratch_ / "xdg" / "telvane" / "tapi").string());
  EXPECT_TRUE(fs::is_directory(scratch_ / "xdg" / "telvane" / "tapi"));

  xdg.Set("relative/state");
  const fs::path under_home = scratch_ / "home" / ".local" / "state" / "telvane" / "tapi";
  EXPECT_EQ(LineAppRegistry().Location(), under_home.string());
  xdg.Set(std::nullopt);
  EXPECT_EQ(LineAppRegistry().Location(), under_home.string());
  EXPECT_TRUE(fs::is_directory(under_home));
}

// Live processes are told from ended ones; numbers that kill() would read as process groups
// name no process.
TEST(LineAppProcessTest, ProcessRunningTellsLiveFromEnded) {
  EXPECT_TRUE(LineAppRegistry::ProcessRunning(LineAppRegistry::CurrentProcessId()));
  EXPECT_TRUE(LineAppRegistry::ProcessRunning(1));  // never ended; maybe not ours to signal
  EXPECT_FALSE(LineAppRegistry::ProcessRunning(EndedProcessId()));
  EXPECT_FALSE(LineAppRegistry::ProcessRunning(0));
  EXPECT_FALSE(LineAppRegistry::ProcessRunning(0xFFFFFFFF));
  EXPECT_FALSE(LineAppRegistry::ProcessRunning(0x80000000));
}

// The sweep ends and forgets the line applications of ended processes, whatever the form of
// their names, and leaves those of running processes alone.
TEST_F(LineAppRegistryTest, SweepEndsAndForgetsOnlyEndedProcesses) {
  EXPECT_EQ(LineAppValueName(0x1A2B), "$00001A2B");
  const uint32_t self = LineAppRegistry::CurrentProcessId();
  const uint32_t parent = static_cast<uint32_t>(getppid());
  const uint32_t ended_upper = EndedProcessId();
  const uint32_t ended_lower = EndedProcessId();
  const uint32_t ended_decimal = EndedProcessId();
  char lower_name[16];
  std::snprintf(lower_name, sizeof lower_name, "$%x", static_cast<unsigned>(ended_lower));

  LineAppRegistry registry;
  Put(registry, LineAppValueName(self), "5");
  Put(registry, std::to_string(parent), "6");
  Put(registry, LineAppValueName(ended_upper), "17");
  Put(registry, lower_name, "not a handle");
  Put(registry, std::to_string(ended_decimal), " 99\n");

  std::vector<uint32_t> ended_handles;
  SweepStaleLineApps(registry, [&](uint32_t handle) { ended_handles.push_back(handle); });

  std::sort(ended_handles.begin(), ended_handles.end());
  EXPECT_EQ(ended_handles, (std::vector<uint32_t>{0, 17, 99}));
  EXPECT_EQ(Sorted(registry.ValueNames()),
            Sorted({LineAppValueName(self), std::to_string(parent)}));
  EXPECT_EQ(registry.Read(LineAppValueName(self)), "5");
  EXPECT_EQ(registry.Read(std::to_string(parent)), "6");
}

// Values whose names are no process identifiers are deleted without ending anything.
TEST_F(LineAppRegistryTest, SweepDeletesNamesThatAreNoProcessWithoutShutdown) {
  LineAppRegistry registry;
  for (const char* name : {"$", "$XYZ", "12ab", "$123456789", "99999999999", "telvane"}) {
    Put(registry, name, "42");
  }

  int shutdowns = 0;
  SweepStaleLineApps(registry, [&](uint32_t) { ++shutdowns; });

  EXPECT_EQ(shutdowns, 0);
  EXPECT_TRUE(registry.ValueNames().empty());
}

// An orphan whose shutdown fails is forgotten all the same, and the sweep goes on.
TEST_F(LineAppRegistryTest, SweepCarriesOnWhenAShutdownFails) {
  LineAppRegistry registry;
  Put(registry, LineAppValueName(EndedProcessId()), "1");
  Put(registry, LineAppValueName(EndedProcessId()), "2");

  int shutdowns = 0;
  SweepStaleLineApps(registry, [&](uint32_t) {
    ++shutdowns;
    throw EAPDException(ecTapiLoadFail);
  });

  EXPECT_EQ(shutdowns, 2);
  EXPECT_TRUE(registry.ValueNames().empty());
}

}  // namespace
}  // namespace telvane::platform
