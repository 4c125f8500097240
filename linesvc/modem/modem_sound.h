// The call's sound to the modem: a voice transmission started when sound comes (AT+VTX, or
// AT#VTX on the "#" set), the samples at the modem's rate (converted from the line's 8000 Hz
// for a modem that takes only another) in its codec, DLE-shielded, written as fast as the port
// takes them; on a stop the modem's buffer is cleared at once (DLE CAN), before a
// hang-up what it holds plays out (DLE ETX). The line-audio timeline decides when samples
// come; this only carries them.
//
// Loop thread only. Destroying it cancels its retries; it sends nothing more.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "linesvc/driver.h"
#include "linesvc/modem/modem_dialogue.h"
#include "linesvc/modem/modem_probe.h"
#include "platform/message_loop.h"
#include "platform/posix/audio_convert.h"
#include "platform/timers.h"

namespace telvane::linesvc {

class ModemSound {
 public:
  // What the sound asks of its call.
  class Owner {
   public:
    // Whether the callee can hear sound now: the call is connected and no hang-up asked for.
    virtual bool Hears() const = 0;
    // A command of the sound was answered. False when the call takes over instead (a hang-up
    // was asked for meanwhile); the sound then does nothing more.
    virtual bool Resume() = 0;
    // The modem would not start the sound (no answer or a refusal): the line cannot carry it.
    virtual void CannotCarrySound(const std::string& why) = 0;
    // The modem has started sending sound to the line: the callee hears it from now on.
    virtual void OnTransmitting() = 0;

   protected:
    ~Owner() = default;
  };

  ModemSound(Owner& owner, ModemDialogue& dialogue, platform::MessageLoop& loop, CallSink& sink,
             ModemDialogue::PortGetter port, const ModemCaps& caps, int timeout_ms);
  ModemSound(const ModemSound&) = delete;
  ModemSound& operator=(const ModemSound&) = delete;

  // The sample rate the modem was set to play at (8000 until told otherwise).
  void SetRate(int rate);
  // Samples to go to the line now; dropped when nobody hears them.
  void Send(std::span<const int16_t> samples);
  // No more sound follows for now: what the rate conversion still holds goes out too.
  void Drain();
  // Drops at once what the callee has not heard yet.
  void Abort();
  // Drops what is not sent, lets the modem play out what it holds, and runs `done` once the
  // modem is back in command state (at once when it was not transmitting).
  void End(std::function<void()> done);
  // The port failed: nothing is being sent any more.
  void OnPortGone();
  // Whether the modem is sending sound to the line: between its CONNECT (OK on the "#" set)
  // to the command that starts the sound and the end of that sound.
  bool Transmitting() const { return transmit_ == Transmit::kOn; }

 private:
  enum class Transmit { kOff, kStarting, kOn, kStopping };

  // Samples at the modem's rate, encoded and sent (or kept until the modem is ready).
  void SendAtModemRate(std::span<const int16_t> samples);
  void StartTransmit();
  void Flush();
  void OnStopped();

  Owner& owner_;
  ModemDialogue& dialogue_;
  CallSink& sink_;
  const ModemDialogue::PortGetter port_;
  const ModemCaps& caps_;
  const int timeout_ms_;
  Transmit transmit_ = Transmit::kOff;
  std::unique_ptr<platform::RateConverter> to_modem_rate_;  // none at 8000 Hz
  std::string out_;               // shielded bytes not yet taken by the port
  bool pair_open_ = false;        // the bytes sent end with the first DLE of a doubled pair
  platform::OneShotTimer retry_;  // writes the rest when the port had no room
};

}  // namespace telvane::linesvc
