// What the line device reports besides its events' own arguments: the points of a call's
// history (LineDevice::on_log) and the numbers of the status the device makes itself.
#pragma once

#include <cstdint>

namespace telvane {

// The points of a call's history, in the order a call that connects passes them.
enum class CallLog {
  kCallStart,      // the line was opened for the first attempt of a Dial
  kDial,           // the call request goes out
  kConnect,        // the call connected
  kReceivedDigit,  // the line reported a DTMF key
  kCancel,         // HangUp ran
  kDrop,           // an active line was hung up
  kCallFinish,     // the hang-up ended the call and no further attempt follows
  kBusy,           // the number was busy
  kDialFail,       // the request failed, or the call ended without connecting
};

// The Message of the status the device makes itself while it waits to dial again (no
// telephony message has this number), and its State.
inline constexpr int32_t kDeviceStatusMessage = 32;
inline constexpr int32_t kRetryWaitState = 8;

}  // namespace telvane
