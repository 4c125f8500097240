// What the callee heard, read back from the telephony service's event log: the simulated
// line notes each buffer it plays ("audio: buffer of N samples [cut after K,] heard from A to
// B ms, no gap"), and each call's recording ("audio: recording to PATH").
//
//   for (const HeardPlay& play : HeardPlays(ReadHeardBuffers(log, recording))) { ... }
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace telvane::testing {

// The size of the line device's play buffers: a play ends with a shorter or a cut buffer.
inline constexpr size_t kFullPlayBuffer = 24000;

struct HeardBuffer {
  size_t size = 0;   // samples written
  size_t heard = 0;  // samples heard: all, or those before a cut
  bool cut = false;
  int64_t from_ms = 0;
  int64_t to_ms = 0;
};

// The buffers of the log in order; with a recording named, only those of its call.
std::vector<HeardBuffer> ReadHeardBuffers(const std::filesystem::path& log,
                                          const std::filesystem::path& recording = {});

// One play of a file as the line heard it: consecutive buffers up to a short or cut one.
struct HeardPlay {
  size_t start = 0;   // samples heard before it in the buffers given
  size_t length = 0;  // samples heard of it
  bool cut = false;
  int64_t from_ms = 0;           // when its first sample was heard
  std::vector<int64_t> gaps_ms;  // between its buffers, one per buffer after the first
};
std::vector<HeardPlay> HeardPlays(const std::vector<HeardBuffer>& buffers);

// A play of one call named by the file whose beginning the call's recording holds at its
// place ("?" when none of the files given), whether it was heard whole, and whether its
// buffers followed each other without a gap.
struct NamedPlay {
  std::string file;
  bool whole = false;
  bool seamless = true;
  bool operator==(const NamedPlay&) const = default;
};
std::ostream& operator<<(std::ostream& out, const NamedPlay& play);

// The plays of the call whose recording is given, named among `files` (name: samples).
// Throws when the log and the recording disagree about how much was heard.
std::vector<NamedPlay> HeardFiles(const std::filesystem::path& log,
                                  const std::filesystem::path& recording,
                                  const std::map<std::string, std::vector<int16_t>>& files);

}  // namespace telvane::testing
