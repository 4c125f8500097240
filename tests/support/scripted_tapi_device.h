// A line device that stands in for the telephony system in tests.
//
// It lists the lines it is given, answers the voice check from their voice flag, and plays
// each call from a script: what happens at which time after the dial (connect, busy,
// failure, remote hang-up) and which keys the listener presses at which time after the
// answer. Playbacks last as long as the test says per file. Every event reaches the device's
// handlers through the thread's message loop, at its time on the loop's clock, exactly as
// the real device delivers them: statuses and digits from the telephony callback, connect
// and failure deferred behind them, wave notifications from the wave output.
//
// Loop thread only; the test fixture owns the loop (normally on the virtual clock).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "telephony/tapi_device.h"

namespace telvane::testing {

struct ScriptedLine {
  std::string name;
  bool voice = true;
};

// How one dialled call goes; times in milliseconds.
struct CallScript {
  std::optional<int64_t> connect_after;        // from the dial
  std::optional<int64_t> busy_after;           // from the dial
  std::optional<int64_t> fail_after;           // from the dial; FailureCode becomes fail_code
  int32_t fail_code = 0x40;                    // LINEDISCONNECTMODE_NOANSWER
  bool fail_with_status = true;                // a disconnected status goes before the failure
  std::optional<int64_t> hangup_after;         // from the answer: the remote side hangs up
  std::vector<std::pair<int64_t, char>> keys;  // from the answer
  bool refuse_dial = false;                    // Dial raises at once
  // Plays of this call whose start fails (0 = the first PlayWaveFile of the call).
  std::vector<int> failing_plays;
};

// One playback as the device saw it.
struct PlayRecord {
  std::string file_name;
  int64_t started_ms = 0;
  std::optional<int64_t> ended_ms;
  bool stopped = false;
};

class ScriptedTapiDevice : public TApdTapiDevice {
 public:
  explicit ScriptedTapiDevice(std::vector<ScriptedLine> lines);
  ~ScriptedTapiDevice() override;

  // Scripts for the coming dials, one per Dial in order; the last one repeats.
  void AddCall(CallScript script) { scripts_.push_back(std::move(script)); }
  // How long a play of the file lasts (default 2000 ms).
  void SetWaveLength(const std::string& file_name, int64_t ms) { wave_lengths_[file_name] = ms; }

  void Dial(const std::string& number) override;
  bool CancelCall() override;
  void PlayWaveFile(const std::string& file_name) override;
  void StopWaveFile() override;

  // A journal that outlives the device: "cancel" per CancelCall, "destroyed" at the end.
  void SetJournal(std::shared_ptr<std::vector<std::string>> journal) {
    journal_ = std::move(journal);
  }

  const std::vector<std::string>& Dialled() const { return dialled_; }
  const std::vector<PlayRecord>& Plays() const { return plays_; }
  int CancelCount() const { return cancel_count_; }
  int VoiceChecks() const { return voice_checks_; }

 protected:
  void CheckVoiceSupport() override;

 private:
  // Queues an event for this device; it is dropped if the device is gone by then.
  void Post(std::function<void()> event);
  void Schedule(int64_t delay_ms, std::function<void()> event);
  std::function<void()> WhileAlive(std::function<void()> event);
  void CancelScheduled();
  void Status(int32_t state, int32_t param2);
  void Connect();
  void RemoteDigit(char digit);
  void WaveNotify(TWaveMessage msg);
  void FinishPlay(bool stopped);
  platform::MessageLoop& Loop() { return *platform::MessageLoop::Current(); }

  std::vector<ScriptedLine> lines_;
  std::deque<CallScript> scripts_;
  CallScript current_;
  std::map<std::string, int64_t> wave_lengths_;
  std::vector<platform::TaskId> scheduled_;
  std::optional<platform::TaskId> play_end_;
  bool playing_ = false;
  bool wave_open_ = false;  // from a play's start until its close is reported
  bool call_connected_ = false;
  int plays_in_call_ = 0;
  std::vector<std::string> dialled_;
  std::vector<PlayRecord> plays_;
  int cancel_count_ = 0;
  int voice_checks_ = 0;
  std::shared_ptr<std::vector<std::string>> journal_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace telvane::testing
