// The SIP line's rules that need no network: its keys, what may be dialled, the password file,
// the disconnect modes of outcomes, the reading of the answer's SDP and its SRTP keys, the
// three decoders of keys, and digest answers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "linesvc/sip/sdp_answer.h"
#include "linesvc/sip/sip_digest.h"
#include "linesvc/sip/sip_keys.h"
#include "linesvc/sip/sip_outcome.h"
#include "linesvc/sip/sip_session_timer.h"
#include "linesvc/sip/sip_settings.h"
#include "linesvc/sip/sip_trace.h"

namespace telvane::linesvc {
namespace {

SipSettings Parse(std::vector<DriverKey> keys, std::string* error = nullptr) {
  SipSettings settings;
  std::string ignored;
  EXPECT_TRUE(ParseSipSettings(keys, 7, &settings, error != nullptr ? error : &ignored))
      << (error != nullptr ? *error : ignored);
  return settings;
}

std::string Refusal(std::vector<DriverKey> keys) {
  SipSettings settings;
  std::string error;
  EXPECT_FALSE(ParseSipSettings(keys, 7, &settings, &error));
  return error;
}

// Defaults, every key, and the user of the URI as the digest user.
TEST(SipSettingsTest, KeysAndDefaults) {
  const SipSettings plain = Parse({{"uri", "sip:alerts@pbx.example.org", 2}});
  EXPECT_EQ(plain.auth_user, "alerts");
  EXPECT_EQ(plain.transport, SipTransport::kUdp);
  EXPECT_EQ(plain.registration, SipRegister::kNo);
  EXPECT_EQ(plain.codecs, (std::vector<SipCodec>{SipCodec::kPcmu, SipCodec::kPcma}));
  EXPECT_EQ(plain.dtmf, SipDtmf::kAuto);
  EXPECT_EQ(plain.srtp, SipSrtp::kNo);
  // Keys are offered by default only where the SDP is encrypted too.
  EXPECT_EQ(Parse({{"uri", "sip:a@b", 2}, {"transport", "tls", 3}}).srtp, SipSrtp::kOffer);
  EXPECT_EQ(Parse({{"uri", "sip:a@b", 2}, {"transport", "tls", 3}, {"srtp", "no", 4}}).srtp,
            SipSrtp::kNo);
  EXPECT_EQ(plain.rtp_timeout_s, 10);
  EXPECT_EQ(plain.keepalive_s, 25);
  EXPECT_FALSE(plain.stun_server);
  EXPECT_EQ(plain.wave_id, 7u);

  const SipSettings full = Parse({{"uri", "sips:alerts@pbx.example.org:5061", 2},
                                  {"auth_user", "1001", 3},
                                  {"password_file", "/etc/p", 4},
                                  {"outbound", "proxy.example.org:5080", 5},
                                  {"transport", "TLS", 6},
                                  {"register", "yes", 7},
                                  {"dialdomain", "trunk.example.net", 8},
                                  {"dialprefix", "0", 9},
                                  {"ringtimeout", "25", 10},
                                  {"codecs", "g722, pcma,PCMU", 11},
                                  {"srtp", "required", 11},
                                  {"dtmf", "info", 12},
                                  {"rtp_ports", "4000-4010", 13},
                                  {"rtp_timeout", "0", 14},
                                  {"wave", "40", 15},
                                  {"keepalive", "0", 16},
                                  {"stun_server", "stun.example.org", 17}});
  EXPECT_EQ(full.account.ToString(), "sips:alerts@pbx.example.org:5061");
  EXPECT_EQ(full.auth_user, "1001");
  ASSERT_TRUE(full.outbound);
  EXPECT_EQ(full.outbound->HostPort(), "proxy.example.org:5080");
  EXPECT_EQ(full.transport, SipTransport::kTls);
  EXPECT_EQ(full.registration, SipRegister::kYes);
  EXPECT_EQ(full.ring_timeout_s, 25);
  EXPECT_EQ(full.codecs,
            (std::vector<SipCodec>{SipCodec::kG722, SipCodec::kPcma, SipCodec::kPcmu}));
  EXPECT_EQ(full.srtp, SipSrtp::kRequired);
  EXPECT_EQ(full.dtmf, SipDtmf::kInfo);
  EXPECT_EQ(full.rtp_port_low, 4000);
  EXPECT_EQ(full.rtp_port_high, 4010);
  EXPECT_EQ(full.rtp_timeout_s, 0);
  EXPECT_EQ(full.wave_id, 40u);
  EXPECT_EQ(full.keepalive_s, 0);
  ASSERT_TRUE(full.stun_server);
  EXPECT_EQ(full.stun_server->HostPort(), "stun.example.org:3478");
}

// A wrong key or value names the file line; a line without an account is refused.
TEST(SipSettingsTest, MistakesAreRefusedWithTheirLine) {
  EXPECT_EQ(Refusal({{"uri", "sip:a@b", 2}, {"colour", "red", 3}}),
            "line 3: unknown key 'colour' for the sip driver");
  EXPECT_EQ(Refusal({{"uri", "sip:a@b", 2}, {"transport", "sctp", 4}}),
            "line 4: bad value 'sctp' for transport");
  EXPECT_EQ(Refusal({{"uri", "sip:a@b", 2}, {"codecs", "pcmu,g729", 4}}),
            "line 4: bad value 'pcmu,g729' for codecs");
  EXPECT_EQ(Refusal({{"uri", "sip:a@b", 2}, {"codecs", "g722,g722", 4}}),
            "line 4: bad value 'g722,g722' for codecs");
  EXPECT_EQ(Refusal({{"uri", "sip:a@b", 2}, {"srtp", "yes", 4}}),
            "line 4: bad value 'yes' for srtp");
  EXPECT_EQ(Refusal({{"uri", "sip:a@b", 2}, {"rtp_ports", "5000-4000", 4}}),
            "line 4: bad value '5000-4000' for rtp_ports");
  EXPECT_EQ(Refusal({{"uri", "sip:a@b", 2}, {"rtp_timeout", "-1", 4}}),
            "line 4: bad value '-1' for rtp_timeout");
  EXPECT_EQ(Refusal({{"uri", "sip:a@b", 2}, {"stun_server", "stun:x", 4}}),
            "line 4: bad value 'stun:x' for stun_server");
  EXPECT_EQ(Refusal({{"uri", "sip:pbx.example.org", 2}}),
            "line 2: bad value 'sip:pbx.example.org' for uri");
  EXPECT_EQ(Refusal({{"register", "yes", 2}}), "the sip driver needs uri = sip:user@domain");
  // A scheme without its colon is no URI (it once read past the value's end).
  EXPECT_EQ(Refusal({{"uri", "sip", 2}}), "line 2: bad value 'sip' for uri");
  EXPECT_EQ(Parse({{"uri", "sip:a@b", 2}, {"outbound", "sips", 3}}).outbound->HostPort(), "sips");
}

// Numbers go to the account's domain (or the dial domain) with the prefix; a URI is used as it
// is; whatever could add headers or parameters to the INVITE is refused.
TEST(SipDialRulesTest, NumbersUrisAndSmuggling) {
  SipSettings settings = Parse({{"uri", "sip:alerts@pbx.example.org:5070", 2}});
  EXPECT_EQ(RequestUri(settings, "(206) 876-5412").value_or("refused"), "refused");  // blank
  EXPECT_EQ(RequestUri(settings, "206-876.5412").value_or(""),
            "sip:2068765412@pbx.example.org:5070");
  EXPECT_EQ(RequestUri(settings, "*72#").value_or(""), "sip:*72%23@pbx.example.org:5070");
  EXPECT_EQ(RequestUri(settings, "sip:bob@10.0.0.2;transport=tcp").value_or(""),
            "sip:bob@10.0.0.2;transport=tcp");
  EXPECT_EQ(RequestUri(settings, "SIPS:bob@host").value_or(""), "SIPS:bob@host");
  settings.dial_domain = "trunk.example.net";
  settings.dial_prefix = "00";
  EXPECT_EQ(RequestUri(settings, "+4930123").value_or(""), "sip:00+4930123@trunk.example.net");
  // A user name keeps its case and gets no prefix; one of the letters A-D alone is a number.
  EXPECT_EQ(RequestUri(settings, "Bob.Smith").value_or(""), "sip:Bob.Smith@trunk.example.net");
  EXPECT_EQ(RequestUri(settings, "bad").value_or(""), "sip:00BAD@trunk.example.net");

  for (const char* smuggled : {"123\r\nX-Evil: 1",
                               "123;user=phone",
                               "123?Subject=x",
                               "<sip:a@b>",
                               "\"123\"",
                               "12 3",
                               "sip:a@b?Subject=x",
                               "sip:a@b\r\nX: y",
                               "sip:a b@c",
                               "sip:a@b;x=\"y\"",
                               "sip:a@b>",
                               "sip:a;x@b",
                               "sip:a@b;",
                               "123,456",
                               "",
                               "-",
                               "bob@host",
                               "1bob",
                               "bob;x",
                               "b%6Fb"}) {
    EXPECT_FALSE(RequestUri(settings, smuggled).has_value()) << smuggled;
  }
}

class PasswordFileTest : public testing::Test {
 protected:
  PasswordFileTest()
      : path_(std::filesystem::temp_directory_path() /
              ("telvane_sip_password_" + std::to_string(::getpid()))) {}
  ~PasswordFileTest() override { std::filesystem::remove(path_); }
  void Write(const std::string& text, mode_t mode) {
    std::ofstream(path_) << text;
    ::chmod(path_.c_str(), mode);
  }
  std::filesystem::path path_;
};

// The first line is the password; a file others may read is refused without showing it.
TEST_F(PasswordFileTest, OwnerOnlyAndFirstLine) {
  SecretText password;
  std::string error;
  Write("s3cret\nignored\n", 0600);
  EXPECT_TRUE(ReadPasswordFile(path_, &password, &error)) << error;
  EXPECT_EQ(password.View(), "s3cret");

  for (const mode_t open_mode : {0640, 0604, 0620}) {
    Write("s3cret\n", open_mode);
    EXPECT_FALSE(ReadPasswordFile(path_, &password, &error)) << open_mode;
    EXPECT_NE(error.find("open to other users"), std::string::npos) << error;
    EXPECT_EQ(error.find("s3cret"), std::string::npos);
  }
  Write("\n", 0600);
  EXPECT_FALSE(ReadPasswordFile(path_, &password, &error));
  EXPECT_NE(error.find("is empty"), std::string::npos);
  EXPECT_FALSE(ReadPasswordFile(path_.string() + ".missing", &password, &error));
}

// The disconnect mode of each kind of end.
TEST(SipOutcomeTest, DisconnectModes) {
  using Cause = SipEnd::Cause;
  const struct {
    SipEnd end;
    DWORD mode;
  } cases[] = {
      {{Cause::kResponse, 486, true}, LINEDISCONNECTMODE_BUSY},
      {{Cause::kResponse, 600, false}, LINEDISCONNECTMODE_BUSY},
      {{Cause::kResponse, 404, false}, LINEDISCONNECTMODE_BADADDRESS},
      {{Cause::kResponse, 484, false}, LINEDISCONNECTMODE_BADADDRESS},
      {{Cause::kResponse, 604, false}, LINEDISCONNECTMODE_BADADDRESS},
      {{Cause::kResponse, 480, true}, LINEDISCONNECTMODE_NOANSWER},
      {{Cause::kResponse, 408, true}, LINEDISCONNECTMODE_NOANSWER},
      {{Cause::kResponse, 408, false}, LINEDISCONNECTMODE_UNREACHABLE},
      {{Cause::kResponse, 603, true}, LINEDISCONNECTMODE_REJECT},
      {{Cause::kResponse, 403, false}, LINEDISCONNECTMODE_REJECT},
      {{Cause::kResponse, 487, true}, LINEDISCONNECTMODE_NORMAL},
      {{Cause::kResponse, 503, false}, LINEDISCONNECTMODE_CONGESTION},
      {{Cause::kResponse, 488, false}, LINEDISCONNECTMODE_TEMPFAILURE},
      {{Cause::kResponse, 500, false}, LINEDISCONNECTMODE_TEMPFAILURE},
      {{Cause::kResponse, 302, false}, LINEDISCONNECTMODE_TEMPFAILURE},
      {{Cause::kRemoteBye, 0, true}, LINEDISCONNECTMODE_NORMAL},
      {{Cause::kRingTimeout, 0, true}, LINEDISCONNECTMODE_NOANSWER},
      {{Cause::kNoResponse, 0, false}, LINEDISCONNECTMODE_UNREACHABLE},
      {{Cause::kNetwork, 0, false}, LINEDISCONNECTMODE_UNREACHABLE},
      {{Cause::kAuthentication, 0, false}, LINEDISCONNECTMODE_REJECT},
      {{Cause::kLocalFailure, 0, false}, LINEDISCONNECTMODE_UNAVAIL},
      {{Cause::kNoUsableAudio, 0, true}, LINEDISCONNECTMODE_TEMPFAILURE},
      {{Cause::kSessionLost, 0, true}, LINEDISCONNECTMODE_NORMAL},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DisconnectModeFor(c.end), c.mode) << Describe(c.end);
  }
  // A refused media offer says so, with what the far end wrote, printable only.
  EXPECT_EQ(Describe({Cause::kResponse, 488, false,
                      "Not Acceptable Here; Warning: 305 pbx \"no SRTP\x1b[2J\""}),
            "the callee refused the media offer: 488 Not Acceptable Here; Warning: 305 pbx "
            "\"no SRTP?[2J\"");
  EXPECT_EQ(Describe({Cause::kResponse, 606, false, ""}),
            "the callee refused the media offer: 606");
  EXPECT_EQ(Describe({Cause::kResponse, 486, false, "Busy Here"}), "final response 486");
}

// Session-Expires and Min-SE as peers write them, and who refreshes a session the far end
// asks for; whatever is not a number of seconds is no value.
TEST(SipSessionTimerTest, HeadersAndTheRefresher) {
  using Refresher = SessionExpires::Refresher;
  const struct {
    const char* text;
    std::optional<uint32_t> seconds;
    Refresher refresher;
  } cases[] = {
      {"1800", 1800, Refresher::kUnset},
      {" 90 ;refresher=UAC", 90, Refresher::kUac},
      {"600;x=1;Refresher = uas", 600, Refresher::kUas},
      {"600;refresher=both", 600, Refresher::kUnset},
      {"4294967295", 4294967295u, Refresher::kUnset},
      {"4294967296", std::nullopt, Refresher::kUnset},
      {"", std::nullopt, Refresher::kUnset},
      {";refresher=uac", std::nullopt, Refresher::kUnset},
      {"-5", std::nullopt, Refresher::kUnset},
      {"90s", std::nullopt, Refresher::kUnset},
  };
  for (const auto& c : cases) {
    const std::optional<SessionExpires> parsed = ParseSessionExpires(c.text);
    ASSERT_EQ(parsed.has_value(), c.seconds.has_value()) << c.text;
    if (!parsed) continue;
    EXPECT_EQ(parsed->seconds, *c.seconds) << c.text;
    EXPECT_EQ(parsed->refresher, c.refresher) << c.text;
  }
  EXPECT_EQ(ParseMinSe("1200;x"), 1200u);
  EXPECT_EQ(ParseMinSe("x"), std::nullopt);

  // The UAC of the far end's request is the far end itself.
  const SessionExpires unset{90, Refresher::kUnset};
  EXPECT_EQ(RefresherOfPeerRequest({90, Refresher::kUac}, false), SessionRefresher::kPeer);
  EXPECT_EQ(RefresherOfPeerRequest({90, Refresher::kUas}, true), SessionRefresher::kUs);
  EXPECT_EQ(RefresherOfPeerRequest(unset, true), SessionRefresher::kPeer);
  EXPECT_EQ(RefresherOfPeerRequest(unset, false), SessionRefresher::kUs);
}

// The answer's SDP gives the codec, the key path and the address of the sound; an answer
// without usable audio is refused with its reason, whatever numbers it holds.
TEST(SdpAnswerTest, UsableAudioOrTheReason) {
  SdpOffer offer{*SocketAddress::Parse("192.0.2.10", 10004),
                 {SipCodec::kPcma, SipCodec::kPcmu, SipCodec::kG722}};
  std::string text;
  std::string error;
  ASSERT_TRUE(OfferText(offer, &text, &error)) << error;
  EXPECT_NE(text.find("m=audio 10004 RTP/AVP 8 0 9 101\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("a=rtpmap:9 G722/8000\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("crypto"), std::string::npos) << text;

  auto session = [](const std::string& address) {
    return "v=0\r\no=- 1 1 IN " + address + "\r\ns=-\r\nc=IN " + address + "\r\nt=0 0\r\n";
  };
  const std::string head = session("IP4 198.51.100.7");
  const SdpAnswer plain = ReadSdpAnswer(
      offer, head + "m=audio 31000 RTP/AVP 0 8 101\r\na=rtpmap:101 telephone-event/8000\r\n");
  ASSERT_TRUE(plain.media) << plain.refusal;
  EXPECT_EQ(plain.media->codec, SipCodec::kPcmu);  // the answer's order
  EXPECT_EQ(plain.media->payload, 0);
  EXPECT_EQ(plain.media->event_payload, 101);
  EXPECT_FALSE(plain.media->offered_event_payload);
  EXPECT_EQ(plain.media->keys, SipKeyPath::kRfc4733);
  EXPECT_EQ(plain.media->packet_ms, 20);
  EXPECT_FALSE(plain.media->srtp);
  EXPECT_EQ(plain.media->remote.ToString(), "198.51.100.7:31000");

  // Events on the answer's payload type and on ours; the answer's ptime.
  const SdpAnswer dynamic =
      ReadSdpAnswer(offer, head +
                               "m=audio 31000 RTP/AVP 96 97\r\na=rtpmap:96 PCMA/8000\r\n"
                               "a=rtpmap:97 telephone-event/8000\r\na=ptime:30\r\n");
  ASSERT_TRUE(dynamic.media) << dynamic.refusal;
  EXPECT_EQ(dynamic.media->codec, SipCodec::kPcma);
  EXPECT_EQ(dynamic.media->payload, 96);
  EXPECT_EQ(dynamic.media->event_payload, 97);
  EXPECT_EQ(dynamic.media->offered_event_payload, 101);
  EXPECT_EQ(dynamic.media->packet_ms, 30);
  // Ours is not taken where the answer uses it for something else.
  const SdpAnswer taken =
      ReadSdpAnswer(offer, head +
                               "m=audio 31000 RTP/AVP 101 97\r\na=rtpmap:101 PCMU/8000\r\n"
                               "a=rtpmap:97 telephone-event/8000\r\n");
  ASSERT_TRUE(taken.media) << taken.refusal;
  EXPECT_EQ(taken.media->payload, 101);
  EXPECT_FALSE(taken.media->offered_event_payload);

  // G.722 by its static payload type or its name, at RTP's 8000 Hz clock only; ptimes the line
  // does not send are 20 ms.
  for (const char* g722 : {"m=audio 1 RTP/AVP 9\r\na=ptime:25\r\n",
                           "m=audio 1 RTP/AVP 96\r\na=rtpmap:96 G722/8000\r\na=ptime:70\r\n",
                           "m=audio 1 RTP/AVP 9\r\na=ptime:x\r\n"}) {
    const SdpAnswer answer = ReadSdpAnswer(offer, head + g722);
    ASSERT_TRUE(answer.media) << answer.refusal;
    EXPECT_EQ(answer.media->codec, SipCodec::kG722) << g722;
    EXPECT_EQ(answer.media->packet_ms, 20) << g722;
  }

  const struct {
    std::string answer;
    std::string refusal;
  } refused[] = {
      {"", "the answer carries no SDP"},
      {"hello", "the answer's SDP cannot be read"},
      {head, "the answer has no audio stream"},
      {head + "m=audio 0 RTP/AVP 0\r\n", "the answer refuses the audio stream (port 0)"},
      {head + "m=audio 1 RTP/SAVP 0\r\n", "the answer refuses the audio stream (port 0)"},
      {head + "m=audio 1 RTP/AVP 18\r\n",
       "the answer takes none of the codecs offered (PCMA, PCMU, G722)"},
      {head + "m=audio 1 RTP/AVP 96\r\na=rtpmap:96 PCMU/16000\r\n",
       "the answer takes none of the codecs offered"},
      {head + "m=audio 1 RTP/AVP 96\r\na=rtpmap:96 G722/16000\r\n",
       "the answer takes none of the codecs offered"},
      {head + "m=audio 1 RTP/AVP 0\r\na=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:" +
           std::string(40, 'A') + "\r\n",
       "the answer holds an SRTP key, but none was offered (srtp = no)"},
      {head + "m=audio 1 RTP/AVP 0\r\na=sendonly\r\n", "the answer does not take our sound"},
      {head + "m=audio 1 RTP/AVP 0\r\na=inactive\r\n", "the answer does not take our sound"},
      {session("IP4 0.0.0.0") + "m=audio 1 RTP/AVP 0\r\n",
       "the answer names no address for the audio"},
      {session("IP6 2001:db8::7") + "m=audio 1 RTP/AVP 0\r\n",
       "the answer's audio address [2001:db8::7]:1 cannot be reached from 192.0.2.10:10004"},
  };
  for (const auto& r : refused) {
    const SdpAnswer answer = ReadSdpAnswer(offer, r.answer);
    EXPECT_FALSE(answer.media) << r.answer;
    EXPECT_EQ(answer.refusal.rfind(r.refusal, 0), 0u) << answer.refusal;
  }
}

// With srtp = offer the offer is RTP/AVP with a key for each suite; with required, RTP/SAVP.
// The answer's key must answer one of ours and be well formed; it gives both directions' keys.
// An answer without a key is plain RTP, unless SRTP is required.
TEST(SdpAnswerTest, SrtpKeysOfTheAnswer) {
  SdpOffer offer{*SocketAddress::Parse("192.0.2.10", 10004), {SipCodec::kPcmu}};
  offer.srtp = SipSrtp::kOffer;
  std::string error;
  ASSERT_TRUE(NewSdesCrypto(&offer.crypto, &error)) << error;
  std::string text;
  ASSERT_TRUE(OfferText(offer, &text, &error)) << error;
  EXPECT_NE(text.find("m=audio 10004 RTP/AVP 0 101\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("a=crypto:" + FormatSdesCrypto(offer.crypto[0]) + "\r\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("a=crypto:" + FormatSdesCrypto(offer.crypto[1]) + "\r\n"), std::string::npos)
      << text;

  const std::string theirs = "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNk";  // "ABC...abcd"
  const std::string head =
      "v=0\r\no=- 1 1 IN IP4 198.51.100.7\r\ns=-\r\nc=IN IP4 198.51.100.7\r\nt=0 0\r\n";
  const auto answer = [&](const std::string& profile, const std::string& crypto) {
    return ReadSdpAnswer(offer, head + "m=audio 31000 " + profile + " 0\r\n" + crypto);
  };
  for (const char* profile : {"RTP/SAVP", "RTP/AVP"}) {
    const SdpAnswer taken =
        answer(profile, "a=crypto:2 AES_CM_128_HMAC_SHA1_32 inline:" + theirs + "|2^31 WSH=64\r\n");
    ASSERT_TRUE(taken.media) << taken.refusal;
    ASSERT_TRUE(taken.media->srtp);
    EXPECT_EQ(taken.media->srtp->suite, SrtpSuite::kAesCm128HmacSha1_32);
    const auto send = taken.media->srtp->send.Bytes();
    const auto ours = offer.crypto[1].key.Bytes();
    EXPECT_TRUE(std::equal(send.begin(), send.end(), ours.begin()));
    const auto receive = taken.media->srtp->receive.Bytes();
    EXPECT_EQ(std::string(receive.begin(), receive.end()), "ABCDEFGHIJKLMNOPQRSTUVWXYZabcd");
  }
  const SdpAnswer plain = answer("RTP/AVP", "");
  ASSERT_TRUE(plain.media) << plain.refusal;
  EXPECT_FALSE(plain.media->srtp);

  const std::string good = " inline:" + theirs + "\r\n";
  const struct {
    std::string profile;
    std::string crypto;
    std::string refusal;
  } refused[] = {
      {"RTP/SAVP", "", "the answer asks for SRTP (RTP/SAVP) without a key"},
      {"RTP/AVP", "a=crypto:1 AES_CM_128_HMAC_SHA1_32" + good,
       "the answer's SRTP key is refused: it answers none of the keys offered (tag 1, "
       "AES_CM_128_HMAC_SHA1_32)"},
      {"RTP/AVP", "a=crypto:3 AES_CM_128_HMAC_SHA1_80" + good,
       "the answer's SRTP key is refused: it answers none of the keys offered (tag 3"},
      {"RTP/AVP",
       "a=crypto:1 AES_CM_128_HMAC_SHA1_80" + good + "a=crypto:2 AES_CM_128_HMAC_SHA1_32" + good,
       "the answer holds 2 SRTP keys (a=crypto), where one is taken"},
      {"RTP/AVP", "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:" + theirs.substr(4) + "\r\n",
       "the answer's SRTP key is refused: its key is not 30 bytes of base64"},
  };
  for (const auto& r : refused) {
    const SdpAnswer refusal = answer(r.profile, r.crypto);
    EXPECT_FALSE(refusal.media) << r.crypto;
    EXPECT_EQ(refusal.refusal.rfind(r.refusal, 0), 0u) << refusal.refusal;
  }

  offer.srtp = SipSrtp::kRequired;
  ASSERT_TRUE(OfferText(offer, &text, &error)) << error;
  EXPECT_NE(text.find("m=audio 10004 RTP/SAVP 0 101\r\n"), std::string::npos) << text;
  EXPECT_EQ(answer("RTP/AVP", "").refusal,
            "the answer takes no SRTP key, and the line requires SRTP (srtp = required)");
  EXPECT_TRUE(answer("RTP/SAVP", "a=crypto:1 AES_CM_128_HMAC_SHA1_80" + good).media);
}

// A new offer of the far end is answered on its own terms: its payload types and profile, the
// direction that answers its own, its other streams refused, and of its keys exactly one: the
// call's suite if it has one, else the 80-bit tag suite, whatever the offer's order; lines the
// line cannot use are passed over. A line without SRTP refuses RTP/SAVP and passes best-effort
// keys over; an encrypted call refuses offers and answers without a key.
TEST(SdpAnswerTest, NewOffersOfTheFarEnd) {
  SdpOffer ours{*SocketAddress::Parse("192.0.2.10", 10004), {SipCodec::kPcmu, SipCodec::kPcma}};
  ours.srtp = SipSrtp::kOffer;
  std::string error;
  ASSERT_TRUE(NewSdesCrypto(&ours.crypto, &error)) << error;
  const std::string key = "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNk";
  const auto line = [&](int tag, const char* suite, const std::string& extra = "") {
    return "a=crypto:" + std::to_string(tag) + " " + suite + " inline:" + key + extra + "\r\n";
  };
  const std::string k32 = line(3, "AES_CM_128_HMAC_SHA1_32");
  const std::string k80 = line(4, "AES_CM_128_HMAC_SHA1_80");
  const std::string mki = line(5, "AES_CM_128_HMAC_SHA1_80", "|1:4");
  const auto offer = [](const std::string& profile, const std::string& rest) {
    return "v=0\r\no=- 7 7 IN IP4 198.51.100.7\r\ns=-\r\nc=IN IP4 198.51.100.7\r\nt=0 0\r\n"
           "m=audio 31000 " +
           profile + " 18 96 97\r\na=rtpmap:96 PCMU/8000\r\na=rtpmap:97 telephone-event/8000\r\n" +
           rest;
  };
  const SipMedia plain_call;
  const SdpOfferTaken taken = ReadSdpOffer(
      ours, plain_call,
      offer("RTP/SAVP", mki + k32 + k80 + "a=recvonly\r\n") + "m=video 5 RTP/AVP 31\r\n");
  ASSERT_TRUE(taken.media) << taken.refusal;
  EXPECT_EQ(taken.media->payload, 96);
  EXPECT_EQ(taken.media->event_payload, 97);
  ASSERT_TRUE(taken.media->srtp);
  EXPECT_EQ(taken.media->srtp->suite, SrtpSuite::kAesCm128HmacSha1_80);
  EXPECT_TRUE(std::ranges::equal(taken.media->srtp->send.Bytes(), ours.crypto[0].key.Bytes()));
  const auto& theirs = taken.media->srtp->receive.Bytes();
  EXPECT_EQ(std::string(theirs.begin(), theirs.end()), "ABCDEFGHIJKLMNOPQRSTUVWXYZabcd");
  const std::string& answer = taken.answer;
  EXPECT_NE(answer.find("m=audio 10004 RTP/SAVP 96 97\r\n"), std::string::npos) << answer;
  EXPECT_NE(answer.find("a=sendonly\r\n"), std::string::npos) << answer;
  EXPECT_NE(answer.find("m=video 0 "), std::string::npos) << answer;
  EXPECT_EQ(answer.find("a=crypto:"), answer.rfind("a=crypto:")) << answer;
  EXPECT_NE(
      answer.find("a=crypto:" + FormatSdesCrypto({4, ours.crypto[0].suite, ours.crypto[0].key})),
      std::string::npos)
      << answer;

  // The suite the call has goes first; a plain call goes encrypted, or stays plain.
  SipMedia call_32;
  call_32.srtp = SrtpKeys{SrtpSuite::kAesCm128HmacSha1_32, {}, {}};
  const SdpOfferTaken kept = ReadSdpOffer(ours, call_32, offer("RTP/AVP", k80 + k32));
  ASSERT_TRUE(kept.media && kept.media->srtp) << kept.refusal;
  EXPECT_EQ(kept.media->srtp->suite, SrtpSuite::kAesCm128HmacSha1_32);
  EXPECT_NE(kept.answer.find("a=crypto:3 AES_CM_128_HMAC_SHA1_32 inline:"), std::string::npos);
  const SdpOfferTaken still_plain = ReadSdpOffer(ours, plain_call, offer("RTP/AVP", mki));
  ASSERT_TRUE(still_plain.media) << still_plain.refusal;
  EXPECT_FALSE(still_plain.media->srtp);
  EXPECT_EQ(still_plain.answer.find("crypto"), std::string::npos) << still_plain.answer;

  SdpOffer no_srtp = ours;
  no_srtp.srtp = SipSrtp::kNo;
  const SdpOfferTaken passed_over = ReadSdpOffer(no_srtp, plain_call, offer("RTP/AVP", k80));
  ASSERT_TRUE(passed_over.media) << passed_over.refusal;
  EXPECT_FALSE(passed_over.media->srtp);
  EXPECT_EQ(passed_over.answer.find("crypto"), std::string::npos) << passed_over.answer;

  EXPECT_EQ(
      ReadSdpOffer(ours, plain_call, offer("RTP/SAVP", mki)).refusal,
      "none of the offer's 1 SRTP keys is one the line takes (the first: its key has a master "
      "key identifier (MKI), which the line does not use), and it asks for SRTP (RTP/SAVP)");
  EXPECT_EQ(ReadSdpOffer(no_srtp, plain_call, offer("RTP/SAVP", k80)).refusal,
            "the offer asks for SRTP (RTP/SAVP), which the line does not use (srtp = no)");

  // The answer in an ACK to a call that is encrypted must hold a key too.
  const std::string plain_answer =
      "v=0\r\no=- 1 1 IN IP4 198.51.100.7\r\ns=-\r\nc=IN IP4 198.51.100.7\r\nt=0 0\r\n"
      "m=audio 31000 RTP/AVP 0\r\n";
  EXPECT_TRUE(ReadSdpAnswer(ours, plain_answer).media);
  EXPECT_EQ(ReadSdpAnswer(ours, plain_answer, CallEncryption::kSrtp).refusal,
            "the answer takes no SRTP key, and the call is encrypted (it never goes back to plain "
            "RTP)");
}

// Every body we send has our first offer's origin line; its version moves on only when the
// body changes.
TEST(SdpAnswerTest, OriginVersionMovesOnWithTheBody) {
  const std::string offer =
      "v=0\r\no=- 42 1000 IN IP4 192.0.2.10\r\ns=-\r\nm=audio 1 RTP/AVP 0 8\r\n";
  const std::string answer = "v=0\r\no=- 9 9 IN IP4 192.0.2.10\r\ns=-\r\nm=audio 1 RTP/AVP 0\r\n";
  SdpVersions versions(offer);
  EXPECT_EQ(versions.Stamp(offer), offer);
  const std::string stamped = versions.Stamp(answer);
  EXPECT_EQ(stamped, "v=0\r\no=- 42 1001 IN IP4 192.0.2.10\r\ns=-\r\nm=audio 1 RTP/AVP 0\r\n");
  EXPECT_EQ(versions.Stamp(answer), stamped);
  EXPECT_NE(versions.Stamp(offer).find("o=- 42 1002 IN IP4 192.0.2.10\r\n"), std::string::npos);
}

// Our keys are fresh for each offer and read back as written; what the far end writes is
// checked, and no refusal shows the key.
TEST(SdesCryptoTest, FormatParseAndRefusals) {
  std::vector<SdesCrypto> first;
  std::vector<SdesCrypto> second;
  std::string error;
  ASSERT_TRUE(NewSdesCrypto(&first, &error) && NewSdesCrypto(&second, &error)) << error;
  ASSERT_EQ(first.size(), 2u);
  EXPECT_NE(FormatSdesCrypto(first[0]), FormatSdesCrypto(second[0]));
  EXPECT_NE(FormatSdesCrypto(first[0]).substr(2), FormatSdesCrypto(first[1]).substr(2));
  for (const SdesCrypto& crypto : first) {
    const std::optional<SdesCrypto> read = ParseSdesCrypto(FormatSdesCrypto(crypto), &error);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ(read->tag, crypto.tag);
    EXPECT_EQ(read->suite, crypto.suite);
    EXPECT_TRUE(
        std::equal(read->key.Bytes().begin(), read->key.Bytes().end(), crypto.key.Bytes().begin()));
  }

  const std::string key = "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNk";
  EXPECT_TRUE(ParseSdesCrypto("7  AES_CM_128_HMAC_SHA1_80\tinline:" + key +
                                  "|1048576 "
                                  "UNENCRYPTED_SRTCP",
                              &error))
      << error;
  const struct {
    std::string value;
    std::string error;
  } refused[] = {
      {"", "it cannot be read"},
      {"x AES_CM_128_HMAC_SHA1_80 inline:" + key, "it cannot be read"},
      {"1234567890 AES_CM_128_HMAC_SHA1_80 inline:" + key, "it cannot be read"},
      {"1 AES_CM_128_HMAC_SHA1_80", "it cannot be read"},
      {"1 AES_256_CM_HMAC_SHA1_80 inline:" + key,
       "its suite AES_256_CM_HMAC_SHA1_80 is not one the line offers"},
      {"1 F8_128_HMAC_SHA1_80\x1b inline:" + key, "its suite F8_128_HMAC_SHA1_80? is not"},
      {"1 AES_CM_128_HMAC_SHA1_80 " + key, "its key is not given inline"},
      {"1 AES_CM_128_HMAC_SHA1_80 inline:" + key + "AAAA", "its key is not 30 bytes of base64"},
      {"1 AES_CM_128_HMAC_SHA1_80 inline:" + key.substr(0, 36) + "AA==",
       "its key is not 30 bytes of base64"},
      {"1 AES_CM_128_HMAC_SHA1_80 inline:" + key.substr(0, 39) + "-",
       "its key is not 30 bytes of base64"},
      {"1 AES_CM_128_HMAC_SHA1_80 inline:" + key + "|2^20|1:4", "its key has a master key"},
      {"1 AES_CM_128_HMAC_SHA1_80 inline:" + key + "|2^10", "its key's lifetime is shorter"},
      {"1 AES_CM_128_HMAC_SHA1_80 inline:" + key + "|2^99", "its key's lifetime cannot be read"},
      {"1 AES_CM_128_HMAC_SHA1_80 inline:" + key + ";inline:" + key, "it holds several keys"},
      {"1 AES_CM_128_HMAC_SHA1_80 inline:" + key + " UNENCRYPTED_SRTP",
       "it asks for UNENCRYPTED_SRTP, which the line does not support"},
      {"1 AES_CM_128_HMAC_SHA1_80 inline:" + key + " KDR=1", "it asks for KDR, which"},
      {"1 AES_CM_128_HMAC_SHA1_80 inline:" + key + " WSH", "it asks for WSH, which"},
  };
  for (const auto& r : refused) {
    error.clear();
    EXPECT_FALSE(ParseSdesCrypto(r.value, &error)) << r.value;
    EXPECT_EQ(error.rfind(r.error, 0), 0u) << r.value << ": " << error;
    EXPECT_EQ(error.find(key.substr(0, 8)), std::string::npos) << error;
  }
}

// A message goes into the log as its method or status and its Call-ID only: never the digest
// of its Authorization header, never a control character the far end wrote, nothing of a body.
TEST(SipTraceTest, SummaryKeepsOnlyWhatIsSafeToLog) {
  EXPECT_EQ(SipMessageSummary("INVITE sip:a@b SIP/2.0\r\nAuthorization: Digest response=\"f00\"\r\n"
                              "i: abc@host\r\n\r\nv=0"),
            "INVITE (call abc@host)");
  EXPECT_EQ(SipMessageSummary("SIP/2.0 180 Ring\x1b[2J\r\nCALL-ID : x\ty\r\n\r\n"),
            "180 Ring?[2J (call x?y)");
  EXPECT_EQ(SipMessageSummary("BYE sip:a@b SIP/2.0\r\nVia: v\r\n\r\nCall-ID: body"), "BYE (call )");
}

// One key per press: the start, its updates and the repeated end packets share a timestamp.
TEST(SipKeysTest, TelephoneEventsOncePerPress) {
  TelephoneEvents events;
  std::string keys;
  auto feed = [&](uint32_t ts, uint8_t event, bool end) {
    const uint8_t payload[4] = {event, static_cast<uint8_t>(end ? 0x8A : 0x0A), 0, 160};
    if (std::optional<char> key = events.OnPacket(ts, payload)) keys += *key;
  };
  for (int i = 0; i < 3; ++i) feed(1000, 5, false);
  for (int i = 0; i < 3; ++i) feed(1000, 5, true);
  feed(2000, 11, false);
  feed(2000, 11, true);
  feed(3000, 5, true);  // a press whose start was lost still counts, once
  feed(3000, 5, true);
  feed(4000, 16, false);  // flash: not a key
  EXPECT_EQ(keys, "5#5");
  EXPECT_FALSE(events.OnPacket(5000, std::span<const uint8_t>()).has_value());
}

TEST(SipKeysTest, InfoBodies) {
  EXPECT_EQ(InfoDigit("application/dtmf-relay", "Signal=5\r\nDuration=160\r\n"), '5');
  EXPECT_EQ(InfoDigit("Application/DTMF-Relay; charset=x", "Duration=100\nsignal = #\n"), '#');
  EXPECT_EQ(InfoDigit("application/dtmf-relay", "Signal=11\r\n"), '#');
  EXPECT_EQ(InfoDigit("application/dtmf", "7"), '7');
  EXPECT_EQ(InfoDigit("application/dtmf", "d\r\n"), 'D');
  EXPECT_FALSE(InfoDigit("application/dtmf-relay", "Duration=160\r\n"));
  EXPECT_FALSE(InfoDigit("application/dtmf-relay", "Signal=55\r\n"));
  EXPECT_FALSE(InfoDigit("text/plain", "5"));
}

// DTMF tones in the sound are heard once each, whatever the packet size.
TEST(SipKeysTest, InbandTones) {
  auto tone = [](double low, double high, size_t samples) {
    std::vector<int16_t> out(samples);
    for (size_t i = 0; i < samples; ++i) {
      const double t = static_cast<double>(i) / 8000;
      out[i] = static_cast<int16_t>(6000 *
                                    (std::sin(2 * M_PI * low * t) + std::sin(2 * M_PI * high * t)));
    }
    return out;
  };
  std::vector<int16_t> sound = tone(770, 1336, 800);  // '5', 100 ms
  sound.resize(sound.size() + 800, 0);
  const std::vector<int16_t> pound = tone(941, 1477, 800);
  sound.insert(sound.end(), pound.begin(), pound.end());
  sound.resize(sound.size() + 800, 0);
  const std::unique_ptr<InbandDtmf> detector = InbandDtmf::Create();
  ASSERT_TRUE(detector) << "the in-band DTMF module did not load";
  std::string keys;
  for (size_t at = 0; at < sound.size(); at += 160) {
    keys += detector->Feed(std::span<const int16_t>(sound).subspan(at, 160));
  }
  EXPECT_EQ(keys, "5#");
}

// The responses of RFC 7616's worked example (section 3.9.1) with MD5 and SHA-256. For
// SHA-512-256 the example of section 3.9.2 prints a response that does not follow from its
// own inputs; the one here is the RFC's formula over them, computed with Python's hashlib.
TEST(SipDigestTest, Rfc7616Responses) {
  const struct {
    const char* algorithm;
    const char* realm;
    const char* nonce;
    DigestRequest request;
    const char* response;
  } cases[] = {
      {"MD5",
       "http-auth@example.org",
       "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v",
       {"GET", "/dir/index.html", "Mufasa", "Circle of Life",
        "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ", 1},
       "8ca523f5e9506fed4657c9700eebdbec"},
      {"SHA-256",
       "http-auth@example.org",
       "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v",
       {"GET", "/dir/index.html", "Mufasa", "Circle of Life",
        "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ", 1},
       "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1"},
      {"SHA-512-256",
       "api@example.org",
       "5TsQWLVdgBdmrQ0XsxbDODV+57QdFR34I9HAbC/RVvkK",
       {"GET", "/doe.json", "J\xC3\xA4s\xC3\xB8n Doe", "Secret, or love?",
        "NTg6RKcb9boFIAS3KrFK9BGeh+iDa/sm6jUMp2wds69v", 1},
       "fb6ef9e02b43a49bf3ec1bb6aa122aef2970615c3818e2b13cb51cd4f3bcb2f7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.algorithm);
    const std::optional<DigestChallenge> challenge =
        ParseDigestChallenge(std::string("Digest realm=\"") + c.realm +
                             "\", qop=\"auth, auth-int\", algorithm=" + c.algorithm + ", nonce=\"" +
                             c.nonce + "\", opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPq\"");
    ASSERT_TRUE(challenge);
    const std::string header = DigestAuthorization(*challenge, c.request);
    EXPECT_NE(header.find(std::string("response=\"") + c.response + "\", algorithm=" + c.algorithm +
                          ", cnonce=\"" + std::string(c.request.cnonce) +
                          "\", qop=auth, nc=00000001, opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPq\""),
              std::string::npos)
        << header;
  }
}

// Of a server's challenges the first this client can answer is taken: another scheme, an
// unknown algorithm, auth-int alone are skipped, and a pinned realm skips the others. Each use
// of a nonce counts up; the same realm challenged again means refused credentials, unless the
// nonce was only stale.
TEST(SipDigestTest, ChoiceCountsAndRefusals) {
  const std::vector<std::string_view> offered = {
      "Basic realm=\"a\"", "Digest realm=\"a\", nonce=\"1\", algorithm=SHA3-256",
      "Digest realm=\"a\", nonce=\"2\", qop=\"auth-int\"",
      "Digest realm=\"b\", nonce=\"3\", algorithm=SHA-512-256, qop=\"auth\"",
      "Digest realm=\"c\", nonce=\"4\""};
  DigestAnswers answers;
  const DigestAnswers::Taken taken = answers.Take(DigestHeader::kWww, offered, "");
  EXPECT_EQ(taken.result, DigestAnswers::Result::kAnswered);
  EXPECT_EQ(taken.realm, "b");
  EXPECT_EQ(taken.algorithm, DigestAlgorithm::kSha512_256);
  const std::string first = answers.Headers("INVITE", "sip:bob@pbx", "alerts", "pw");
  EXPECT_EQ(first.rfind("Authorization: Digest username=\"alerts\", realm=\"b\", nonce=\"3\"", 0),
            0u)
      << first;
  EXPECT_NE(first.find("nc=00000001"), std::string::npos);
  EXPECT_NE(answers.Headers("ACK", "sip:bob@pbx", "alerts", "pw").find("nc=00000002"),
            std::string::npos);
  EXPECT_EQ(answers.Take(DigestHeader::kWww, offered, "").result,
            DigestAnswers::Result::kRefusedAgain);
  EXPECT_EQ(
      answers.Take(DigestHeader::kWww, {"Digest realm=\"b\", nonce=\"5\", stale=TRUE"}, "").result,
      DigestAnswers::Result::kAnswered);
  const std::string fresh = answers.Headers("INVITE", "sip:bob@pbx", "alerts", "pw");
  EXPECT_NE(fresh.find("nonce=\"5\""), std::string::npos) << fresh;
  EXPECT_EQ(fresh.find("cnonce"), std::string::npos) << "no qop offered: the RFC 2069 form";

  DigestAnswers pinned;
  EXPECT_EQ(pinned.Take(DigestHeader::kProxy, offered, "c").realm, "c");
  EXPECT_EQ(
      pinned.Headers("INVITE", "sip:bob@pbx", "alerts", "pw").rfind("Proxy-Authorization: ", 0),
      0u);
  const DigestAnswers::Taken other = DigestAnswers().Take(DigestHeader::kWww, offered, "pbx");
  EXPECT_EQ(other.result, DigestAnswers::Result::kOtherRealm);
  EXPECT_EQ(other.realm, "b");
}

// What could not be sent back safely in a header is no challenge: a control character, an
// unclosed quote, an overlong value, a missing realm. Quotes and backslashes are escaped again.
TEST(SipDigestTest, UnsafeChallengesAreRefused) {
  EXPECT_FALSE(ParseDigestChallenge("Digest realm=\"a\x01\", nonce=\"1\""));
  EXPECT_FALSE(ParseDigestChallenge("Digest realm=\"a\", nonce=\"1"));
  EXPECT_FALSE(ParseDigestChallenge("Digest realm=\"a\", nonce=\"" + std::string(600, 'n') + "\""));
  EXPECT_FALSE(ParseDigestChallenge("Digest nonce=\"1\""));
  const std::optional<DigestChallenge> quoted =
      ParseDigestChallenge(R"(Digest realm="a\"b\\c", nonce="1")");
  ASSERT_TRUE(quoted);
  EXPECT_EQ(quoted->realm, "a\"b\\c");
  EXPECT_NE(DigestAuthorization(*quoted, {"INVITE", "sip:x@y", "u", "p", "", 1})
                .find(R"(realm="a\"b\\c")"),
            std::string::npos);
}

}  // namespace
}  // namespace telvane::linesvc
