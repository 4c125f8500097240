#include "tests/support/heard_log.h"

#include <algorithm>
#include <fstream>
#include <regex>
#include <stdexcept>

#include "tests/support/wave_files.h"

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
      plays.push_back({position, 0, false, buffer.from_ms, {}});
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

std::ostream& operator<<(std::ostream& out, const NamedPlay& play) {
  return out << play.file << (play.whole ? " whole" : " cut") << (play.seamless ? "" : " gappy");
}

std::vector<NamedPlay> HeardFiles(const std::filesystem::path& log,
                                  const std::filesystem::path& recording,
                                  const std::map<std::string, std::vector<int16_t>>& files) {
  const std::vector<int16_t> heard = testing_wave::ReadRecording(recording);
  std::vector<NamedPlay> named;
  size_t position = 0;
  for (const HeardPlay& play : HeardPlays(ReadHeardBuffers(log, recording))) {
    NamedPlay name{"?", false,
                   std::all_of(play.gaps_ms.begin(), play.gaps_ms.end(),
                               [](int64_t gap) { return gap == 0; })};
    for (const auto& [file, samples] : files) {
      if (play.length <= samples.size() && play.start + play.length <= heard.size() &&
          std::equal(samples.begin(), samples.begin() + static_cast<long>(play.length),
                     heard.begin() + static_cast<long>(play.start))) {
        name.file = file;
        name.whole = !play.cut && play.length == samples.size();
      }
    }
    named.push_back(name);
    position = play.start + play.length;
  }
  if (position != heard.size()) {
    throw std::runtime_error("the event log and " + recording.string() +
                             " disagree about what was heard");
  }
  return named;
}

}  // namespace telvane::testing
