// sipp UAS scenarios for the SIP driver's tests, built from a few message templates.
#pragma once

#include <string>

namespace telvane::linesvc::testing_sip {

// The media of an answer's SDP: PCMU and telephone-events, on @AUDIO@ (see Sipp).
inline const char* kPcmuMedia =
    "m=audio @AUDIO@ RTP/AVP 0 101\na=rtpmap:0 PCMU/8000\n"
    "a=rtpmap:101 telephone-event/8000\na=fmtp:101 0-15\na=ptime:20\n";
inline const char* kSippContact = "<sip:[local_ip]:[local_port];transport=[transport]>";

// A response to the INVITE received last; `extra` holds more header lines, `sdp` a body whose
// media are `media`.
inline std::string Response(const std::string& status, const std::string& extra = "",
                            bool sdp = false, const std::string& contact = kSippContact,
                            const std::string& media = kPcmuMedia) {
  const std::string body =
      "v=0\no=- 1 1 IN IP4 127.0.0.1\ns=-\nc=IN IP4 127.0.0.1\nt=0 0\n" + media;
  return "<send><![CDATA[\n"
         "SIP/2.0 " +
         status +
         "\n"
         "[last_Via:]\n[last_From:]\n[last_To:];tag=[pid]SIPpTag01[call_number]\n"
         "[last_Call-ID:]\n[last_CSeq:]\n"
         "Contact: " +
         contact + "\n" + extra +
         (sdp ? "Content-Type: application/sdp\nContent-Length: [len]\n\n" + body
              : "Content-Length: 0\n\n") +
         "]]></send>\n";
}

// A request of ours inside the dialog (BYE, INFO): From and To are the INVITE's, swapped; the
// answer expected is `expect`. With another `from_tag` it only claims to be: a stranger's.
inline std::string InDialog(const std::string& method, int cseq, const std::string& type = "",
                            const std::string& body = "", const std::string& expect = "200",
                            const std::string& from_tag = "[pid]SIPpTag01[call_number]") {
  return "<send><![CDATA[\n" + method +
         " [$contact] SIP/2.0\n"
         "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
         "From: <sip:service@[local_ip]:[local_port]>;tag=" +
         from_tag + "\nTo: [$caller]\nCall-ID: [call_id]\nCSeq: " + std::to_string(cseq) + " " +
         method +
         "\n"
         "Max-Forwards: 70\n" +
         (type.empty() ? "Content-Length: 0\n\n"
                       : "Content-Type: " + type + "\nContent-Length: [len]\n\n" + body) +
         "]]></send>\n<recv response=\"" + expect + "\"/>\n";
}

// Takes the INVITE; with kKeepDialog also what a request of ours in the dialog needs (sipp
// refuses a scenario that keeps what it never uses).
enum class Dialog { kNone, kKeep };
inline std::string RecvInvite(Dialog dialog = Dialog::kNone) {
  if (dialog == Dialog::kNone) return "<recv request=\"INVITE\"/>\n";
  return "<recv request=\"INVITE\"><action>"
         "<ereg regexp=\".*\" search_in=\"hdr\" header=\"From:\" assign_to=\"caller\"/>"
         "<ereg regexp=\"sip:[^>;]*\" search_in=\"hdr\" header=\"Contact:\" assign_to=\"contact\"/>"
         "</action></recv>\n";
}

inline std::string Scenario(const std::string& steps) {
  return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"uas\">\n" + steps +
         "</scenario>\n";
}

inline std::string Pause(int ms) {
  return "<pause milliseconds=\"" + std::to_string(ms) + "\"/>\n";
}

// The end of an answered call that we hang up.
inline const char* kAwaitBye =
    "<recv request=\"BYE\"/>\n"
    "<send><![CDATA[\nSIP/2.0 200 OK\n[last_Via:]\n[last_From:]\n[last_To:]\n[last_Call-ID:]\n"
    "[last_CSeq:]\nContent-Length: 0\n\n]]></send>\n";

// A call that is answered with sound (PCMU, or the answer's `media`) and ends when we hang
// up.
inline std::string AnsweredUntilBye(const std::string& media = kPcmuMedia) {
  return Scenario(RecvInvite() + Response("200 OK", "", true, kSippContact, media) +
                  "<recv request=\"ACK\"/>\n" + kAwaitBye);
}

}  // namespace telvane::linesvc::testing_sip
