// The telephony service's report side: what the drivers report about lines and calls, and
// the messages it becomes for the applications, in TAPI's order (a call's messages wait
// behind the reply to its outstanding request; a line closed by force is freed only behind
// its LINE_CLOSE).
#include <string>
#include <vector>

#include "linesvc/service_records.h"
#include "linesvc/tapi_structures.h"

namespace telvane::linesvc {

void Service::LineSinkImpl::OnEvent(std::string_view text) {
  service_.events_.Add(service_.devices_[device_]->config.name, text);
}

void Service::Post(const OpenLine& line, const Message& message) {
  const App* app = FindApp(line.app);
  if (app == nullptr) return;
  const LINECALLBACK callback = app->callback;
  const DWORD_PTR instance = line.instance;
  line.messages->Post([callback, instance, message] {
    callback(message.device, message.message, instance, message.param1, message.param2,
             message.param3);
  });
}

void Service::PostForCall(Call& call, const Message& message) {
  if (call.pending_request != 0) {
    call.held.push_back(message);
    return;
  }
  if (const OpenLine* line = FindLine(call.line)) Post(*line, message);
}

void Service::CompleteRequest(Call& call, LONG result) {
  const DWORD request = call.pending_request;
  if (request == 0) return;
  call.pending_request = 0;
  events_.Add(devices_[call.device]->config.name,
              "reply to request " + std::to_string(request) + ": " +
                  (result == 0 ? std::string("0") : Hex(result)));
  if (const OpenLine* line = FindLine(call.line)) {
    Post(*line, {0, LINE_REPLY, request, static_cast<DWORD_PTR>(static_cast<DWORD>(result)), 0});
  }
  std::vector<Message> held = std::move(call.held);
  call.held.clear();
  for (const Message& message : held) PostForCall(call, message);
}

void Service::DeferCleanup(HLINE line) {
  const auto open = lines_.find(line);
  const App* app = open == lines_.end() ? nullptr : FindApp(open->second.app);
  if (app == nullptr) return;  // collected at the next request instead
  app->chores->Post([this] {
    CollectDefunctCalls();
    CollectDefunctLines();
  });
}

// Frees calls that a driver report made defunct. Never runs inside a driver's report, which
// may come from a member of the very call being freed.
void Service::CollectDefunctCalls() {
  std::erase_if(calls_, [](const auto& entry) { return entry.second->defunct; });
}

// Frees lines closed by force. Only the task posted behind their LINE_CLOSE does this, so the
// messages queued before LINE_CLOSE still reach the application.
void Service::CollectDefunctLines() {
  std::vector<HLINE> closed;
  for (const auto& [handle, line] : lines_) {
    if (line.defunct) closed.push_back(handle);
  }
  for (HLINE handle : closed) CloseLine(handle);
}

void Service::OnDialResult(HCALL handle, LONG result) {
  Call* call = FindCall(handle);
  if (call == nullptr) return;
  if (result > 0) result = LINEERR_OPERATIONFAILED;
  CompleteRequest(*call, result);
  if (result != 0) {
    // The call never came to be: its handle stops working and it is freed after the report.
    call->defunct = true;
    call->held.clear();
    DeferCleanup(call->line);
  }
}

void Service::OnCallState(HCALL handle, DWORD state, DWORD mode) {
  Call* call = FindCall(handle);
  if (call == nullptr) return;
  call->state = state;
  call->state_mode = mode;
  std::string text = std::string("state ") + CallStateName(state);
  if (state == LINECALLSTATE_DISCONNECTED) text += std::string(" ") + DisconnectModeName(mode);
  events_.Add(devices_[call->device]->config.name, text);
  PostForCall(*call, {call->handle, LINE_CALLSTATE, state, mode, 0});
}

void Service::OnDropResult(HCALL handle, LONG result) {
  Call* call = FindCall(handle);
  if (call == nullptr) return;
  if (result > 0) result = LINEERR_OPERATIONFAILED;
  if (result != 0) call->dropping = false;
  CompleteRequest(*call, result);
}

void Service::OnDigit(HCALL handle, char digit, std::string_view path) {
  Call* call = FindCall(handle);
  if (call == nullptr) return;
  const std::string& name = devices_[call->device]->config.name;
  const auto param = static_cast<DWORD_PTR>(static_cast<unsigned char>(digit));
  std::string text = std::string("remote side presses ") + digit;
  if (!path.empty()) text += " (" + std::string(path) + ")";
  if ((call->digit_modes & kMonitorDigitModes) == 0) {
    events_.Add(name, text + ", not monitored");
    return;
  }
  events_.Add(name, text);
  if (call->digit_modes & LINEDIGITMODE_DTMF) {
    PostForCall(*call, {call->handle, LINE_MONITORDIGITS, param, LINEDIGITMODE_DTMF, 0});
  }
  if (call->digit_modes & LINEDIGITMODE_DTMFEND) {
    PostForCall(*call, {call->handle, LINE_MONITORDIGITS, param, LINEDIGITMODE_DTMFEND, 0});
  }
}

void Service::OnLineDevState(size_t device, DWORD state) {
  events_.Add(devices_[device]->config.name, "line state " + Hex(static_cast<LONG>(state)));
  for (const auto& [handle, line] : lines_) {
    if (line.device == device && !line.defunct && (line.line_states & state) != 0) {
      Post(line, {handle, LINE_LINEDEVSTATE, state, 0, 0});
    }
  }
}

void Service::OnLineClosed(size_t device) {
  events_.Add(devices_[device]->config.name, "line closed by the driver");
  std::vector<HLINE> closed;
  for (auto& [handle, line] : lines_) {
    if (line.device != device || line.defunct) continue;
    Post(line, {handle, LINE_CLOSE, 0, 0, 0});
    line.defunct = true;
    closed.push_back(handle);
  }
  for (auto& [handle, call] : calls_) {
    if (call->device == device) call->defunct = true;
  }
  // Behind each application's LINE_CLOSE, so the messages before it are still delivered.
  for (HLINE line : closed) DeferCleanup(line);
}

}  // namespace telvane::linesvc
