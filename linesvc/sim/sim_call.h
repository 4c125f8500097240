// One call on the simulated line, played from its script (sim_script.h).
//
// Dialling reports the fixed progress (dial tone, dialling, proceeding, ringback) and then the
// scripted outcome; once answered, the keys and the remote hang-up follow at their times, and
// line events at theirs. Every step is a delayed task on the loop of the application that
// placed the call, so on the virtual clock a whole call runs in no real time and the same way
// every time.
//
// While it exists the call is connected to its line's audio path: it hears the line's sound
// while connected, records it, logs each buffer heard, and counts it for the keys and the
// hang-up scripted by heard sound ("heard+N"). Each write reaches it whole as it starts being
// heard; sound it cannot hear (before the answer, after the end) is logged as not heard.
//
// Loop thread only; destroyed on it while the loop lives.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "linesvc/driver.h"
#include "linesvc/line_audio.h"
#include "linesvc/sim/sim_audio.h"
#include "linesvc/sim/sim_script.h"
#include "platform/message_loop.h"
#include "platform/timers.h"

namespace telvane::linesvc {

// The event log's line for a write that nobody on the line heard.
std::string SoundNotHeard(const LinePlay& play);

// The device classes of a simulated line: "wave/out" and "wave/in" (given in lower case).
bool IsSimWaveClass(std::string_view device_class);

// What a call has of its line.
struct SimCallLine {
  DWORD wave_id = 0;
  LineSink* sink = nullptr;        // line events; null while the line is not open
  LineAudioPath* audio = nullptr;  // the line's sound
};

class SimCall final : public DriverCall, private SoundEnd {
 public:
  // `record_path` is where the heard sound goes; empty for nowhere.
  SimCall(const Scenario& scenario, std::string number, const SimCallLine& line,
          platform::MessageLoop& loop, CallSink& sink, std::string record_path);
  ~SimCall() override;

  void Start() override;
  void Drop() override;
  LONG MonitorDigits(DWORD digit_modes) override;
  LONG GetDeviceId(std::string_view device_class, DWORD* id) override;

 private:
  // A key or the hang-up that waits until the callee has heard `at` samples.
  struct HeardEvent {
    uint64_t at = 0;
    std::function<void()> action;
    platform::TaskId task = 0;  // scheduled for the write being heard; 0 when not
    bool done = false;
  };

  void State(DWORD state, DWORD mode);
  void End(DWORD state, DWORD mode);
  void ScheduleProgress();
  void Answer();
  void ScheduleCallEvents(SimTime::Anchor anchor);
  // The remote side's acts; they happen only while the call is connected.
  void PressKey(char digit);
  void HangUpRemotely();
  void ScheduleLineEvents(SimTime::Anchor anchor);

  // What the callee hears.
  void StartRecording();
  void ArmHeardEvents();
  void Send(const LinePlay& play, size_t from, size_t count) override;
  void Ended(const LinePlay& play) override;
  void Cut(const LinePlay& play) override;
  void StopHearing();
  void Heard(uint64_t count);

  const Scenario scenario_;
  const std::string number_;
  const SimCallLine line_;
  platform::MessageLoop& loop_;
  CallSink& sink_;
  const std::string record_path_;
  bool connected_ = false;
  bool ended_ = false;
  int64_t wave_requests_ = 0;  // for the wave device, counted while a refusal is scripted
  std::vector<HeardEvent> heard_events_;
  std::optional<LinePlay> playing_;  // the write being heard
  uint64_t heard_ = 0;               // samples heard in this call
  std::optional<int64_t> last_heard_end_ms_;
  WavRecorder recorder_;
  // Every step of the script, cancelled by a drop and with the call.
  platform::TaskGroup steps_;
};

}  // namespace telvane::linesvc
