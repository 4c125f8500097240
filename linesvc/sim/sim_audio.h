// The sound path of a simulated line: its output on the line-audio timeline (line_audio.h),
// which tells the line's call what the callee hears, and the recorder of what was heard.
//
//   auto audio = std::make_shared<SimLineAudio>();
//   auto device = LineAudioDevice::Register(wave_id, name, LinePacing::WholeWrites(), audio,
//                                           &error);
//   audio->SetListener(&call);                             // the call that hears
//   ... the application opens wave device `wave_id` and plays into it ...
//
// Each write reaches the line whole as it starts being heard; the line tells the listener
// when it starts, ends or is cut short. A listener that is not connected hears nothing, but
// the sound is paced anyway.
//
// Threads: loop thread only.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>

#include "linesvc/line_audio.h"

namespace telvane::linesvc {

// The callee's ear: the current call of the line.
class SimListener {
 public:
  // A write starts being heard now. Returns false when the callee cannot hear it.
  virtual bool OnPlayStart(const LinePlay& play) = 0;
  // The write has been heard to its end.
  virtual void OnPlayEnd(uint64_t id) = 0;
  // The write was cut short now (a reset).
  virtual void OnPlayCut(uint64_t id) = 0;

 protected:
  ~SimListener() = default;
};

class SimLineAudio final : public LineAudioOutput {
 public:
  // The call that hears from now on; null for none.
  void SetListener(SimListener* listener) { listener_ = listener; }
  // Forgets the listener if it is still this one.
  void RemoveListener(const SimListener* listener);
  // Where the line notes sound that nobody heard; empty for nowhere.
  void SetLog(std::function<void(std::string_view)> log) { log_ = std::move(log); }

  void Send(const LinePlay& play, size_t from, size_t count) override;
  void Ended(const LinePlay& play) override;
  void Cut(const LinePlay& play) override;

 private:
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
  std::ofstream file_;
  uint32_t data_bytes_ = 0;
};

// The record file name of a call: %n becomes the dialled number (characters other than
// digits, letters, '*', '#' and '+' become '_'), %c the line's call counter, %% a '%'.
std::string RecordPath(const std::string& pattern, const std::string& number, uint64_t call);

}  // namespace telvane::linesvc
