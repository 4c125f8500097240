// The sound path of a simulated line: the wave-output device that the line registers for its
// calls, paced like a real line, and what the callee hears of it.
//
//   auto audio = SimLineAudio::Create(wave_id, &error);   // registered until destroyed
//   audio->SetListener(&call);                             // the call that hears
//   ... the application opens wave device `wave_id` and plays into it ...
//
// A sink made for an open of the device takes 16-bit 8 kHz mono samples and lets them be
// heard at 8000 samples per second on the clock of the loop that opened it: each write is a
// stretch of the sink's timeline, and its played callback runs, from the loop, when its last
// sample has been heard. A write that arrives by the time the one before it ends continues
// the timeline without a gap. Reset drops what has not been heard; the callbacks of what it
// drops still run, posted. A sink let go while it still holds sound plays it out first, as
// a line plays what was already sent to it. The line tells the listener when each stretch
// starts, ends or is cut short; a listener that is not connected hears nothing, but the
// sound is paced anyway.
//
// Threads: the registry may be asked from any thread; everything else runs on the loop thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/tapi.h"

namespace telvane::linesvc {

// One write as the line plays it.
struct SimPlay {
  uint64_t id = 0;
  std::shared_ptr<const std::vector<int16_t>> samples;
  int64_t base_ms = 0;        // the start of the sink's current timeline
  uint64_t first_sample = 0;  // where samples[0] lies on that timeline

  size_t Size() const { return samples->size(); }
  // The clock time by which the first k samples have been heard (k == Size(): the end).
  int64_t TimeOf(uint64_t k) const;
  // How many samples have been heard by the clock time t, at most Size().
  uint64_t HeardBy(int64_t t) const;
};

// The callee's ear: the current call of the line.
class SimListener {
 public:
  // A write starts being heard now. Returns false when the callee cannot hear it.
  virtual bool OnPlayStart(const SimPlay& play) = 0;
  // The write has been heard to its end.
  virtual void OnPlayEnd(uint64_t id) = 0;
  // The write was cut short now (a reset).
  virtual void OnPlayCut(uint64_t id) = 0;

 protected:
  ~SimListener() = default;
};

class SimLineAudio {
 public:
  // Registers the wave-output device `wave_id`; null with the reason in *error when the
  // number is taken.
  static std::shared_ptr<SimLineAudio> Create(DWORD wave_id, std::string* error);
  ~SimLineAudio();
  SimLineAudio(const SimLineAudio&) = delete;
  SimLineAudio& operator=(const SimLineAudio&) = delete;

  // The call that hears from now on; null for none.
  void SetListener(SimListener* listener) { listener_ = listener; }
  // Forgets the listener if it is still this one.
  void RemoveListener(const SimListener* listener);
  // Where the line notes sound that nobody heard; empty for nowhere.
  void SetLog(std::function<void(std::string_view)> log) { log_ = std::move(log); }

  // Reports of the sinks.
  void PlayStarted(const SimPlay& play);
  void PlayEnded(uint64_t id);
  void PlayCut(uint64_t id);

 private:
  explicit SimLineAudio(DWORD wave_id) : wave_id_(wave_id) {}

  const DWORD wave_id_;
  bool registered_ = true;
  SimListener* listener_ = nullptr;
  std::function<void(std::string_view)> log_;
};

// A 16-bit 8 kHz mono WAV file written as the sound comes: the sizes in its header are
// brought up to date after every append, so the file is complete whenever it is read.
class WavRecorder {
 public:
  bool Open(const std::string& path);
  bool IsOpen() const { return file_.is_open(); }
  void Append(const int16_t* samples, size_t count);
  void Close() { file_.close(); }

 private:
  void WriteSizes();
  std::ofstream file_;
  uint32_t data_bytes_ = 0;
};

// The record file name of a call: %n becomes the dialled number (characters other than
// digits, letters, '*', '#' and '+' become '_'), %c the line's call counter, %% a '%'.
std::string RecordPath(const std::string& pattern, const std::string& number, uint64_t call);

}  // namespace telvane::linesvc
