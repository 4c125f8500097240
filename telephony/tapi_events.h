// What the line device tells the application: its event types, the call-history codes and
// the numbers a status report carries. The voice events (TWaveMessage, TTapiWaveNotify,
// TTapiDTMFEvent) are declared with the voice parts that fire them, in voice/.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "platform/component.h"

namespace telvane {

enum class TTapiLogCode {
  ltapiNone = 0,
  ltapiCallStart = 1,
  ltapiCallFinish = 2,
  ltapiDial = 3,
  ltapiAccept = 4,
  ltapiAnswer = 5,
  ltapiConnect = 6,
  ltapiCancel = 7,
  ltapiDrop = 8,
  ltapiBusy = 9,
  ltapiDialFail = 10,
  ltapiReceivedDigit = 11,
};

// Telephony message numbers carried in the Message argument of OnTapiStatus.
inline constexpr int32_t kLineCallInfoMessage = 1;   // LINE_CALLINFO
inline constexpr int32_t kLineCallStateMessage = 2;  // LINE_CALLSTATE
inline constexpr int32_t kLineDevStateMessage = 8;   // LINE_LINEDEVSTATE
inline constexpr int32_t kLineReplyMessage = 12;     // LINE_REPLY
inline constexpr int32_t kDeviceStatusMessage = 32;  // the device's own reports (retry wait)
// Param1 of the device's own report while it waits to retry a busy line.
inline constexpr int32_t kRetryWaitState = 8;

// Call states (Param1 of a call-state report) that the application looks at.
inline constexpr int32_t kCallStateBusy = 0x40;            // LINECALLSTATE_BUSY
inline constexpr int32_t kCallStateConnected = 0x100;      // LINECALLSTATE_CONNECTED
inline constexpr int32_t kCallStateDisconnected = 0x4000;  // LINECALLSTATE_DISCONNECTED

// An event holds a callable; it is assigned when the callable is set, and an event whose
// handler is not assigned is not fired. The first argument is always the device.
using TNotifyEvent = std::function<void(TObject& sender)>;
using TTapiStatusEvent =
    std::function<void(TObject& cp, bool first, bool last, int32_t device, int32_t message,
                       int32_t param1, int32_t param2, int32_t param3)>;
using TTapiLogEvent = std::function<void(TObject& cp, TTapiLogCode log)>;
using TTapiCallerIDEvent =
    std::function<void(TObject& cp, const std::string& id, const std::string& id_name)>;
using TTapiWaveSilence = std::function<void(TObject& cp, bool& stop_recording, bool& hangup)>;

// Exceptions raised while the device handles a telephony message, a deferred notification or
// a retry cannot go back to a caller: they go to this handler, which the application sets
// (by default they are dropped). Loop thread only.
void SetApplicationExceptionHandler(std::function<void(const std::exception&)> handler);
void HandleApplicationException(const std::exception& error);

}  // namespace telvane
