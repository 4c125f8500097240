// How a SIP call ends, in TAPI's words: the disconnect mode for each final response and each
// failure of the network or of the driver's own timers.
//
//   DWORD mode = DisconnectModeFor(SipEnd{.status = 486});   // LINEDISCONNECTMODE_BUSY
//
// Plain functions: any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/tapi.h"

namespace telvane::linesvc {

// TAPI 2.0's "temporary failure", for server errors and refusals that may pass; the status
// texts of the line device know it.
inline constexpr DWORD LINEDISCONNECTMODE_TEMPFAILURE = 0x00008000;

struct SipEnd {
  enum class Cause {
    kResponse,        // a final response >= 300 to the INVITE (or the REGISTER before it)
    kRemoteBye,       // the other side hung up after the answer
    kLocalHangup,     // we hung up (CANCEL or BYE)
    kNoResponse,      // nothing answered our request in time
    kRingTimeout,     // it rang longer than the line's ringtimeout: cancelled
    kNetwork,         // the transport failed: connection refused, DNS, no route
    kAuthentication,  // our credentials were refused, or there were none to give
    kNoUsableAudio,   // a 2xx whose SDP gives no audio we can send (port 0, no codec offered)
    kSessionLost,     // the answered call's session ended without a BYE (not refreshed in time)
    kLocalFailure     // the line cannot work here: no free RTP port, a bad password file
  };
  Cause cause = Cause::kResponse;
  uint16_t status = 0;  // the final response, with kResponse
  bool rang = false;    // a 180/183 came before the end
  // With kResponse: its reason phrase and Warning headers, as the far end wrote them.
  std::string reason = {};
};

// The LINEDISCONNECTMODE_* value of an ended call.
DWORD DisconnectModeFor(const SipEnd& end);

// A few words for the event log: "final response 486", "no response in time", ... A 488 or 606
// (the callee takes nothing of the media offered: codecs, SRTP) says so, with the response's
// reason and Warning, printable characters only.
std::string Describe(const SipEnd& end);

}  // namespace telvane::linesvc
