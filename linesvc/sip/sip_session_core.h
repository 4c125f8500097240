// The libre side of one SIP call (SipSession::Core), shared by the files that implement it:
// sip_session.cpp (names, STUN, registration, INVITE, hang-up) and sip_session_callbacks.cpp
// (what libre reports). Nothing else includes it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "linesvc/sip/re_include.h"
#include "linesvc/sip/sdp_answer.h"
#include "linesvc/sip/sip_call_leg.h"
#include "linesvc/sip/sip_nat.h"
#include "linesvc/sip/sip_registration.h"
#include "linesvc/sip/sip_session.h"
#include "linesvc/sip/sip_tls.h"

namespace telvane::linesvc {

namespace internal {

// The names a call must look up before its first request; each answer has the address, or
// why there is none.
struct NameQueries {
  SipUri invite_hop;
  std::optional<SipUri> registrar_hop;
  std::optional<SipUri> stun_server;
};
struct NameAnswer {
  std::optional<SocketAddress> address;
  std::string how;
};
struct NameAnswers {
  NameAnswer invite_hop;
  std::optional<NameAnswer> registrar_hop;
  std::optional<NameAnswer> stun_server;
};

// An errno value with its text, for the event log.
inline std::string Errno(int err) {
  char text[128] = {};
  return std::to_string(err) + " (" + std::string(str_error(err, text, sizeof text)) + ")";
}

}  // namespace internal

// The libre side of one call. Made on the loop thread, used and destroyed on the libre thread;
// it keeps itself alive while it hangs up, until its SIP stack has closed.
class SipSession::Core : public std::enable_shared_from_this<SipSession::Core> {
 public:
  // Reports go to `observer` through `reports`, and are dropped once the session is gone.
  Core(SipCallPlan plan, platform::TaskGroup::Sender reports, SipSessionObserver& observer,
       ReThread& re)
      : plan_(std::move(plan)), reports_(std::move(reports)), observer_(observer), re_(re) {
    tmr_init(&response_timer_);
    tmr_init(&ring_timer_);
    tmr_init(&close_timer_);
  }

  ~Core() {
    re_.RemoveCloser(this);
    re_.RemoveDiagnosticsListener(this);
    phase_ = Phase::kClosed;
    FreeAll();
  }

  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  void Start();
  void Hangup();
  void Abandon();

 private:
  enum class Phase {
    kIdle,
    kPreparing,  // names looked up, STUN asked
    kRegistering,
    kInviting,
    kAnswered,
    kEnded,
    kClosing,
    kClosed
  };

  void Log(std::string text) {
    Report([text = std::move(text)](SipSessionObserver& o) { o.OnSipEvent(text); });
  }
  void Report(std::function<void(SipSessionObserver&)> report) {
    reports_.Post([&observer = observer_, report = std::move(report)] { report(observer); });
  }

  internal::NameQueries Queries() const;
  void Resolved(const internal::NameAnswers& answers);
  void AskStun(const SocketAddress& server);
  void Probed(const std::vector<std::optional<SocketAddress>>& mapped);
  void Proceed();
  bool MakeStack(std::string* error);
  bool MakeMedia(std::string* error);
  bool MakeOffer(std::string* error);
  void Register();
  void Invite();
  void Unregister();
  void End(const SipEnd& end);
  void Fail(SipEnd::Cause cause, const std::string& why) {
    Log(why);
    End(SipEnd{cause, 0, rang_});
  }
  SipEnd EndOfClose(int err, const struct sip_msg* msg) const;
  void Closed();
  void ForceClose();
  void FreeAll();

  // libre's callbacks.
  static void OnTrace(bool tx, enum sip_transp, const struct sa*, const struct sa*,
                      const uint8_t* pkt, size_t len, void* arg);
  static void OnRegistered(int err, const struct sip_msg* msg, void* arg);
  static void OnProgress(const struct sip_msg* msg, void* arg);
  static void OnEstablished(const struct sip_msg* msg, std::string_view sdp, void* arg);
  static void OnInfo(struct sip* sip, const struct sip_msg* msg, void* arg);
  static std::optional<std::string> OnMidCallOffer(std::string_view sdp, void* arg);
  static std::string OnOfferWanted(void* arg);
  static void OnMidCallAnswer(std::string_view sdp, void* arg);
  // The far end's SDP moves the media to `media` (unless they are the same).
  void Follow(const SipMedia& media);
  static void OnSessionLost(void* arg);
  static void OnClose(int err, const struct sip_msg* msg, void* arg);

  SipCallPlan plan_;
  const platform::TaskGroup::Sender reports_;
  SipSessionObserver& observer_;  // loop thread only, while the session lives
  ReThread& re_;
  std::shared_ptr<Core> self_;  // while hanging up after the session has gone
  Phase phase_ = Phase::kIdle;
  bool rang_ = false;
  bool proceeding_ = false;
  bool answered_by_peer_ = false;  // any response at all came

  SocketAddress local_address_;
  struct sa local_ {};
  SipNat nat_{[this](const std::string& text) { Log(text); }};
  std::string invite_route_;     // Route of the INVITE, or empty
  std::string registrar_route_;  // of the REGISTER
  std::unique_ptr<StunProbe> stun_;
  int sip_probe_fd_ = -1;  // the SIP socket's port while STUN is asked about it (UDP)
  uint16_t sip_port_ = 0;  // 0: any
  std::optional<SocketAddress> rtp_mapped_;  // the RTP socket as STUN sees it
  struct dnsc* dns_ = nullptr;
  std::unique_ptr<SipTls> tls_;
  struct sip* sip_ = nullptr;
  std::unique_ptr<SipCallLeg> leg_;
  std::unique_ptr<SipRegistration> registration_;
  SdpOffer offer_;
  std::string offer_body_;
  SdpVersions versions_;            // of every body we send after the INVITE's
  std::optional<SipMedia> media_;   // what the sound follows: the answer's, then a moved one's
  std::unique_ptr<RtpSocket> rtp_;  // until the answer hands it to the driver
  struct tmr response_timer_ {};
  struct tmr ring_timer_ {};
  struct tmr close_timer_ {};
};

}  // namespace telvane::linesvc
