#include "tests/support/heard_log.h"

#include <fstream>
#include <regex>

namespace telvane::testing {

std::vector<HeardBuffer> ReadHeardBuffers(const std::filesystem::path& log,
                                          const std::filesystem::path& recording) {
  static const std::regex buffer_line(
      R"(audio: buffer of (\d+) samples(?: cut after (\d+),)? heard from (\d+) to (\d+) ms, )"
      R"((first of the call|no gap|after a gap of \d+ ms))");
  std::ifstream file(log);
  std::string line;
  std::vector<HeardBuffer> buffers;
  // Only the buffers of the recording's call: from its "recording to" line to the next one.
  bool in_call = recording.empty();
  while (std::getline(file, line)) {
    if (!recording.empty() && line.find("audio: recording to ") != std::string::npos) {
      in_call = line.find("audio: recording to " + recording.string()) != std::string::npos;
      continue;
    }
    std::smatch match;
    if (!in_call || !std::regex_search(line, match, buffer_line)) continue;
    HeardBuffer buffer;
    buffer.size = std::stoul(match[1]);
    buffer.cut = match[2].matched;
    buffer.heard = buffer.cut ? std::stoul(match[2]) : buffer.size;
    buffer.from_ms = std::stoll(match[3]);
    buffer.to_ms = std::stoll(match[4]);
    buffers.push_back(buffer);
  }
  return buffers;
}

std::vector<HeardPlay> HeardPlays(const std::vector<HeardBuffer>& buffers) {
  std::vector<HeardPlay> plays;
  bool in_play = false;
  size_t position = 0;
  int64_t last_end_ms = 0;
  for (const HeardBuffer& buffer : buffers) {
    if (!in_play) {
      plays.push_back({position, 0, false, {}});
      in_play = true;
    } else {
      plays.back().gaps_ms.push_back(buffer.from_ms - last_end_ms);
    }
    plays.back().length += buffer.heard;
    position += buffer.heard;
    last_end_ms = buffer.to_ms;
    if (buffer.cut || buffer.size < kFullPlayBuffer) {
      plays.back().cut = buffer.cut;
      in_play = false;
    }
  }
  // A play the log ends in the middle of was cut by the end of the call.
  if (in_play) plays.back().cut = true;
  return plays;
}

}  // namespace telvane::testing
