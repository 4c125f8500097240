// One command at a time to the modem, each answered or timed out.
#include "linesvc/modem/modem_dialogue.h"

#include <utility>

namespace telvane::linesvc {

ModemDialogue::ModemDialogue(platform::MessageLoop& loop, CallSink& sink, PortGetter port)
    : loop_(loop), sink_(sink), port_(std::move(port)), failures_(loop), timeout_(loop) {}

void ModemDialogue::Send(const std::string& bytes, const std::string& what, int timeout_ms,
                         Done done) {
  SerialPort* port = port_();
  if (port == nullptr || port->Write(bytes) != static_cast<long>(bytes.size())) {
    sink_.OnEvent("modem: " + what + " could not be sent");
    failures_.Post([done = std::move(done)] { done(std::nullopt); });
    return;
  }
  pending_ = Pending{what, std::move(done)};
  ArmTimeout(timeout_ms);
}

void ModemDialogue::ArmTimeout(int timeout_ms) {
  pending_->due_ms = loop_.NowMs() + timeout_ms;
  timeout_.Start(timeout_ms, [this] {
    sink_.OnEvent("modem: no answer to " + pending_->what);
    Complete(std::nullopt);
  });
}

void ModemDialogue::Hasten(int timeout_ms) {
  if (!pending_ || pending_->due_ms <= loop_.NowMs() + timeout_ms) return;
  ArmTimeout(timeout_ms);
}

bool ModemDialogue::Waiting(const std::string& prefix) const {
  return pending_ && pending_->what.rfind(prefix, 0) == 0;
}

bool ModemDialogue::OnResult(const std::string& line, ModemResult result) {
  if (!pending_ || !IsFinal(result)) return false;
  sink_.OnEvent("modem: " + pending_->what + " -> " + line);
  Complete(result);
  return true;
}

void ModemDialogue::Complete(std::optional<ModemResult> result) {
  if (!pending_) return;
  Pending finished = std::move(*pending_);
  pending_.reset();
  timeout_.Stop();
  finished.done(result);
}

}  // namespace telvane::linesvc
