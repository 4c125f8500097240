// A line's sound path: the wave-output device a line driver registers for its calls, and the
// timeline that plays what the application writes into it at the pace of a telephone line.
// Every driver that carries sound uses it; a driver adds only how samples reach its line (a
// recording, a modem's codec over the serial port, RTP packets).
//
//   auto path = std::make_shared<LineAudioPath>();             // the line's, as long as it lives
//   auto device = LineAudioDevice::Register(wave_id, "line 2", LinePacing::Ahead(150, 20), path,
//                                           &error);
//   class CallSound : public SoundEnd { ... Send puts samples on the line ... };
//   path->Connect(call_sound);                                 // the call that carries it now
//   ... lineGetID("wave/out") names wave_id; the application opens it and plays ...
//
// Each open of the device gets a timeline of its own, on the clock of the loop that opened
// it. A write (16-bit, 8000 samples per second, mono) is a stretch of the timeline: a write
// that arrives by the time the one before it ends continues the timeline without a gap, one
// that arrives after a silence starts when it arrives, and nothing is sent while nothing is
// queued. The write's played callback runs, from the loop, when its last sample has been
// heard on the line, however far ahead the driver was handed it. Reset cuts the sound: what
// has not been heard is dropped, the output is told, and the played callbacks of the dropped
// writes still run, posted, in order. A device closed while it still holds sound plays it
// out first, as a line plays what was already sent to it.
//
// Sound counts only once the line carries it. A line that must be made ready first (a modem
// asked to start transmitting) says so through its output's CarriesSound: the timeline then
// hands over only what makes the line start and stands still until the driver calls
// NowCarriesSound, so nothing is reported played, or counted heard, that nobody could hear.
//
// Threads: Register and the device's destruction may happen on any thread; the output is
// called on the loop thread of the open whose sound it carries.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "linesvc/driver_kit.h"
#include "platform/tapi.h"

namespace telvane::linesvc {

// One write as the line plays it: its samples and where they lie on the timeline.
struct TELVANE_DRIVER_KIT LinePlay {
  uint64_t id = 0;  // unique in the process
  std::shared_ptr<const std::vector<int16_t>> samples;
  int64_t base_ms = 0;        // the clock time the timeline started
  uint64_t first_sample = 0;  // where samples[0] lies on that timeline

  size_t Size() const { return samples->size(); }
  // The clock time by which the first k samples have been heard (k == Size(): the end).
  int64_t TimeOf(uint64_t k) const;
  // How many samples have been heard by the clock time t, at most Size().
  uint64_t HeardBy(int64_t t) const;
};

// When the timeline hands sound to the output.
struct LinePacing {
  enum class Handover {
    kWholeWrite,  // each write whole, the moment its first sample is heard
    kAhead,       // every step_ms, the samples to be heard within lead_ms from now
  };
  Handover handover = Handover::kWholeWrite;
  int64_t lead_ms = 0;
  int64_t step_ms = 0;

  static LinePacing WholeWrites() { return {}; }
  // A lead rides over the loop's hiccups; it is also how much a stop can no longer take back.
  static LinePacing Ahead(int64_t lead_ms, int64_t step_ms) {
    return {Handover::kAhead, lead_ms, step_ms};
  }
};

class LineTimeline;  // line_audio.cpp

// Where a line's sound ends up: what the timeline hands over, and whether the line carries
// it. A line's output is one (LineAudioOutput), and so is the sound end of one call that the
// line's audio path reaches (LineAudioPath). Loop thread only.
class TELVANE_DRIVER_KIT SoundEnd {
 public:
  // Samples [from, from + count) of the write go to the line now; sample k is heard at
  // play.TimeOf(k). With whole writes, from is 0 and count the write's size (perhaps 0).
  virtual void Send(const LinePlay& play, size_t from, size_t count) = 0;
  // The write has been heard to its end; its played callback runs right after.
  virtual void Ended(const LinePlay& /*play*/) {}
  // Everything written has been handed over and nothing more is queued: the line falls
  // silent after it unless more comes. An output that holds sound back (a rate converter's
  // last milliseconds) sends it now.
  virtual void RunsDry() {}
  // A reset cut the sound now: of what was sent, only what was heard by now (the earlier
  // writes and play.HeardBy(now) samples of `play`, the write being heard) reaches the ear.
  virtual void Cut(const LinePlay& play) = 0;

  // Whether the line carries sound now; by default always. While it does not, every timeline
  // playing into this output stands still: it hands over at most what the line needs in order
  // to start (the hand-over at which it finds the line not carrying; for a modem, the samples
  // that make it start transmitting), then reports no write played, counts nothing more
  // heard (the wave output's position) and hands over nothing more until the output's
  // NowCarriesSound. A reset drops what it holds, as at any time. Timelines ask at each of
  // their steps, so a line that stops carrying is noticed at the next one. A held play never
  // ends on its own, so answer false only while the line may still start: a line whose call
  // has ended, or that has none, takes the sound into nothing as before, and whoever plays
  // into a line that fails stops the play. A device closed while held drops what it holds:
  // no line will play it out.
  virtual bool CarriesSound() const { return true; }

 protected:
  // Not deleted through this interface.
  ~SoundEnd() = default;
};

class LineTimeline;  // line_audio.cpp

// How samples reach one line: what a driver adds to the timeline. Loop thread only.
class TELVANE_DRIVER_KIT LineAudioOutput : public SoundEnd {
 protected:
  // Virtual so that the timeline, a friend, cannot be a way to delete an output by its base.
  virtual ~LineAudioOutput() = default;
  // The driver tells the timelines that the line carries sound from now on. Loop thread only.
  // Each held timeline goes on from this moment: the sound it had handed over counts as heard
  // from now, and what follows keeps its place behind it. Send calls made while it stood keep
  // the times they were given; later ones carry the moved times.
  void NowCarriesSound();

 private:
  friend class LineTimeline;
  // The timelines of the device's opens, to go on when the line carries sound; an entry goes
  // stale when its open is closed.
  std::vector<std::weak_ptr<LineTimeline>> timelines_;
};

// The output a driver registers for its line's wave device: the sound reaches the sound end
// connected to it, the line's current call's. With none connected the line takes the sound into
// nothing at its pace (telling `unheard`, when set, of each write) and carries it. Loop thread
// only.
class TELVANE_DRIVER_KIT LineAudioPath final : public LineAudioOutput {
 public:
  // The call's sound end, which the path reaches from now on.
  void Connect(SoundEnd& call) { call_ = &call; }
  // Disconnects the call's sound end if it is the one connected.
  void Disconnect(const SoundEnd& call) {
    if (call_ == &call) call_ = nullptr;
  }
  // Told of each write sent while no call is connected; empty for nobody.
  void SetUnheard(std::function<void(const LinePlay&)> unheard) { unheard_ = std::move(unheard); }

  // The connected call's line carries sound from now on (see CarriesSound).
  using LineAudioOutput::NowCarriesSound;

  void Send(const LinePlay& play, size_t from, size_t count) override;
  void Ended(const LinePlay& play) override;
  void RunsDry() override;
  void Cut(const LinePlay& play) override;
  bool CarriesSound() const override;

 private:
  SoundEnd* call_ = nullptr;
  std::function<void(const LinePlay&)> unheard_;
};

// Reads the `wave` key of a line: the number of its wave-output device, 0 to 4294967294
// (4294967295 is the number that means the default sound output). False with a sentence in
// *error for anything else.
TELVANE_DRIVER_KIT bool ParseWaveId(std::string_view text, DWORD* id, std::string* error);

// A wave-output device of a line, registered for as long as this object lives.
class TELVANE_DRIVER_KIT LineAudioDevice {
 public:
  // Registers wave-output device `wave_id` (`name` is for messages). Each open of it plays
  // through a timeline of its own into `output` while the output lives. Null with the reason
  // in *error when the number is taken.
  static std::unique_ptr<LineAudioDevice> Register(DWORD wave_id, const std::string& name,
                                                   LinePacing pacing,
                                                   std::weak_ptr<LineAudioOutput> output,
                                                   std::string* error);
  ~LineAudioDevice();
  LineAudioDevice(const LineAudioDevice&) = delete;
  LineAudioDevice& operator=(const LineAudioDevice&) = delete;

  DWORD WaveId() const { return wave_id_; }

 private:
  explicit LineAudioDevice(DWORD wave_id) : wave_id_(wave_id) {}
  const DWORD wave_id_;
};

}  // namespace telvane::linesvc
