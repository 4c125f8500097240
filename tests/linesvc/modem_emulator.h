// A voice modem on a pseudo-terminal, for the modem driver's tests and for anyone who wants to
// watch the driver work without hardware. It answers AT commands as a V.253 modem (answering a
// call with OK, DTMF as start/digit/end events), as an IS-101 modem (VCON, one code per key,
// stricter about commands), or as an old "#"-command modem; it plays out the sound it is sent
// at 8000 samples per second, records what was played, and follows a script: the call's
// outcome, keys pressed after so much sound, a remote hang-up, a modem that stops answering,
// a port that disappears.
//
//   ModemEmulator::Script script;
//   script.keys = {{1000, '5'}};          // key 5 once a second of sound has been played
//   ModemEmulator modem(script);
//   ... a lines file with device = modem.Path() ...
//   modem.WriteRecording("heard.wav");
//
// Threads: the emulator runs on a thread of its own; every member is thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace telvane::linesvc {

class ModemEmulator {
 public:
  enum class Dialect { kV253, kIs101, kHash };
  enum class Outcome { kAnswer, kBusy, kNoDialTone, kNoAnswer, kError, kSilent };
  struct Script {
    Dialect dialect = Dialect::kV253;
    bool voice = true;  // false: a data-only modem
    Outcome outcome = Outcome::kAnswer;
    int answer_ms = 200;                     // from the dial command to its result
    std::vector<std::pair<int, char>> keys;  // (ms of sound played since the answer, key)
    std::optional<int> hangup_ms;            // the remote side hangs up after this much sound
    std::string mute_at;    // from the first command starting with this, nothing is answered
    std::string vanish_at;  // at the first command starting with this, the port disappears
  };

  explicit ModemEmulator(Script script);
  ~ModemEmulator();
  ModemEmulator(const ModemEmulator&) = delete;
  ModemEmulator& operator=(const ModemEmulator&) = delete;

  // The device path of the modem (the pseudo-terminal's slave); empty if none could be made.
  const std::string& Path() const { return path_; }
  // The command lines received, in order.
  std::vector<std::string> Commands() const;
  // The sound played to the line so far, 16-bit 8 kHz.
  std::vector<int16_t> Recording() const;
  bool WriteRecording(const std::string& path) const;
  bool OffHook() const { return off_hook_; }
  // The number of DLE CAN (sound aborts) received.
  int Aborts() const { return aborts_; }

 private:
  void Run();
  void OnBytes(const char* data, size_t size);
  void OnCommand(const std::string& command);
  std::string Answer(const std::string& command);
  void OnTransmitByte(char c);
  void PlayOut(int64_t now_us, bool all);
  void Emit(const std::string& bytes);
  void Result(const std::string& line) { Emit("\r\n" + line + "\r\n"); }
  void Event(char event);
  void SendKey(char key);
  void Tick(int64_t now_us);

  const Script script_;
  std::string path_;
  int master_ = -1;
  int slave_ = -1;  // held open so the master never sees a hang-up between the driver's opens
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> off_hook_{false};
  std::atomic<int> aborts_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> commands_;
  std::vector<int16_t> recording_;

  // Emulator thread only.
  std::string line_;
  bool muted_ = false;
  bool voice_class_ = false;
  int coding_ = 0;  // a ModemCoding value
  bool transmit_ = false;
  bool after_dle_ = false;
  std::string partial_;          // an incomplete 16-bit sample
  std::vector<int16_t> buffer_;  // received, not yet played
  int64_t play_clock_us_ = -1;   // played up to here
  int64_t dial_due_us_ = -1;
  bool connected_ = false;
  size_t heard_ = 0;  // samples played since the answer
  size_t next_key_ = 0;
  bool hung_up_ = false;
};

}  // namespace telvane::linesvc
