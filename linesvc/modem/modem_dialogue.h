// The call's command dialogue with the modem: one command (or control sequence) at a time,
// its final result line, and a time-out when none comes.
//
//   dialogue.Command("ATH0", 3000, [](std::optional<ModemResult> result) { ... });
//   ... a line from the modem: dialogue.OnResult(line, ClassifyLine(line)) ...
//
// `done` runs once: with the result, or with nullopt when the command could not be sent
// (posted, never inside Command), when no answer came in time, or when the port failed. Every
// exchange is noted in the call's event log.
//
// Loop thread only. Destroying the dialogue cancels its time-out; a `done` pending then never
// runs.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "linesvc/driver.h"
#include "linesvc/modem/modem_protocol.h"
#include "linesvc/modem/serial_port.h"
#include "platform/message_loop.h"
#include "platform/timers.h"

namespace telvane::linesvc {

class ModemDialogue {
 public:
  using Done = std::function<void(std::optional<ModemResult>)>;
  // The port, or null while the line has none that works.
  using PortGetter = std::function<SerialPort*()>;

  ModemDialogue(platform::MessageLoop& loop, CallSink& sink, PortGetter port);
  ModemDialogue(const ModemDialogue&) = delete;
  ModemDialogue& operator=(const ModemDialogue&) = delete;

  // Sends bytes (`what` names them in the log) and waits up to timeout_ms for a result line.
  void Send(const std::string& bytes, const std::string& what, int timeout_ms, Done done);
  // A command line: the command and CR.
  void Command(const std::string& command, int timeout_ms, Done done) {
    Send(command + "\r", command, timeout_ms, std::move(done));
  }

  // The command waiting gets at most timeout_ms more for its answer (a dial being aborted).
  void Hasten(int timeout_ms);

  // Whether a command waits for its answer, and which.
  bool Busy() const { return pending_.has_value(); }
  bool Waiting(const std::string& prefix) const;

  // A line from the modem: true when it was the final result of the command waiting.
  bool OnResult(const std::string& line, ModemResult result);
  // The port failed: the command waiting gets no answer.
  void OnPortGone() { Complete(std::nullopt); }

 private:
  struct Pending {
    std::string what;
    Done done;
    int64_t due_ms = 0;  // when the answer is given up on
  };
  void Complete(std::optional<ModemResult> result);
  void ArmTimeout(int timeout_ms);

  platform::MessageLoop& loop_;
  CallSink& sink_;
  const PortGetter port_;
  std::optional<Pending> pending_;
  platform::TaskGroup failures_;  // commands that could not be sent, answered from the loop
  platform::OneShotTimer timeout_;
};

}  // namespace telvane::linesvc
