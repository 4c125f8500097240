// What the callee heard, read back from the telephony service's event log: the simulated
// line notes each buffer it plays ("audio: buffer of N samples [cut after K,] heard from A to
// B ms, no gap"), and each call's recording ("audio: recording to PATH").
//
//   for (const HeardPlay& play : HeardPlays(ReadHeardBuffers(log, recording))) { ... }
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
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
  std::vector<int64_t> gaps_ms;  // between its buffers, one per buffer after the first
};
std::vector<HeardPlay> HeardPlays(const std::vector<HeardBuffer>& buffers);

}  // namespace telvane::testing
