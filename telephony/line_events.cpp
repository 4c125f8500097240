// Turns the telephony system's line callback into the device's state changes and events,
// and fires, from the device's own window, the events that must not run inside a callback.
#include "platform/errors.h"
#include "platform/tapi_binding.h"
#include "telephony/line_device.h"
#include "telephony/status_texts.h"

namespace telvane {

namespace {

int32_t Int(DWORD value) { return static_cast<int32_t>(value); }

}  // namespace

void LineDevice::LineCallback(DWORD /*device*/, DWORD message, DWORD_PTR instance, DWORD_PTR param1,
                              DWORD_PTR param2, DWORD_PTR param3) {
  const auto p1 = static_cast<DWORD>(param1);
  const auto p2 = static_cast<DWORD>(param2);
  const auto p3 = static_cast<DWORD>(param3);
  if (message == LINE_CREATE) {
    // Every device of the program learns about the new line, through its window.
    platform::MessageLoop::Current()->Broadcast(
        kDeviceEventMessage, static_cast<uintptr_t>(DeviceNotification::kLineCreate),
        static_cast<intptr_t>(p1));
  }
  auto* self = reinterpret_cast<LineDevice*>(instance);
  if (self == nullptr) return;
  // Nothing raised here may go back into the telephony system.
  try {
    switch (message) {
      case LINE_CALLSTATE:
        self->OnCallState(p1, p2);
        break;
      case LINE_CLOSE:
        self->call_.OnLineClosed();
        break;
      case LINE_LINEDEVSTATE:
        self->OnLineState(p1, p2, p3);
        break;
      case LINE_MONITORDIGITS:
        self->OnKey(p1);
        break;
      case LINE_CALLINFO:
      case LINE_MONITORMEDIA:
      case LINE_MONITORTONE:
      case LINE_REQUEST:
        self->NotifyStatus(Int(message), Int(p1), Int(p2));
        break;
      case LINE_REPLY:
        self->call_.OnReply(Int(p1), Int(p2));
        break;
      case LINE_CREATE:
        self->OnLineCreated(p1);
        break;
      default:
        break;
    }
  } catch (const std::exception& error) {
    self->ReportError(error);
  }
}

void LineDevice::OnCallState(DWORD state, DWORD mode) {
  call_.OnCallState(state);
  const auto status = [&] { NotifyStatus(Int(LINE_CALLSTATE), Int(state), Int(mode)); };
  switch (state) {
    case LINECALLSTATE_IDLE:
    case LINECALLSTATE_SPECIALINFO:
      status();
      call_.HangUp(/*clear_retry=*/false);
      break;
    case LINECALLSTATE_BUSY:
      NotifyLog(CallLog::kBusy);
      status();
      call_.HangUp(/*clear_retry=*/false);
      break;
    case LINECALLSTATE_CONNECTED:
      if (call_.Connected()) break;  // a repeated connect is ignored
      call_.OnConnected();
      digits_.Start(call_.CallHandle());
      status();
      NotifyLog(CallLog::kConnect);
      break;
    case LINECALLSTATE_DISCONNECTED:
      call_.OnDisconnected(mode);
      status();
      if (mode == LINEDISCONNECTMODE_BUSY) NotifyLog(CallLog::kBusy);
      call_.HangUp(/*clear_retry=*/false);
      break;
    default:
      status();
      break;
  }
}

void LineDevice::OnLineCreated(DWORD id) {
  if (Int(id) >= device_count_) device_count_ = Int(id) + 1;
  EnumerateDevices();
}

void LineDevice::OnLineState(DWORD state, DWORD p2, DWORD p3) {
  switch (state) {
    case LINEDEVSTATE_RINGING:
      NotifyStatus(Int(LINE_LINEDEVSTATE), Int(state), Int(p2));
      break;
    case LINEDEVSTATE_DISCONNECTED:
    case LINEDEVSTATE_OUTOFSERVICE:
    case LINEDEVSTATE_MAINTENANCE:
      call_.HangUp(/*clear_retry=*/true);
      break;
    case LINEDEVSTATE_REINIT:
      if (p2 == 0) {
        ShutdownTapi();
      } else if (p2 == LINE_LINEDEVSTATE) {
        OnLineState(p3, 0, 0);
      } else if (p2 == LINE_CREATE) {
        OnLineCreated(p3);
      }
      break;
    default:
      break;
  }
}

void LineDevice::OnKey(DWORD p1) {
  digits_.ReportKey(static_cast<char>(p1 & 0xFF));
  NotifyLog(CallLog::kReceivedDigit);
}

void LineDevice::PostNotification(DeviceNotification code) {
  notify_window_.Post(kDeviceEventMessage, static_cast<uintptr_t>(code), 0);
}

void LineDevice::HandleWindowMessage(uint32_t message, uintptr_t wparam, intptr_t lparam) {
  // The wave output reports to this window too; the player reports on its own.
  if (player_.OnWindowMessage(message, wparam)) return;
  if (message != kDeviceEventMessage) return;
  try {
    HandleDeviceNotification(static_cast<DeviceNotification>(wparam), lparam);
  } catch (const std::exception& error) {
    ReportError(error);
  }
}

void LineDevice::HandleDeviceNotification(DeviceNotification code, intptr_t argument) {
  switch (code) {
    case DeviceNotification::kFail:
      NotifyFail();
      break;
    case DeviceNotification::kLineCreate:
      OnLineCreated(static_cast<DWORD>(argument));
      break;
  }
}

}  // namespace telvane
