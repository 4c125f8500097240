// What the line device reports besides keys and plays: the telephony reports on the line
// and its call (LineDevice::on_status), as a kind and a readable text, and the points of a
// call's history (LineDevice::on_log).
#pragma once

#include <cstdint>
#include <string>

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

// A telephony report on the line or its call.
struct LineStatus {
  enum class Kind {
    kBusy,          // the called number is busy
    kDisconnected,  // the call was ended by the other side or the network
    kLineState,     // the line device's own state changed
    kOther,         // anything else: the call's progress, its information, the retry wait
  };
  Kind kind = Kind::kOther;
  // The report as the user reads it ("Called number is busy", "Connected!").
  std::string text;
};

// The Message of the status the device makes itself while it waits to dial again (no
// telephony message has this number), and its State.
inline constexpr int32_t kDeviceStatusMessage = 32;
inline constexpr int32_t kRetryWaitState = 8;

}  // namespace telvane
