// The modem's start-up probe: one command at a time, each answer read within its time-out.
#include "linesvc/modem/modem_probe.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/text.h"

namespace telvane::linesvc {

namespace {

constexpr int kProbeResetTimeoutMs = 5000;  // ATZ takes a second on some modems

struct Answer {
  std::optional<ModemResult> result;  // none: no answer in time, or the port failed
  std::vector<std::string> lines;     // the information lines before the result
};

Answer Transact(SerialPort& port, const std::string& command, int timeout_ms) {
  Answer answer;
  if (!port.WriteAll(command + "\r", timeout_ms)) return answer;
  ModemReader reader;
  std::string bytes;
  const int64_t step_ms = 20;
  for (int64_t waited = 0; waited < timeout_ms; waited += step_ms) {
    bytes.clear();
    const SerialPort::ReadStatus status = port.ReadFor(static_cast<int>(step_ms), &bytes);
    if (status == SerialPort::ReadStatus::kGone) return answer;
    for (const ModemReader::Item& item : reader.Feed(bytes)) {
      if (item.line.empty()) continue;
      const ModemResult result = ClassifyLine(item.line);
      if (IsFinal(result)) {
        answer.result = result;
        return answer;
      }
      // An echo of the command (echo may still be on) is not information.
      if (!platform::EqualsIgnoringCase(item.line, command)) answer.lines.push_back(item.line);
    }
  }
  return answer;
}

bool IsOk(const Answer& answer) { return answer.result == ModemResult::kOk; }

}  // namespace

bool ProbeModem(SerialPort& port, const ModemSettings& settings, ModemCaps* caps,
                std::string* error) {
  const int timeout = settings.command_timeout_ms;
  if (!IsOk(Transact(port, "ATZ", std::max(timeout, kProbeResetTimeoutMs))) ||
      !IsOk(Transact(port, "ATE0V1Q0", timeout))) {
    *error = "the modem on " + settings.device + " does not answer";
    return false;
  }
  Answer identity = Transact(port, "ATI", timeout);
  if (!IsOk(identity)) identity = Transact(port, "ATI3", timeout);  // Lucent refuses plain ATI
  for (const std::string& line : identity.lines) {
    caps->identity += (caps->identity.empty() ? "" : " ") + line;
  }
  // A "#" set modem may answer +FCLASS=? with its fax classes only: its voice class is
  // found under #CLS=?.
  const Answer classes = Transact(port, "AT+FCLASS=?", timeout);
  caps->set = CommandSet::kV253;
  caps->voice = IsOk(classes) && ParseClassList(classes.lines).count("8") != 0;
  if (!caps->voice) {
    const Answer hash_classes = Transact(port, "AT#CLS=?", timeout);
    if (IsOk(hash_classes) && ParseClassList(hash_classes.lines).count("8") != 0) {
      caps->set = CommandSet::kHash;
      caps->voice = true;
    }
  }
  if (!caps->voice) {
    caps->why_not_voice = "no voice class (8) among its classes (+FCLASS=? and #CLS=?)";
    return true;
  }
  if (caps->set == CommandSet::kHash) {
    // The "#" set has no codec list; its 8-bit linear sound is the one it is sure to take.
    caps->codec = {0, "8-bit linear (#VBS=8)", 8, ModemCoding::kUnsigned8, {}};
    return true;
  }
  // Some modems answer ERROR to every +V command outside voice mode.
  Transact(port, "AT+FCLASS=8", timeout);
  const Answer codecs = Transact(port, "AT+VSM=?", timeout);
  const Answer line_states = Transact(port, "AT+VLS=?", timeout);
  Transact(port, "AT+FCLASS=0", timeout);
  const std::optional<ModemCodec> codec = ChooseCodec(ParseVsmList(codecs.lines), settings.codec);
  if (!codec) {
    caps->voice = false;
    caps->why_not_voice = "none of its codecs is one the driver can send";
    return true;
  }
  if (settings.codec && codec->coding != settings.codec) {
    *error = std::string("the modem has no ") + CodingName(*settings.codec) + " codec";
    return false;
  }
  caps->codec = *codec;
  bool off_hook_state = false;
  for (const ModemLineState& state : ParseVlsList(line_states.lines)) {
    if (state.label == 1) off_hook_state = true;
  }
  if (!off_hook_state && !line_states.lines.empty()) {
    caps->voice = false;
    caps->why_not_voice = "its +VLS list has no telephone line state";
  }
  return true;
}

}  // namespace telvane::linesvc
