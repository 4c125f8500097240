// The sound a simulated line's callee heard: the recorder that writes it to a WAV file, and
// the file name of each call's recording.
//
//   WavRecorder recorder;
//   if (recorder.Open(RecordPath("heard-%n-%c.wav", "5551234", 1))) recorder.Append(samples, n);
//
// Not thread-safe: each recorder belongs to one call.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

namespace telvane::linesvc {

// A 16-bit 8 kHz mono WAV file written as the sound comes: the sizes in its header are
// brought up to date after every append, so the file is complete whenever it is read.
class WavRecorder {
 public:
  bool Open(const std::string& path);
  bool IsOpen() const { return file_.is_open(); }
  void Append(const int16_t* samples, size_t count);
  void Close() { file_.close(); }

 private:
  std::ofstream file_;
  uint32_t data_bytes_ = 0;
};

// The record file name of a call: %n becomes the dialled number (characters other than
// digits, letters, '*', '#' and '+' become '_'), %c the line's call counter, %% a '%'.
std::string RecordPath(const std::string& pattern, const std::string& number, uint64_t call);

}  // namespace telvane::linesvc
