// Sound to the modem: the transmission's start, the shielded bytes, stop and end.
#include "linesvc/modem/modem_sound.h"

#include <utility>

#include "platform/wave_devices.h"

namespace telvane::linesvc {

ModemSound::ModemSound(Owner& owner, ModemDialogue& dialogue, platform::MessageLoop& loop,
                       CallSink& sink, ModemDialogue::PortGetter port, const ModemCaps& caps,
                       int timeout_ms)
    : owner_(owner),
      dialogue_(dialogue),
      sink_(sink),
      port_(std::move(port)),
      caps_(caps),
      timeout_ms_(timeout_ms),
      retry_(loop) {}

void ModemSound::SetRate(int rate) {
  to_modem_rate_.reset();
  if (rate == static_cast<int>(platform::kLineSampleRate)) return;
  to_modem_rate_ = platform::RateConverter::Create(platform::kLineSampleRate, rate);
  sink_.OnEvent("modem: plays at " + std::to_string(rate) + " Hz; the sound is converted to it");
}

void ModemSound::Send(std::span<const int16_t> samples) {
  if (!owner_.Hears()) return;
  if (to_modem_rate_) {
    SendAtModemRate(to_modem_rate_->Convert(samples));
  } else {
    SendAtModemRate(samples);
  }
}

void ModemSound::Drain() {
  if (!owner_.Hears() || !to_modem_rate_) return;
  const std::vector<int16_t> held = to_modem_rate_->Drain();
  if (!held.empty()) SendAtModemRate(held);
}

void ModemSound::SendAtModemRate(std::span<const int16_t> samples) {
  out_ += Shield(Encode(samples, *caps_.codec.coding));
  switch (transmit_) {
    case Transmit::kOff:
      StartTransmit();
      return;
    case Transmit::kOn:
      Flush();
      return;
    default:
      return;  // sent once the modem is ready
  }
}

void ModemSound::StartTransmit() {
  if (dialogue_.Busy()) return;  // tried again with the next sound
  transmit_ = Transmit::kStarting;
  const bool hash = caps_.set == CommandSet::kHash;
  dialogue_.Command(hash ? "AT#VTX" : "AT+VTX", timeout_ms_,
                    [this, hash](std::optional<ModemResult> result) {
                      // Old "#" manuals answer OK instead of CONNECT.
                      if (result == ModemResult::kConnect || (hash && result == ModemResult::kOk)) {
                        transmit_ = Transmit::kOn;
                        pair_open_ = false;
                        if (owner_.Resume()) {
                          Flush();
                          owner_.OnTransmitting();
                        }
                        return;
                      }
                      transmit_ = Transmit::kOff;
                      out_.clear();
                      if (owner_.Resume()) {
                        owner_.CannotCarrySound(result ? "the modem refuses to send sound"
                                                       : "the modem does not start the sound");
                      }
                    });
}

void ModemSound::Flush() {
  retry_.Stop();
  SerialPort* port = port_();
  if (port == nullptr || out_.empty()) return;
  const long written = port->Write(out_);
  if (written < 0) return;  // the reader tells the call the port is gone
  for (long i = 0; i < written; ++i) {
    const bool dle = out_[static_cast<size_t>(i)] == kDle;
    pair_open_ = pair_open_ ? false : dle;
  }
  out_.erase(0, static_cast<size_t>(written));
  if (!out_.empty()) {
    // The port is full for now: try again shortly.
    retry_.Start(5, [this] { Flush(); });
  }
}

void ModemSound::Abort() {
  out_.clear();
  if (to_modem_rate_) to_modem_rate_->Reset();
  if (transmit_ != Transmit::kOn) return;  // nothing reached the modem yet
  SerialPort* port = port_();
  if (port == nullptr) return;
  // Drop what the port still holds; the NUL makes a half-sent DLE pair a harmless DLE NUL;
  // DLE CAN clears the modem's buffer and DLE ETX ends the transmission.
  port->DiscardOutput();
  transmit_ = Transmit::kStopping;
  dialogue_.Send(std::string("\0", 1) + kDle + kCan + kDle + kEtx, "sound stop", timeout_ms_,
                 [this](std::optional<ModemResult>) { OnStopped(); });
}

void ModemSound::OnStopped() {
  transmit_ = Transmit::kOff;
  if (!owner_.Resume()) return;
  if (!out_.empty() && owner_.Hears()) StartTransmit();
}

void ModemSound::End(std::function<void()> done) {
  out_.clear();
  if (to_modem_rate_) to_modem_rate_->Reset();
  if (transmit_ != Transmit::kOn && transmit_ != Transmit::kStarting) {
    done();
    return;
  }
  // The sound still in the modem plays out; then the modem answers.
  const std::string end = (pair_open_ ? std::string("\0", 1) : std::string()) + kDle + kEtx;
  transmit_ = Transmit::kStopping;
  dialogue_.Send(end, "end of sound", timeout_ms_,
                 [this, done = std::move(done)](std::optional<ModemResult>) {
                   transmit_ = Transmit::kOff;
                   done();
                 });
}

void ModemSound::OnPortGone() {
  transmit_ = Transmit::kOff;
  out_.clear();
}

}  // namespace telvane::linesvc
