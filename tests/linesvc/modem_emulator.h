// A voice modem on a pseudo-terminal, for the modem driver's tests and for anyone who wants to
// watch the driver work without hardware. It answers AT commands in the dialects of real
// modems, as their AT command references and published logs show them:
// - V.253 (USRobotics/Conexant): a call answered with OK, DTMF as start/digit/end events;
// - IS-101: VCON, one code per key, stricter about commands;
// - an old "#"-command modem;
// - Lucent/Agere: plain ATI refused, a +VSM=? list of three fields per codec with the width
//   only in the name, OK when off hook, keys as a plain DLE digit, +VLS=? with blanks and
//   nine-digit masks;
// - Rockwell "#" set: fax classes only under +FCLASS=?, its voice class under #CLS=?, 7200
//   samples per second only (#VSR), CONNECT on #VTX and VCON after the sound.
// It plays out the sound it is sent at the rate it was set to, records what was played (at
// that rate), and follows a script: the call's outcome, keys pressed after so much sound, a
// remote hang-up, a modem that stops answering, a port that disappears.
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
  enum class Dialect { kV253, kIs101, kHash, kLucent, kRockwell };
  enum class Outcome { kAnswer, kBusy, kNoDialTone, kNoAnswer, kError, kSilent };
  struct Script {
    Dialect dialect = Dialect::kV253;
    bool voice = true;  // false: a data-only modem
    Outcome outcome = Outcome::kAnswer;
    int answer_ms = 200;                     // from the dial command to its result
    std::vector<std::pair<int, char>> keys;  // (ms of sound played since the answer, key)
    std::optional<int> hangup_ms;            // the remote side hangs up after this much sound
    std::string mute_at;    // from the first command starting with this, nothing is answered
    std::string ignore;     // commands starting with this are ignored; others are answered
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
  // The sound played to the line so far, 16-bit, at the rate the modem was set to (RateHz).
  std::vector<int16_t> Recording() const;
  int RateHz() const { return rate_; }
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
  std::string VoiceAnswer(const std::string& body);
  std::string HashAnswer(const std::string& body);
  std::string SelectCodec(const std::string& args);
  // The call is up, or the sound has played out: OK on V.253 modems, VCON on the others.
  std::string VoiceUp() const;
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
  std::atomic<int> rate_{8000};  // samples per second the modem plays
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
  int64_t play_clock_us_ = -1;   // when the sound being played out started
  int64_t played_ = 0;           // samples played out since then
  int64_t dial_due_us_ = -1;
  bool connected_ = false;
  size_t heard_ = 0;  // samples played since the answer
  size_t next_key_ = 0;
  bool hung_up_ = false;
};

}  // namespace telvane::linesvc
