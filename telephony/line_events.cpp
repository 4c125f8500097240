// Turns the telephony system's line callback into the device's state changes and events,
// and fires, from the device's own window, the events that must not run inside a callback.
#include "platform/errors.h"
#include "platform/tapi_binding.h"
#include "platform/text.h"
#include "telephony/status_texts.h"
#include "telephony/tapi_device.h"

namespace telvane {

namespace {

// Offered calls are taken in these media modes (unknown, data modem, fax; voice too when
// voice is enabled).
constexpr DWORD kAcceptedMedia = 0x32;
constexpr DWORD kAcceptedVoiceMedia = 0x3A;

int32_t Int(DWORD value) { return static_cast<int32_t>(value); }

// Caller texts come from the network: blanks and control characters around them go.
std::string TrimCallerText(const std::string& text) {
  return platform::TrimIf(text, [](unsigned char c) { return c <= ' '; });
}

}  // namespace

void TApdCustomTapiDevice::LineCallback(DWORD device, DWORD message, DWORD_PTR instance,
                                        DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3) {
  const auto p1 = static_cast<DWORD>(param1);
  const auto p2 = static_cast<DWORD>(param2);
  const auto p3 = static_cast<DWORD>(param3);
  if (message == LINE_CREATE) {
    // Every device of the program learns about the new line, through its window.
    platform::MessageLoop::Current()->Broadcast(
        kDeviceEventMessage, static_cast<uintptr_t>(DeviceNotification::kLineCreate),
        static_cast<intptr_t>(p1));
  }
  auto* self = reinterpret_cast<TApdCustomTapiDevice*>(instance);
  if (self == nullptr) return;
  // Nothing raised here may go back into the telephony system.
  try {
    switch (message) {
      case LINE_CALLINFO:
        self->DoLineCallInfo(device, p1, p2, p3);
        break;
      case LINE_CALLSTATE:
        self->DoLineCallState(device, p1, p2, p3);
        break;
      case LINE_CLOSE:
        self->DoLineClose(device, p1, p2, p3);
        break;
      case LINE_GENERATE:
        self->DoLineGenerate(device, p1, p2, p3);
        break;
      case LINE_LINEDEVSTATE:
        self->DoLineDevState(device, p1, p2, p3);
        break;
      case LINE_MONITORDIGITS:
        self->DoLineMonitorDigits(device, p1, p2, p3);
        break;
      case LINE_MONITORMEDIA:
        self->DoLineMonitorMedia(device, p1, p2, p3);
        break;
      case LINE_MONITORTONE:
        self->DoLineMonitorTone(device, p1, p2, p3);
        break;
      case LINE_REPLY:
        self->DoLineReply(device, p1, p2, p3);
        break;
      case LINE_REQUEST:
        self->DoLineRequest(device, p1, p2, p3);
        break;
      case LINE_CREATE:
        self->DoLineCreate(device, p1, p2, p3);
        break;
      default:
        break;
    }
  } catch (const std::exception& error) {
    HandleApplicationException(error);
  }
}

void TApdCustomTapiDevice::RefreshCallInfo(HCALL call) {
  call_info_.reset();
  platform::TapiBlock<LINECALLINFO> info;
  if (platform::QueryCallInfo(call, info) == 0 && info) call_info_ = std::move(info);
}

void TApdCustomTapiDevice::DoLineCallInfo(DWORD device, DWORD p1, DWORD p2, DWORD p3) {
  RefreshCallInfo(device);
  if ((p1 & LINECALLINFOSTATE_CALLERID) != 0 && OnTapiCallerID) {
    OnTapiCallerID(*this, TrimCallerText(CallerIDNumberText(call_info_)),
                   TrimCallerText(CallerIDNameText(call_info_)));
  }
  NotifyStatus(false, false, Int(device), Int(LINE_CALLINFO), Int(p1), Int(p2), Int(p3));
}

void TApdCustomTapiDevice::DoLineCallState(DWORD device, DWORD state, DWORD p2, DWORD p3) {
  call_.OnCallState(state);
  const auto status = [&](bool first, bool last) {
    NotifyStatus(first, last, Int(device), Int(LINE_CALLSTATE), Int(state), Int(p2), Int(p3));
  };
  switch (state) {
    case LINECALLSTATE_IDLE:
      status(false, false);
      call_.HangUp(/*clear_retry=*/false);
      break;
    case LINECALLSTATE_OFFERING: {
      RefreshCallInfo(device);
      if (!call_info_) throw ETapiUnexpected(ecTapiUnexpected);
      const LINECALLINFO* info = call_info_.get();
      if ((info->dwMediaMode & (enable_voice_ ? kAcceptedVoiceMedia : kAcceptedMedia)) == 0) {
        break;
      }
      call_.OnOffered(device);
      status(true, false);
      call_.WaitForReply(tapi::lineAccept(device, nullptr, 0));
      NotifyLog(TTapiLogCode::ltapiAccept);
      break;
    }
    case LINECALLSTATE_DIALTONE:
      status(true, false);
      break;
    case LINECALLSTATE_BUSY:
      NotifyLog(TTapiLogCode::ltapiBusy);
      status(false, false);
      call_.HangUp(/*clear_retry=*/false);
      break;
    case LINECALLSTATE_SPECIALINFO:
      status(false, false);
      call_.HangUp(/*clear_retry=*/false);
      break;
    case LINECALLSTATE_CONNECTED:
      if (call_.Connected()) break;  // a repeated connect is ignored
      RefreshCallInfo(device);
      call_.OnConnected();
      if (enable_voice_) {
        digits_.Start(call_.CallHandle(), LINEDIGITMODE_DTMF, enable_voice_);
      } else {
        call_.OpenPort();
      }
      status(false, true);
      PostNotification(DeviceNotification::kConnect);
      NotifyLog(TTapiLogCode::ltapiConnect);
      break;
    case LINECALLSTATE_DISCONNECTED:
      call_.OnDisconnected(p2);
      status(false, false);
      if (p2 == LINEDISCONNECTMODE_BUSY) NotifyLog(TTapiLogCode::ltapiBusy);
      call_.HangUp(/*clear_retry=*/false);
      break;
    default:
      status(false, false);
      break;
  }
}

void TApdCustomTapiDevice::DoLineClose(DWORD, DWORD, DWORD, DWORD) { call_.OnLineClosed(); }

void TApdCustomTapiDevice::DoLineCreate(DWORD, DWORD p1, DWORD, DWORD) {
  if (Int(p1) >= device_count_) device_count_ = Int(p1) + 1;
  EnumerateDevices();
}

void TApdCustomTapiDevice::DoLineDevState(DWORD device, DWORD state, DWORD p2, DWORD p3) {
  switch (state) {
    case LINEDEVSTATE_RINGING:
      NotifyStatus(false, false, Int(device), Int(LINE_LINEDEVSTATE), Int(state), Int(p2), Int(p3));
      if (p3 >= answer_on_ring_) {
        call_.WaitForReply(tapi::lineAnswer(call_.CallHandle(), nullptr, 0));
        NotifyLog(TTapiLogCode::ltapiAnswer);
      }
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
        DoLineDevState(device, p3, 0, 0);
      } else if (p2 == LINE_CREATE) {
        DoLineCreate(device, p3, 0, 0);
      }
      break;
    default:
      break;
  }
}

void TApdCustomTapiDevice::DoLineGenerate(DWORD, DWORD, DWORD, DWORD) {}

void TApdCustomTapiDevice::DoLineMonitorDigits(DWORD, DWORD p1, DWORD, DWORD) {
  digits_.ReportDigit(static_cast<char>(p1 & 0xFF), 0);
  NotifyLog(TTapiLogCode::ltapiReceivedDigit);
}

void TApdCustomTapiDevice::DoLineMonitorMedia(DWORD device, DWORD p1, DWORD p2, DWORD p3) {
  NotifyStatus(false, false, Int(device), Int(LINE_MONITORMEDIA), Int(p1), Int(p2), Int(p3));
}

void TApdCustomTapiDevice::DoLineMonitorTone(DWORD device, DWORD p1, DWORD p2, DWORD p3) {
  NotifyStatus(false, false, Int(device), Int(LINE_MONITORTONE), Int(p1), Int(p2), Int(p3));
}

void TApdCustomTapiDevice::DoLineReply(DWORD, DWORD request, DWORD result, DWORD) {
  call_.OnReply(Int(request), Int(result));
}

void TApdCustomTapiDevice::DoLineRequest(DWORD device, DWORD p1, DWORD p2, DWORD p3) {
  NotifyStatus(false, false, Int(device), Int(LINE_REQUEST), Int(p1), Int(p2), Int(p3));
}

void TApdCustomTapiDevice::PostNotification(DeviceNotification code) {
  notify_window_.Post(kDeviceEventMessage, static_cast<uintptr_t>(code), 0);
}

void TApdCustomTapiDevice::HandleWindowMessage(uint32_t message, uintptr_t wparam,
                                               intptr_t lparam) {
  // The wave output reports to this window too; the playback fires its own events.
  if (playback_.OnWindowMessage(message, wparam)) return;
  if (message != kDeviceEventMessage) return;
  try {
    HandleDeviceNotification(static_cast<DeviceNotification>(wparam), lparam);
  } catch (const std::exception& error) {
    HandleApplicationException(error);
  }
}

void TApdCustomTapiDevice::HandleDeviceNotification(DeviceNotification code, intptr_t argument) {
  switch (code) {
    case DeviceNotification::kConnect:
      if (OnTapiConnect) OnTapiConnect(*this);
      break;
    case DeviceNotification::kPortOpen:
      if (OnTapiPortOpen) OnTapiPortOpen(*this);
      break;
    case DeviceNotification::kPortClose:
      if (OnTapiPortClose) OnTapiPortClose(*this);
      break;
    case DeviceNotification::kFail:
      NotifyFail();
      break;
    case DeviceNotification::kLineCreate:
      DoLineCreate(0, static_cast<DWORD>(argument), 0, 0);
      break;
  }
}

}  // namespace telvane
