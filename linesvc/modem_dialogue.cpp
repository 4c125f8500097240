// One command at a time to the modem, each answered or timed out.
#include "linesvc/modem_dialogue.h"

#include <utility>

namespace telvane::linesvc {

ModemDialogue::ModemDialogue(platform::MessageLoop& loop, CallSink& sink, PortGetter port)
    : loop_(loop), sink_(sink), port_(std::move(port)) {}

ModemDialogue::~ModemDialogue() {
  if (pending_ && pending_->timer != 0) loop_.CancelDelayedTask(pending_->timer);
}

void ModemDialogue::Send(const std::string& bytes, const std::string& what, int timeout_ms,
                         Done done) {
  SerialPort* port = port_();
  if (port == nullptr || port->Write(bytes) != static_cast<long>(bytes.size())) {
    sink_.OnEvent("modem: " + what + " could not be sent");
    std::weak_ptr<char> alive = alive_;
    loop_.PostTask([alive, done = std::move(done)] {
      if (alive.lock()) done(std::nullopt);
    });
    return;
  }
  std::weak_ptr<char> alive = alive_;
  pending_ = Pending{what, std::move(done), 0};
  pending_->timer = loop_.PostDelayedTask(timeout_ms, [this, alive] {
    if (!alive.lock() || !pending_) return;
    pending_->timer = 0;
    sink_.OnEvent("modem: no answer to " + pending_->what);
    Complete(std::nullopt);
  });
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
  if (finished.timer != 0) loop_.CancelDelayedTask(finished.timer);
  finished.done(result);
}

}  // namespace telvane::linesvc
