// RFC 4028 session timers: the headers and the two deadlines of a session.
#include "linesvc/sip/sip_session_timer.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "linesvc/sip/re_include.h"

namespace telvane::linesvc {

namespace {

// How long before the end of the interval the side that does not refresh gives up on the
// session (RFC 4028 10): a third of the interval, 32 s at most.
constexpr uint64_t kMostExpiryMarginMs = 32'000;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool SameWord(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// The delta-seconds at the start of `*text` (which then holds what follows them).
std::optional<uint32_t> TakeSeconds(std::string_view* text) {
  *text = Trim(*text);
  uint64_t value = 0;
  size_t digits = 0;
  while (digits < text->size() && std::isdigit(static_cast<unsigned char>((*text)[digits]))) {
    value = value * 10 + static_cast<uint64_t>((*text)[digits] - '0');
    if (value > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    ++digits;
  }
  if (digits == 0) return std::nullopt;
  text->remove_prefix(digits);
  *text = Trim(*text);
  if (!text->empty() && text->front() != ';') return std::nullopt;
  return static_cast<uint32_t>(value);
}

}  // namespace

std::optional<SessionExpires> ParseSessionExpires(std::string_view value) {
  SessionExpires result;
  const std::optional<uint32_t> seconds = TakeSeconds(&value);
  if (!seconds) return std::nullopt;
  result.seconds = *seconds;
  while (!value.empty()) {
    value.remove_prefix(1);  // the ';'
    const size_t end = value.find(';');
    const std::string_view param = value.substr(0, end);
    value = end == std::string_view::npos ? std::string_view() : value.substr(end);
    const size_t equals = param.find('=');
    if (equals == std::string_view::npos) continue;
    if (!SameWord(Trim(param.substr(0, equals)), "refresher")) continue;
    const std::string_view who = Trim(param.substr(equals + 1));
    if (SameWord(who, "uac")) {
      result.refresher = SessionExpires::Refresher::kUac;
    } else if (SameWord(who, "uas")) {
      result.refresher = SessionExpires::Refresher::kUas;
    }
  }
  return result;
}

std::optional<uint32_t> ParseMinSe(std::string_view value) { return TakeSeconds(&value); }

SessionRefresher RefresherOfPeerRequest(const SessionExpires& asked, bool peer_supports_timer) {
  switch (asked.refresher) {
    case SessionExpires::Refresher::kUac:
      return SessionRefresher::kPeer;
    case SessionExpires::Refresher::kUas:
      return SessionRefresher::kUs;
    case SessionExpires::Refresher::kUnset:
      break;
  }
  return peer_supports_timer ? SessionRefresher::kPeer : SessionRefresher::kUs;
}

SipSessionTimer::SipSessionTimer(Handlers handlers)
    : handlers_(std::move(handlers)),
      refresh_timer_(std::make_unique<tmr>()),
      expiry_timer_(std::make_unique<tmr>()) {
  tmr_init(refresh_timer_.get());
  tmr_init(expiry_timer_.get());
}

SipSessionTimer::~SipSessionTimer() { Stop(); }

void SipSessionTimer::Agree(uint32_t seconds, SessionRefresher refresher) {
  seconds_ = std::max(seconds, kSessionExpiresShortest);
  refresher_ = refresher;
  const uint64_t interval_ms = uint64_t{seconds_} * 1000;
  tmr_cancel(refresh_timer_.get());
  if (refresher == SessionRefresher::kUs) {
    tmr_start(refresh_timer_.get(), interval_ms / 2, OnRefresh, this);
  }
  tmr_start(expiry_timer_.get(), interval_ms - std::min(kMostExpiryMarginMs, interval_ms / 3),
            OnExpiry, this);
}

void SipSessionTimer::RefreshAgainIn(uint64_t ms) {
  if (seconds_ == 0) return;
  tmr_start(refresh_timer_.get(), ms, OnRefresh, this);
}

void SipSessionTimer::Stop() {
  seconds_ = 0;
  tmr_cancel(refresh_timer_.get());
  tmr_cancel(expiry_timer_.get());
}

void SipSessionTimer::OnRefresh(void* arg) {
  static_cast<SipSessionTimer*>(arg)->handlers_.refresh();
}

void SipSessionTimer::OnExpiry(void* arg) {
  auto* timer = static_cast<SipSessionTimer*>(arg);
  const uint32_t seconds = timer->seconds_;
  timer->Stop();
  timer->handlers_.expired(seconds);
}

}  // namespace telvane::linesvc
