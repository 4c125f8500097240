// sipp UAS scenarios for the SIP driver's tests, built from a few message templates.
#pragma once

#include <string>

namespace telvane::linesvc::testing_sip {

// The callee's SDP: PCMU and telephone-events at `port` of 127.0.0.1 (@AUDIO@: the Sipp's
// audio port), or with other `formats` ("18 101": G.729, which we never offer).
inline std::string Sdp(const std::string& port = "@AUDIO@", const std::string& formats = "0 101") {
  return "v=0\no=- 1 1 IN IP4 127.0.0.1\ns=-\nc=IN IP4 127.0.0.1\nt=0 0\n"
         "m=audio " +
         port + " RTP/AVP " + formats +
         "\na=rtpmap:0 PCMU/8000\n"
         "a=rtpmap:101 telephone-event/8000\na=fmtp:101 0-15\na=ptime:20\n";
}

// The callee's SDP with the media of its choice: an m= line (@AUDIO@ for the port) and its
// attributes.
inline std::string SdpWithMedia(const std::string& media) {
  return "v=0\no=- 1 1 IN IP4 127.0.0.1\ns=-\nc=IN IP4 127.0.0.1\nt=0 0\n" + media;
}

inline const char* kSippContact = "<sip:[local_ip]:[local_port];transport=[transport]>";

// A response to the INVITE received last; `extra` holds more header lines, `sdp` a body (the
// callee's SDP, or `body`).
inline std::string Response(const std::string& status, const std::string& extra = "",
                            bool sdp = false, const std::string& contact = kSippContact,
                            const std::string& body = Sdp()) {
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

// The callee's request inside the dialog, sent: From and To are the INVITE's, swapped;
// `extra` holds more header lines. With another `from_tag` it only claims to be: a stranger's.
// An ACK to a final response other than 2xx names the INVITE's `branch` ("[branch-2]").
inline std::string Request(const std::string& method, int cseq, const std::string& extra = "",
                           const std::string& type = "", const std::string& body = "",
                           const std::string& from_tag = "[pid]SIPpTag01[call_number]",
                           const std::string& branch = "[branch]") {
  return "<send><![CDATA[\n" + method +
         " [$contact] SIP/2.0\n"
         "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=" +
         branch + "\nFrom: <sip:service@[local_ip]:[local_port]>;tag=" + from_tag +
         "\nTo: [$caller]\nCall-ID: [call_id]\nCSeq: " + std::to_string(cseq) + " " + method +
         "\n"
         "Max-Forwards: 70\n" +
         extra +
         (type.empty() ? "Content-Length: 0\n\n"
                       : "Content-Type: " + type + "\nContent-Length: [len]\n\n" + body) +
         "]]></send>\n";
}

// A request of ours inside the dialog (BYE, INFO), and the answer expected, `expect`.
inline std::string InDialog(const std::string& method, int cseq, const std::string& type = "",
                            const std::string& body = "", const std::string& expect = "200",
                            const std::string& from_tag = "[pid]SIPpTag01[call_number]") {
  return Request(method, cseq, "", type, body, from_tag) + "<recv response=\"" + expect + "\"/>\n";
}

// A response to the request of the dialog received last (its To has the tag already).
inline std::string Reply(const std::string& status, const std::string& extra = "") {
  return "<send><![CDATA[\nSIP/2.0 " + status +
         "\n[last_Via:]\n[last_From:]\n[last_To:]\n[last_Call-ID:]\n[last_CSeq:]\n"
         "Contact: <sip:[local_ip]:[local_port];transport=[transport]>\n" +
         extra + "Content-Length: 0\n\n]]></send>\n";
}

// A check of a received message, inside its <action>: the header (or "body") must match the
// regular expression, else the scenario fails; the match goes to variable `name` (and to
// sipp's log, as sipp refuses a variable used only once).
inline std::string Check(const std::string& header, const std::string& regexp,
                         const std::string& name) {
  const std::string where =
      header == "body" ? "search_in=\"body\"" : "search_in=\"hdr\" header=\"" + header + ":\"";
  return "<ereg regexp=\"" + regexp + "\" " + where + " check_it=\"true\" assign_to=\"" + name +
         "\"/><log message=\"" + name + ": [$" + name + "]\"/>";
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

// A call that is answered with sound (the callee's SDP, or `sdp`) and ends when we hang up.
inline std::string AnsweredUntilBye(const std::string& sdp = Sdp()) {
  return Scenario(RecvInvite() + Response("200 OK", "", true, kSippContact, sdp) +
                  "<recv request=\"ACK\"/>\n" + kAwaitBye);
}

}  // namespace telvane::linesvc::testing_sip
