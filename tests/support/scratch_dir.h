// A directory of one test's (or one benchmark run's) own under the system's temporary
// directory: made empty when created, removed with everything in it when destroyed. Tests
// run in parallel, so each names its directory after itself and the process.
//
//   ScratchDir dir = ScratchDir::ForCurrentTest();
//   const std::string lines = dir.Write("lines.ini", SimLines().Line("Sim").Text());
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace telvane::testing {

class ScratchDir {
 public:
  // <temp>/telvane_<label>_<process id>.
  explicit ScratchDir(std::string_view label);
  // Named after the GoogleTest test that is running.
  static ScratchDir ForCurrentTest();
  ~ScratchDir();
  ScratchDir(ScratchDir&& other) noexcept;
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ScratchDir& operator=(ScratchDir&&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }
  // Writes a file (bytes as given) and returns its full path.
  std::string Write(std::string_view name, std::string_view content) const;

 private:
  std::filesystem::path path_;
};

// Sets (or with an empty value, still sets) an environment variable of this process.
void SetEnvironment(const std::string& name, const std::string& value);
void UnsetEnvironment(const std::string& name);

}  // namespace telvane::testing
