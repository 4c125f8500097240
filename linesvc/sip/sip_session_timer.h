// Session timers of an answered SIP call (RFC 4028): the interval both sides agreed on, who
// refreshes the session, and when.
//
// The session is refreshed by a re-INVITE or an UPDATE (ours at half the interval when we are
// the refresher, the far end's otherwise). A session that no refresh renews ends: the side that
// does not refresh sends BYE a little before the interval is over (a third of it, at most 32 s,
// before), so a peer that vanished without a BYE does not keep the call open for ever.
//
//   SipSessionTimer timer({.refresh = [&] { SendUpdate(); }, .expired = [&] { SendBye(); }});
//   timer.Agree(1800, SessionRefresher::kUs);   // from the 2xx: refresh() at 900 s
//   timer.Stop();                               // no session timer (any more)
//
// The header parsers are plain functions (any thread); SipSessionTimer runs on libre's timers:
// libre thread only, and its handlers are never called after it is destroyed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

struct tmr;

namespace telvane::linesvc {

// The interval our INVITE asks for (RFC 4028 recommends 30 minutes) and the least any side
// may ask for.
inline constexpr uint32_t kSessionExpiresAsked = 1800;
inline constexpr uint32_t kSessionExpiresMinimum = 90;
// The shortest interval kept: a peer asking for less than the minimum is followed (it would
// end the call at its own interval) but never drives refreshes faster than this.
inline constexpr uint32_t kSessionExpiresShortest = 2;

// A Session-Expires header: "1800;refresher=uac".
struct SessionExpires {
  enum class Refresher { kUnset, kUac, kUas };
  uint32_t seconds = 0;
  Refresher refresher = Refresher::kUnset;
};

// Nullopt for a value that is not one (no number, a number out of range, a bad parameter).
std::optional<SessionExpires> ParseSessionExpires(std::string_view value);
// A Min-SE header: its delta-seconds.
std::optional<uint32_t> ParseMinSe(std::string_view value);

enum class SessionRefresher { kUs, kPeer };

// Who refreshes the session a request of the far end asks for, as its UAS must decide
// (RFC 4028 9): the refresher it names, else the far end itself when it supports timers.
SessionRefresher RefresherOfPeerRequest(const SessionExpires& asked, bool peer_supports_timer);

class SipSessionTimer {
 public:
  struct Handlers {
    std::function<void()> refresh;  // we refresh: send the refresh now
    // Nothing renewed the session of this many seconds in time: end the call.
    std::function<void(uint32_t seconds)> expired;
  };

  explicit SipSessionTimer(Handlers handlers);
  ~SipSessionTimer();
  SipSessionTimer(const SipSessionTimer&) = delete;
  SipSessionTimer& operator=(const SipSessionTimer&) = delete;

  // A session interval agreed, or renewed, now: its clock starts again.
  void Agree(uint32_t seconds, SessionRefresher refresher);
  // Our refresh did not go through (a glare): refresh() again in `ms`, unless the session
  // expires first.
  void RefreshAgainIn(uint64_t ms);
  void Stop();

  // The agreed interval in seconds, 0 with no session timer.
  uint32_t Seconds() const { return seconds_; }
  SessionRefresher Refresher() const { return refresher_; }

 private:
  static void OnRefresh(void* arg);
  static void OnExpiry(void* arg);

  Handlers handlers_;
  uint32_t seconds_ = 0;
  SessionRefresher refresher_ = SessionRefresher::kPeer;
  std::unique_ptr<tmr> refresh_timer_;  // libre's, which its header alone defines
  std::unique_ptr<tmr> expiry_timer_;
};

}  // namespace telvane::linesvc
