// The answered SIP call's packet clock: a thread that sleeps to absolute deadlines, one packet
// time apart.
#include "linesvc/sip/rtp_pump.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace telvane::linesvc {

namespace {

constexpr int64_t kSamplesPerMs = kRtpSamplesPerMs;
// How far behind the timeline the packets go: a hand-over up to this late leaves no gap.
constexpr int64_t kDelayMs = 40;
// A wake-up this late (the machine was busy) moves the packet clock on rather than sending the
// missed packets in a burst that the far end would only drop.
constexpr int64_t kResyncNs = 60'000'000;
// How often the thread looks at what came in: a key heard 100 ms later makes no difference,
// and the call costs fewer system calls.
constexpr int kReceiveEveryMs = 100;

void Advance(timespec* time, int64_t ns) {
  const int64_t total = time->tv_nsec + ns;
  time->tv_sec += static_cast<time_t>(total / 1'000'000'000);
  time->tv_nsec = static_cast<long>(total % 1'000'000'000);
}

int64_t NsBetween(const timespec& from, const timespec& to) {
  return (static_cast<int64_t>(to.tv_sec) - from.tv_sec) * 1'000'000'000 +
         (to.tv_nsec - from.tv_nsec);
}

int64_t MonotonicNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return NsBetween(timespec{}, now);
}

}  // namespace

RtpPump::RtpPump(std::unique_ptr<RtpStream> stream, platform::MessageLoop& loop,
                 int64_t silence_limit_ms, Reports reports)
    : loop_(loop),
      silence_limit_ns_(silence_limit_ms * 1'000'000),
      reports_(std::move(reports)),
      stream_(std::move(stream)),
      slot_(loop.NowMs() * kSamplesPerMs) {
  heard_at_ns_ = MonotonicNs();
  Pace();
  thread_ = std::thread([this] { Run(); });
}

RtpPump::~RtpPump() { Stop(); }

void RtpPump::Queue(const LinePlay& play, size_t from, size_t count) {
  if (count == 0) return;
  const int64_t due =
      (play.base_ms + kDelayMs) * kSamplesPerMs + static_cast<int64_t>(play.first_sample + from);
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.push_back({play.samples, from, from + count, due});
}

void RtpPump::Cut() {
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.clear();
}

void RtpPump::Follow(const SipMedia& media, std::unique_ptr<VoiceCodec> codec,
                     std::unique_ptr<InbandDtmf> inband) {
  std::lock_guard<std::mutex> lock(mutex_);
  moved_ = Move{media, std::move(codec), std::move(inband)};
}

void RtpPump::Pace() {
  const auto samples = static_cast<int64_t>(stream_->FrameSamples());
  packet_ns_ = samples / kSamplesPerMs * 1'000'000;
  receive_every_ =
      static_cast<uint64_t>(std::max<int64_t>(1, kReceiveEveryMs * kSamplesPerMs / samples));
}

void RtpPump::Stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  thread_.join();
  reports_to_loop_.CancelAll();
}

uint64_t RtpPump::Sent() const { return stream_->Sent(); }

uint64_t RtpPump::Received() const { return stream_->Received(); }

uint64_t RtpPump::Ignored() const { return stream_->Ignored(); }

void RtpPump::Run() {
  std::vector<int16_t> frame(stream_->FrameSamples());
  uint64_t ticks = 0;
  timespec deadline{};
  ::clock_gettime(CLOCK_MONOTONIC, &deadline);
  while (!stopping_) {
    std::optional<Move> moved;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      moved.swap(moved_);
    }
    if (moved) {
      stream_->Follow(moved->media, std::move(moved->codec), std::move(moved->inband));
      heard_at_ns_ = MonotonicNs();
      Pace();  // the new media's packet time
      frame.resize(stream_->FrameSamples());
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Fill(frame);
    }
    stream_->Send(frame);
    timespec now{};
    if (++ticks % receive_every_ == 0) {
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      Receive(NsBetween(timespec{}, now));
    }
    Advance(&deadline, packet_ns_);
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t late_ns = NsBetween(deadline, now);
    if (late_ns > kResyncNs) {
      const int64_t skipped = late_ns / packet_ns_;
      const int64_t samples = skipped * static_cast<int64_t>(frame.size());
      Advance(&deadline, skipped * packet_ns_);
      stream_->Skip(static_cast<uint32_t>(samples));
      std::lock_guard<std::mutex> lock(mutex_);
      slot_ += samples;
    }
    // One system call a packet: a sleep to the absolute deadline, which a stop need not cut
    // short (it waits for one packet at most).
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
  }
}

void RtpPump::Fill(std::span<int16_t> frame) {
  size_t filled = 0;
  while (filled < frame.size() && !pending_.empty()) {
    Pending& front = pending_.front();
    const int64_t here = slot_ + static_cast<int64_t>(filled);
    if (front.due > here) {
      // Silence until the write is due.
      const size_t gap = std::min(frame.size() - filled, static_cast<size_t>(front.due - here));
      std::fill_n(frame.begin() + static_cast<long>(filled), gap, int16_t{0});
      filled += gap;
      continue;
    }
    // Due, or late: out now, right behind what went before.
    const size_t n = std::min(frame.size() - filled, front.end - front.next);
    std::copy_n(front.samples->begin() + static_cast<long>(front.next), n,
                frame.begin() + static_cast<long>(filled));
    filled += n;
    front.next += n;
    front.due += static_cast<int64_t>(n);
    if (front.next == front.end) pending_.pop_front();
  }
  std::fill(frame.begin() + static_cast<long>(filled), frame.end(), int16_t{0});
  slot_ += static_cast<int64_t>(frame.size());
}

void RtpPump::Receive(int64_t now_ns) {
  const std::string keys = stream_->Receive([this](const std::string& text) {
    reports_to_loop_.Post([this, text] { reports_.event(text); });
  });
  const uint64_t heard = stream_->Received();
  if (heard != heard_) {
    if (heard_ == 0) reports_to_loop_.Post([this] { reports_.media_arrived(); });
    heard_ = heard;
    heard_at_ns_ = now_ns;
  } else if (silence_limit_ns_ > 0 && !silence_told_ &&
             now_ns - heard_at_ns_ >= silence_limit_ns_) {
    silence_told_ = true;
    const std::string seconds = std::to_string(silence_limit_ns_ / 1'000'000'000) + " s";
    const std::string why = heard == 0
                                ? "no RTP from the callee within " + seconds + " of the answer"
                                : "no RTP from the callee for " + seconds;
    reports_to_loop_.Post([this, why] { reports_.media_silent(why); });
  }
  for (const char key : keys) {
    reports_to_loop_.Post([this, key] { reports_.key(key); });
  }
}

}  // namespace telvane::linesvc
