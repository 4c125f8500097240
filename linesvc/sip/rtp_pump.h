// The sound of an answered SIP call on a clock of its own.
//
// A thread of the call sends one RTP packet (of the answer's ptime, 20 ms unless it asks for
// another) at each absolute deadline of the real clock, whatever the application's thread is doing
// (its controller sleeps a whole second before and after each greeting): the samples the line-audio
// timeline handed over, zeros while none are due. Each sample goes out a fixed delay after its time
// on the timeline, so that a hand-over that comes a little late (the loop was busy when the write
// before ended) still leaves no gap; a sample handed over later than that goes out at once, right
// behind the one before it. Every few packets the thread reads, in one system call, whatever came
// in. Only what the call must report reaches the application's loop: the remote side's keys, the
// arrival of the callee's sound, its silence for longer than the line allows, and where the
// sound goes from then on. When the timeline reports a write played stays the timeline's
// business.
//
//   RtpPump pump(std::move(stream), loop, 10000, {.key = ..., .event = ..., ...});  // sending
//   pump.Queue(play, from, count);   // what the timeline hands over
//   pump.Cut();                      // a reset: what has not gone out is dropped
//   pump.Stop();                     // the last packet has gone; Sent() and Received() hold
//
// Threads: every member is called on the loop thread, and the reports run there, never after
// the pump is destroyed.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "linesvc/line_audio.h"
#include "linesvc/sip/rtp_stream.h"
#include "platform/message_loop.h"
#include "platform/timers.h"

namespace telvane::linesvc {

class RtpPump {
 public:
  struct Reports {
    std::function<void(char key)> key;                   // a key of the remote side
    std::function<void(const std::string& text)> event;  // a line for the event log
    std::function<void()> media_arrived;                 // the callee's first packet, once
    // No packet of the callee's for the silence limit, since the start or since the last
    // one: the reason, once.
    std::function<void(const std::string& why)> media_silent;
  };

  // Starts the thread (the call has just been answered); the first packet goes out at once.
  // A silence limit of 0 never reports silence.
  RtpPump(std::unique_ptr<RtpStream> stream, platform::MessageLoop& loop, int64_t silence_limit_ms,
          Reports reports);
  // Stops first.
  ~RtpPump();
  RtpPump(const RtpPump&) = delete;
  RtpPump& operator=(const RtpPump&) = delete;

  // Samples [from, from + count) of the write, which the timeline hands over now.
  void Queue(const LinePlay& play, size_t from, size_t count);
  // Drops every sample that has not gone out.
  void Cut();
  // The far end moved the media: the next packet goes to `media`, coded with `codec`, and keys
  // in tones are heard with `inband` (RtpStream::Follow); the silence limit counts from the
  // move, so the switch does not end the call.
  void Follow(const SipMedia& media, std::unique_ptr<VoiceCodec> codec,
              std::unique_ptr<InbandDtmf> inband);
  // Ends the thread after its next packet (one packet time at most); nothing is reported after
  // it.
  void Stop();

  // Packets sent and received; final once stopped.
  uint64_t Sent() const;
  uint64_t Received() const;  // the callee's
  uint64_t Ignored() const;   // not RTP, or not the callee's

 private:
  // Samples of one write that have not gone out.
  struct Pending {
    std::shared_ptr<const std::vector<int16_t>> samples;
    size_t next;
    size_t end;
    int64_t due;  // when samples[next] goes out, in samples of the loop's clock
  };

  // Media the far end moved to, their coder and their receiver of tones.
  struct Move {
    SipMedia media;
    std::unique_ptr<VoiceCodec> codec;
    std::unique_ptr<InbandDtmf> inband;
  };

  void Run();
  // Takes the packet time of the stream's media.
  void Pace();
  // Fills the frame that goes out at slot_ (loop clock, in samples). Under mutex_.
  void Fill(std::span<int16_t> frame);
  // Reads what came in; `now_ns` is the monotonic clock.
  void Receive(int64_t now_ns);

  platform::MessageLoop& loop_;
  const int64_t silence_limit_ns_;
  const Reports reports_;
  std::unique_ptr<RtpStream> stream_;  // the thread's while it runs
  std::atomic<bool> stopping_ = false;
  std::mutex mutex_;
  std::deque<Pending> pending_;  // under mutex_
  std::optional<Move> moved_;    // under mutex_: where the media go from the next packet
  int64_t slot_ = 0;             // under mutex_
  // The thread's own: the time of the sound in a packet of the stream's, and packets sent per
  // look at what came in (both set by Pace()); the callee's packets so far, and when the last
  // of them came in.
  int64_t packet_ns_ = 0;
  uint64_t receive_every_ = 1;
  uint64_t heard_ = 0;
  int64_t heard_at_ns_ = 0;
  bool silence_told_ = false;
  platform::TaskGroup reports_to_loop_{loop_};
  std::thread thread_;
};

}  // namespace telvane::linesvc
