// One call on a voice modem: the modem is reset and set up for voice, dials, and its result
// lines and DLE events become the call's states; keys pressed become digits; the hang-up ends
// the sound, puts the modem on hook and back in data mode. The commands go through the call's
// dialogue (modem_dialogue.h), the sound through its transmitter (modem_sound.h).
//
// Loop thread only. Destroying a call that is not on hook hangs up at once, without waiting
// for answers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "linesvc/driver.h"
#include "linesvc/line_audio.h"
#include "linesvc/modem/modem_dialogue.h"
#include "linesvc/modem/modem_probe.h"
#include "linesvc/modem/modem_settings.h"
#include "linesvc/modem/modem_sound.h"
#include "linesvc/modem/serial_port.h"
#include "platform/message_loop.h"

namespace telvane::linesvc {

class ModemCall;

// What a call has of its line, the modem driver.
class ModemLine {
 public:
  virtual const ModemSettings& Settings() const = 0;
  virtual const ModemCaps& Caps() const = 0;
  // The port, or null while it does not work.
  virtual SerialPort* Port() = 0;
  // Opens the port again after it failed (a USB modem unplugged and back); 0 or a LINEERR_*.
  virtual LONG ReopenPort(std::string* reason) = 0;
  // The call that hears the modem; null for none.
  virtual void SetCall(ModemCall* call) = 0;
  // The line's sound, which the call carries while it exists.
  virtual LineAudioPath& Audio() = 0;
  virtual LONG GetDeviceId(std::string_view device_class, DWORD* id) = 0;

 protected:
  ~ModemLine() = default;
};

class ModemCall final : public DriverCall, private SoundEnd, private ModemSound::Owner {
 public:
  // `dial` is the number as the modem dials it, prefix included.
  ModemCall(ModemLine& line, std::string dial, platform::MessageLoop& loop, CallSink& sink);
  ~ModemCall() override;

  void Start() override;
  void Drop() override;
  LONG MonitorDigits(DWORD) override { return 0; }
  LONG GetDeviceId(std::string_view device_class, DWORD* id) override;

  // From the driver: what the modem said, and that the port failed.
  void OnLine(const std::string& line);
  void OnModemEvent(char event);
  void OnPortGone(const std::string& reason);

 private:
  // From the line's audio path: sound to send now, and a stop.
  void Send(const LinePlay& play, size_t from, size_t count) override {
    sound_.Send(std::span<const int16_t>(*play.samples).subspan(from, count));
  }
  void RunsDry() override { sound_.Drain(); }
  void Cut(const LinePlay&) override { sound_.Abort(); }
  // Whether the line carries the sound it is given: while the call is connected, only once
  // the modem transmits it. Sound before the answer or after the end goes nowhere, as it
  // always did, rather than wait for a transmission that cannot come.
  bool CarriesSound() const override { return !Hears() || sound_.Transmitting(); }

  enum class Phase { kSetup, kDialing, kConnected, kEnded, kHangingUp, kIdle };
  // One command of the set-up, or several that set the same thing in different words or to
  // different sample rates: each is tried in turn while the modem answers ERROR.
  struct Step {
    struct Try {
      std::string command;
      int rate = 0;  // the sample rate the modem plays at when this command is accepted
    };
    std::vector<Try> tries;
    bool required = true;
  };

  SerialPort* Port() { return line_.Port(); }
  std::vector<Step> SetupSteps() const;
  void RunSetup(size_t index);
  void RunSetupTry(size_t index, size_t attempt);
  void Dial();
  void OnDialAnswer(std::optional<ModemResult> result);
  void State(DWORD state, DWORD mode);
  void End(DWORD state, DWORD mode, const std::string& why);

  void HangUp();
  void HangUpSteps(size_t index);
  void FinishDrop();

  bool Hears() const override { return phase_ == Phase::kConnected && !drop_requested_; }
  bool Resume() override;
  void CannotCarrySound(const std::string& why) override;
  void OnTransmitting() override { line_.Audio().NowCarriesSound(); }

  ModemLine& line_;
  const std::string dial_;
  CallSink& sink_;
  Phase phase_ = Phase::kSetup;
  std::vector<Step> setup_;  // made once as the set-up starts: settings and modem are fixed
  bool ringback_ = false;
  bool drop_requested_ = false;
  DigitTracker digits_;
  ModemDialogue dialogue_;
  ModemSound sound_;
};

}  // namespace telvane::linesvc
