// The disconnect modes of SIP outcomes.
#include "linesvc/sip/sip_outcome.h"

#include "linesvc/sip/sip_trace.h"

namespace telvane::linesvc {

namespace {

DWORD ModeForStatus(uint16_t status, bool rang) {
  switch (status) {
    case 486:
    case 600:
      return LINEDISCONNECTMODE_BUSY;
    case 404:
    case 410:
    case 416:  // the URI's scheme is not supported
    case 484:
    case 604:
      return LINEDISCONNECTMODE_BADADDRESS;
    case 480:
      return LINEDISCONNECTMODE_NOANSWER;
    case 408:
      // The far end timed out: after ringing nobody answered; before it nothing was reached.
      return rang ? LINEDISCONNECTMODE_NOANSWER : LINEDISCONNECTMODE_UNREACHABLE;
    case 401:
    case 403:
    case 407:
    case 603:
      return LINEDISCONNECTMODE_REJECT;
    case 487:
      return LINEDISCONNECTMODE_NORMAL;  // our own CANCEL was answered
    case 503:
      return LINEDISCONNECTMODE_CONGESTION;
    default:
      return LINEDISCONNECTMODE_TEMPFAILURE;
  }
}

}  // namespace

DWORD DisconnectModeFor(const SipEnd& end) {
  switch (end.cause) {
    case SipEnd::Cause::kResponse:
      return ModeForStatus(end.status, end.rang);
    case SipEnd::Cause::kNoUsableAudio:
      return LINEDISCONNECTMODE_TEMPFAILURE;
    case SipEnd::Cause::kRemoteBye:
    case SipEnd::Cause::kLocalHangup:
    case SipEnd::Cause::kSessionLost:  // the far end is gone without a word
      return LINEDISCONNECTMODE_NORMAL;
    case SipEnd::Cause::kRingTimeout:
      return LINEDISCONNECTMODE_NOANSWER;
    case SipEnd::Cause::kAuthentication:
      return LINEDISCONNECTMODE_REJECT;
    case SipEnd::Cause::kNoResponse:
    case SipEnd::Cause::kNetwork:
      return LINEDISCONNECTMODE_UNREACHABLE;
    case SipEnd::Cause::kLocalFailure:
      return LINEDISCONNECTMODE_UNAVAIL;
  }
  return LINEDISCONNECTMODE_UNKNOWN;
}

std::string Describe(const SipEnd& end) {
  switch (end.cause) {
    case SipEnd::Cause::kResponse:
      if (end.status == 488 || end.status == 606) {
        return "the callee refused the media offer: " + std::to_string(end.status) +
               (end.reason.empty() ? "" : " " + SipPrintable(end.reason, 300));
      }
      return "final response " + std::to_string(end.status);
    case SipEnd::Cause::kRemoteBye:
      return "remote side hangs up";
    case SipEnd::Cause::kLocalHangup:
      return "hung up";
    case SipEnd::Cause::kNoResponse:
      return "no response in time";
    case SipEnd::Cause::kRingTimeout:
      return "not answered within the ring time-out";
    case SipEnd::Cause::kNetwork:
      return "network failure";
    case SipEnd::Cause::kAuthentication:
      return "authentication refused";
    case SipEnd::Cause::kNoUsableAudio:
      return "the answer has no usable audio";
    case SipEnd::Cause::kSessionLost:
      return "the session was lost";
    case SipEnd::Cause::kLocalFailure:
      return "the line cannot place calls";
  }
  return "unknown";
}

}  // namespace telvane::linesvc
