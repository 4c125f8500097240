#include "platform/wave_out.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_loop.h"
#include "platform/mmsystem.h"
#include "platform/posix/audio_convert.h"
#include "platform/wave_devices.h"
#include "tests/support/run_until_quiet.h"
#include "tests/support/wave_out_buffers.h"

namespace telvane::platform {
namespace {

using testing::RunUntilQuiet;

using Samples = std::vector<int16_t>;

// What the line heard, kept apart from the sink so that it outlives it.
struct LineLog {
  int sinks_opened = 0;
  int sinks_closed = 0;
  int resets = 0;
  Samples written;
};

// A line that plays in real time on the loop's clock: each write is heard after the one
// before it, 8 samples per millisecond, and reset drops what is not yet heard, reporting
// the dropped writes from the loop, in order, as the WaveSink contract asks.
class PacedSink : public WaveSink {
 public:
  explicit PacedSink(std::shared_ptr<LineLog> log) : log_(std::move(log)) { ++log_->sinks_opened; }
  ~PacedSink() override {
    for (const Pending& pending : *pending_) MessageLoop::Current()->CancelDelayedTask(pending.id);
    ++log_->sinks_closed;
  }

  void Write(Samples samples, std::function<void()> played) override {
    MessageLoop& loop = *MessageLoop::Current();
    const int64_t now = loop.NowMs();
    // Counted in samples, so that a write of any length ends where the next one starts.
    busy_until_ = std::max(busy_until_, now * 8) + static_cast<int64_t>(samples.size());
    written_since_reset_ += samples.size();
    log_->written.insert(log_->written.end(), samples.begin(), samples.end());
    const TaskId id = loop.PostDelayedTask((busy_until_ + 7) / 8 - now, [pending = pending_] {
      auto done = std::move(pending->front().played);
      pending->pop_front();
      done();
    });
    pending_->push_back({id, std::move(played)});
  }

  void Reset() override {
    ++log_->resets;
    MessageLoop& loop = *MessageLoop::Current();
    for (Pending& pending : *pending_) {
      loop.CancelDelayedTask(pending.id);
      loop.PostTask(std::move(pending.played));
    }
    pending_->clear();
    busy_until_ = loop.NowMs() * 8;
    written_since_reset_ = 0;
  }

  // All written but what is still to come before busy_until_.
  uint64_t SamplesHeard() const override {
    const int64_t ahead = std::max<int64_t>(0, busy_until_ - MessageLoop::Current()->NowMs() * 8);
    return written_since_reset_ - std::min<uint64_t>(written_since_reset_, ahead);
  }

 private:
  struct Pending {
    TaskId id;
    std::function<void()> played;
  };
  std::shared_ptr<LineLog> log_;
  std::shared_ptr<std::deque<Pending>> pending_ = std::make_shared<std::deque<Pending>>();
  int64_t busy_until_ = 0;  // in samples of the line's clock
  uint64_t written_since_reset_ = 0;
};

struct Notice {
  uint32_t message;
  uintptr_t wparam;
  intptr_t lparam;
  int64_t at_ms;
  bool operator==(const Notice&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Notice& n) {
  return out << "{0x" << std::hex << n.message << std::dec << " " << n.wparam << " " << n.lparam
             << " @" << n.at_ms << "}";
}

WAVEFORMATEX LineFormat() { return {WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0}; }

constexpr uint32_t kDevice = 41;

class WaveOutTest : public ::testing::Test {
 protected:
  WaveOutTest() {
    RegisterWaveOutDevice(kDevice, "test line",
                          [log = log_] { return std::make_unique<PacedSink>(log); });
  }
  ~WaveOutTest() override {
    if (handle_ != nullptr) {
      wave::waveOutReset(handle_);
      wave::waveOutClose(handle_);
    }
    UnregisterWaveOutDevice(kDevice);
  }

  MMRESULT Open(const WAVEFORMATEX& format, DWORD flags = CALLBACK_WINDOW | WAVE_MAPPED) {
    return wave::waveOutOpen(&handle_, kDevice, &format, window_.Handle(), 0, flags);
  }
  WAVEHDR& Play(Samples samples) { return buffers_.Play(handle_, std::move(samples)); }
  uintptr_t Handle() const { return reinterpret_cast<uintptr_t>(handle_); }
  Notice At(uint32_t message, intptr_t lparam, int64_t at_ms) const {
    return {message, Handle(), lparam, at_ms};
  }
  static intptr_t Address(const WAVEHDR& header) { return reinterpret_cast<intptr_t>(&header); }

  MessageLoop loop_{ClockMode::kVirtual};
  std::vector<Notice> notices_;
  MessageWindow window_{[this](uint32_t message, uintptr_t wparam, intptr_t lparam) {
    notices_.push_back({message, wparam, lparam, loop_.NowMs()});
  }};
  std::shared_ptr<LineLog> log_ = std::make_shared<LineLog>();
  HWAVEOUT handle_ = nullptr;
  testing_wave::WaveOutBuffers buffers_;
};

// A whole playback: open, one DONE per buffer in write order as each is heard, close; the
// line hears every sample once, and the header flags follow the buffer's journey.
TEST_F(WaveOutTest, BuffersAreHeardInOrderAndReportedToTheWindow) {
  ASSERT_EQ(Open(LineFormat()), MMSYSERR_NOERROR);
  EXPECT_EQ(log_->sinks_opened, 1);
  Samples all;
  for (int i = 0; i < 3; ++i) {
    Samples buffer(4000, static_cast<int16_t>(100 * (i + 1)));
    buffer[0] = static_cast<int16_t>(-i);
    all.insert(all.end(), buffer.begin(), buffer.end());
    WAVEHDR& header = Play(buffer);
    EXPECT_EQ(header.dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
  }
  RunUntilQuiet(loop_);
  EXPECT_EQ(notices_, (std::vector<Notice>{At(MM_WOM_OPEN, 0, 0),
                                           At(MM_WOM_DONE, Address(buffers_.headers[0]), 500),
                                           At(MM_WOM_DONE, Address(buffers_.headers[1]), 1000),
                                           At(MM_WOM_DONE, Address(buffers_.headers[2]), 1500)}));
  for (const WAVEHDR& header : buffers_.headers)
    EXPECT_EQ(header.dwFlags, WHDR_PREPARED | WHDR_DONE);
  EXPECT_EQ(log_->written, all);
  for (WAVEHDR& header : buffers_.headers) {
    EXPECT_EQ(wave::waveOutUnprepareHeader(handle_, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags, WHDR_DONE);
  }
  ASSERT_EQ(wave::waveOutClose(handle_), MMSYSERR_NOERROR);
  EXPECT_EQ(log_->sinks_closed, 1);
  RunUntilQuiet(loop_);
  EXPECT_EQ(notices_.back(), At(MM_WOM_CLOSE, 0, 1500));
  handle_ = nullptr;
}

// A queued buffer cannot be unprepared, written again, or the device closed under it; a
// header never prepared is not taken.
TEST_F(WaveOutTest, QueuedBuffersAreGuarded) {
  ASSERT_EQ(Open(LineFormat()), MMSYSERR_NOERROR);
  WAVEHDR& header = Play(Samples(80, 1));
  EXPECT_EQ(wave::waveOutUnprepareHeader(handle_, &header, sizeof header), WAVERR_STILLPLAYING);
  EXPECT_EQ(wave::waveOutWrite(handle_, &header, sizeof header), WAVERR_STILLPLAYING);
  EXPECT_EQ(wave::waveOutClose(handle_), WAVERR_STILLPLAYING);
  Samples data(80);
  WAVEHDR unprepared{};
  unprepared.lpData = reinterpret_cast<LPSTR>(data.data());
  unprepared.dwBufferLength = 160;
  EXPECT_EQ(wave::waveOutWrite(handle_, &unprepared, sizeof unprepared), WAVERR_UNPREPARED);
  EXPECT_EQ(wave::waveOutWrite(handle_, nullptr, sizeof(WAVEHDR)), MMSYSERR_INVALPARAM);
  EXPECT_EQ(wave::waveOutPrepareHeader(handle_, &unprepared, 16), MMSYSERR_INVALPARAM);
  RunUntilQuiet(loop_);
  EXPECT_EQ(log_->written.size(), 80u);  // the refused writes reached nothing
  EXPECT_EQ(wave::waveOutClose(handle_), MMSYSERR_NOERROR);
  handle_ = nullptr;
}

// Reset gives every queued buffer back at once, in order and marked done; the line drops
// the rest and later reports change nothing, so the device can close straight away.
TEST_F(WaveOutTest, ResetReturnsQueuedBuffersInOrder) {
  ASSERT_EQ(Open(LineFormat()), MMSYSERR_NOERROR);
  WAVEHDR& first = Play(Samples(8000, 5));
  WAVEHDR& second = Play(Samples(8000, 6));
  loop_.RunUntilIdle();
  loop_.AdvanceVirtualTime(200);
  ASSERT_EQ(wave::waveOutReset(handle_), MMSYSERR_NOERROR);
  EXPECT_EQ(log_->resets, 1);
  EXPECT_EQ(first.dwFlags, WHDR_PREPARED | WHDR_DONE);
  EXPECT_EQ(second.dwFlags, WHDR_PREPARED | WHDR_DONE);
  EXPECT_EQ(wave::waveOutUnprepareHeader(handle_, &first, sizeof first), MMSYSERR_NOERROR);
  RunUntilQuiet(loop_);
  EXPECT_EQ(notices_,
            (std::vector<Notice>{At(MM_WOM_OPEN, 0, 0), At(MM_WOM_DONE, Address(first), 200),
                                 At(MM_WOM_DONE, Address(second), 200)}));
  EXPECT_EQ(wave::waveOutClose(handle_), MMSYSERR_NOERROR);
  handle_ = nullptr;
}

// After a reset the device plays on: a new buffer is heard and reported once, at its time,
// untouched by what the line reports about the dropped ones.
TEST_F(WaveOutTest, PlaysOnAfterReset) {
  ASSERT_EQ(Open(LineFormat()), MMSYSERR_NOERROR);
  Play(Samples(8000, 5));
  ASSERT_EQ(wave::waveOutReset(handle_), MMSYSERR_NOERROR);
  WAVEHDR& next = Play(Samples(800, 7));
  RunUntilQuiet(loop_);
  ASSERT_EQ(notices_.size(), 3u);
  EXPECT_EQ(notices_[2], At(MM_WOM_DONE, Address(next), 100));
  EXPECT_EQ(next.dwFlags, WHDR_PREPARED | WHDR_DONE);
}

// An empty buffer still comes back, after those written before it.
TEST_F(WaveOutTest, EmptyBufferComesBack) {
  ASSERT_EQ(Open(LineFormat()), MMSYSERR_NOERROR);
  WAVEHDR& sound = Play(Samples(800, 1));
  WAVEHDR& empty = Play(Samples{});
  RunUntilQuiet(loop_);
  EXPECT_EQ(notices_,
            (std::vector<Notice>{At(MM_WOM_OPEN, 0, 0), At(MM_WOM_DONE, Address(sound), 100),
                                 At(MM_WOM_DONE, Address(empty), 100)}));
}

// Mapped sound is converted as one stream across buffers cut anywhere, even inside a
// frame, and the resampler's last milliseconds are heard before the last buffer comes back,
// so a caller that hangs up then has lost nothing: by that moment the line has heard what
// converting the whole at once and draining gives. Buffers queued together join exactly; a
// player that writes each buffer once the one before is done lets the line fall silent in
// between, and each join is then a trace off, without a gap or a repeat.
TEST_F(WaveOutTest, MappedSoundRunsOnAcrossBuffers) {
  const WAVEFORMATEX stereo16k{WAVE_FORMAT_PCM, 2, 16000, 64000, 4, 16, 0};
  Samples source;
  for (int i = 0; i < 16000; ++i) {
    const auto v = static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * 440 * i / 16000));
    source.push_back(v);
    source.push_back(v);
  }
  auto reference = LineAudioConverter::Create(&stereo16k, 16);
  std::span<const uint8_t> bytes{reinterpret_cast<const uint8_t*>(source.data()),
                                 source.size() * sizeof(int16_t)};
  Samples expected = reference->Convert(bytes);
  const Samples tail = reference->Drain();
  expected.insert(expected.end(), tail.begin(), tail.end());

  for (const auto& [one_at_a_time, tolerance] : {std::pair{false, 1}, std::pair{true, 32}}) {
    SCOPED_TRACE(one_at_a_time);
    log_->written.clear();
    notices_.clear();
    ASSERT_EQ(Open(stereo16k), MMSYSERR_NOERROR);
    std::vector<uint8_t> raw(bytes.begin(), bytes.end());
    std::deque<std::vector<uint8_t>> pieces;
    for (size_t at = 0; at < raw.size();) {
      const size_t size = std::min<size_t>(raw.size() - at, 9999);  // odd: splits frames
      pieces.emplace_back(raw.begin() + static_cast<ptrdiff_t>(at),
                          raw.begin() + static_cast<ptrdiff_t>(at + size));
      auto& header = buffers_.headers.emplace_back(WAVEHDR{});
      header.lpData = reinterpret_cast<LPSTR>(pieces.back().data());
      header.dwBufferLength = static_cast<DWORD>(size);
      ASSERT_EQ(wave::waveOutPrepareHeader(handle_, &header, sizeof header), MMSYSERR_NOERROR);
      ASSERT_EQ(wave::waveOutWrite(handle_, &header, sizeof header), MMSYSERR_NOERROR);
      if (one_at_a_time) RunUntilQuiet(loop_);
      at += size;
    }
    RunUntilQuiet(loop_);
    EXPECT_EQ(notices_.size(), 1 + pieces.size());
    ASSERT_EQ(log_->written.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      ASSERT_NEAR(log_->written[i], expected[i], tolerance) << i;
    }
    ASSERT_EQ(wave::waveOutClose(handle_), MMSYSERR_NOERROR);
    handle_ = nullptr;
    RunUntilQuiet(loop_);
    EXPECT_EQ(log_->written.size(), expected.size());
  }
}

// The position is what the line has heard since the open or the last reset, in frames (or
// bytes) of the opened format, not what it was given; a unit it does not count in is answered
// in bytes.
TEST_F(WaveOutTest, PositionCountsWhatTheLineHeard) {
  const WAVEFORMATEX stereo16k{WAVE_FORMAT_PCM, 2, 16000, 64000, 4, 16, 0};
  ASSERT_EQ(Open(stereo16k), MMSYSERR_NOERROR);
  Play(Samples(2 * 16000, 100));  // a second
  loop_.RunUntilIdle();
  MMTIME position{};
  position.wType = TIME_SAMPLES;
  ASSERT_EQ(wave::waveOutGetPosition(handle_, &position, sizeof position), MMSYSERR_NOERROR);
  EXPECT_EQ(position.u.sample, 0u) << "handed to the line, not heard yet";
  loop_.AdvanceVirtualTime(250);
  ASSERT_EQ(wave::waveOutGetPosition(handle_, &position, sizeof position), MMSYSERR_NOERROR);
  EXPECT_EQ(position.wType, TIME_SAMPLES);
  EXPECT_NEAR(position.u.sample, 4000, 100);
  position.wType = TIME_MS;
  ASSERT_EQ(wave::waveOutGetPosition(handle_, &position, sizeof position), MMSYSERR_NOERROR);
  EXPECT_EQ(position.wType, TIME_BYTES);
  EXPECT_NEAR(position.u.cb, 16000, 400);
  EXPECT_EQ(wave::waveOutGetPosition(handle_, &position, 4), MMSYSERR_INVALPARAM);
  ASSERT_EQ(wave::waveOutReset(handle_), MMSYSERR_NOERROR);
  ASSERT_EQ(wave::waveOutGetPosition(handle_, &position, sizeof position), MMSYSERR_NOERROR);
  EXPECT_EQ(position.u.cb, 0u);
}

// A query only answers: unmapped takes the line format alone, mapped any convertible
// one; nothing is opened and the handle is left alone.
TEST_F(WaveOutTest, QueryFollowsTheMappingRules) {
  const WAVEFORMATEX line = LineFormat();
  const WAVEFORMATEX float16k{WAVE_FORMAT_IEEE_FLOAT, 2, 16000, 128000, 8, 32, 0};
  const WAVEFORMATEX adpcm{2, 1, 8000, 4096, 256, 4, 0};
  EXPECT_EQ(wave::waveOutOpen(nullptr, kDevice, &line, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
  EXPECT_EQ(wave::waveOutOpen(nullptr, kDevice, &float16k, 0, 0, WAVE_FORMAT_QUERY),
            WAVERR_BADFORMAT);
  EXPECT_EQ(wave::waveOutOpen(nullptr, kDevice, &float16k, 0, 0, WAVE_FORMAT_QUERY | WAVE_MAPPED),
            MMSYSERR_NOERROR);
  EXPECT_EQ(wave::waveOutOpen(nullptr, kDevice, &adpcm, 0, 0, WAVE_FORMAT_QUERY | WAVE_MAPPED),
            WAVERR_BADFORMAT);
  EXPECT_EQ(log_->sinks_opened, 0);
  // A real open follows the same rules.
  EXPECT_EQ(Open(float16k, CALLBACK_WINDOW), WAVERR_BADFORMAT);
  EXPECT_EQ(handle_, nullptr);
  EXPECT_EQ(Open(float16k, CALLBACK_WINDOW | WAVE_MAPPED), MMSYSERR_NOERROR);
  EXPECT_EQ(log_->sinks_opened, 1);
}

// Device numbers nobody registered are refused, for a query and for an open alike.
TEST_F(WaveOutTest, UnknownDeviceIsRefused) {
  const WAVEFORMATEX line = LineFormat();
  EXPECT_EQ(wave::waveOutOpen(nullptr, kDevice + 1, &line, 0, 0, WAVE_FORMAT_QUERY),
            MMSYSERR_BADDEVICEID);
  EXPECT_EQ(wave::waveOutOpen(&handle_, kDevice + 1, &line, window_.Handle(), 0, CALLBACK_WINDOW),
            MMSYSERR_BADDEVICEID);
  EXPECT_EQ(handle_, nullptr);
  RunUntilQuiet(loop_);
  EXPECT_TRUE(notices_.empty());
}

// A driver that gives no sink for its device makes the open fail, not succeed silently.
TEST_F(WaveOutTest, RefusedSinkFailsTheOpen) {
  ASSERT_TRUE(RegisterWaveOutDevice(kDevice + 2, "busy line", [] { return nullptr; }));
  const WAVEFORMATEX line = LineFormat();
  EXPECT_EQ(wave::waveOutOpen(&handle_, kDevice + 2, &line, window_.Handle(), 0, CALLBACK_WINDOW),
            MMSYSERR_ALLOCATED);
  EXPECT_EQ(handle_, nullptr);
  UnregisterWaveOutDevice(kDevice + 2);
}

// A closed handle, or one never given out, is refused by every function; the window
// gets CLOSE once and nothing after it.
TEST_F(WaveOutTest, ClosedHandleIsRefused) {
  ASSERT_EQ(Open(LineFormat()), MMSYSERR_NOERROR);
  const HWAVEOUT closed = handle_;
  ASSERT_EQ(wave::waveOutClose(closed), MMSYSERR_NOERROR);
  handle_ = nullptr;
  WAVEHDR header{};
  EXPECT_EQ(wave::waveOutPrepareHeader(closed, &header, sizeof header), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(wave::waveOutUnprepareHeader(closed, &header, sizeof header), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(wave::waveOutWrite(closed, &header, sizeof header), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(wave::waveOutReset(closed), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(wave::waveOutClose(closed), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(wave::waveOutClose(reinterpret_cast<HWAVEOUT>(uintptr_t{0xDEAD0000})),
            MMSYSERR_INVALHANDLE);
  RunUntilQuiet(loop_);
  ASSERT_EQ(notices_.size(), 2u);
  EXPECT_EQ(notices_[1].message, MM_WOM_CLOSE);
  EXPECT_EQ(notices_[1].wparam, reinterpret_cast<uintptr_t>(closed));
}

// A device belongs to the loop of the thread that opened it: another thread is refused.
TEST_F(WaveOutTest, OtherThreadsCannotUseTheDevice) {
  ASSERT_EQ(Open(LineFormat()), MMSYSERR_NOERROR);
  MMRESULT from_other = MMSYSERR_NOERROR;
  std::thread([&] {
    MessageLoop other(ClockMode::kVirtual);
    from_other = wave::waveOutReset(handle_);
  }).join();
  EXPECT_EQ(from_other, MMSYSERR_INVALHANDLE);
  EXPECT_EQ(log_->resets, 0);
}

// Without a window, nothing is posted, and the buffers still come back marked done.
TEST_F(WaveOutTest, NoCallbackMeansNoNotices) {
  ASSERT_EQ(Open(LineFormat(), CALLBACK_NULL), MMSYSERR_NOERROR);
  WAVEHDR& header = Play(Samples(80, 3));
  RunUntilQuiet(loop_);
  EXPECT_TRUE(notices_.empty());
  EXPECT_EQ(header.dwFlags, WHDR_PREPARED | WHDR_DONE);
  constexpr DWORD kCallbackFunction = 0x00030000;
  HWAVEOUT other = nullptr;
  const WAVEFORMATEX line = LineFormat();
  EXPECT_EQ(wave::waveOutOpen(&other, kDevice, &line, 0, 0, kCallbackFunction),
            MMSYSERR_NOTSUPPORTED);
  EXPECT_EQ(wave::waveOutOpen(&other, kDevice, &line, 0, 0, 0x80000000), MMSYSERR_INVALFLAG);
  EXPECT_EQ(wave::waveOutOpen(&other, kDevice, nullptr, 0, 0, 0), MMSYSERR_INVALPARAM);
  EXPECT_EQ(other, nullptr);
}

// Every result the device gives has a plain text; texts are cut to fit with their end
// mark, and a number that is no result says so.
TEST(WaveOutErrorTextTest, TextsAreClearAndFit) {
  char text[129];
  for (const MMRESULT result :
       {MMSYSERR_NOERROR, MMSYSERR_ERROR, MMSYSERR_BADDEVICEID, MMSYSERR_NOTENABLED,
        MMSYSERR_ALLOCATED, MMSYSERR_INVALHANDLE, MMSYSERR_NODRIVER, MMSYSERR_NOMEM,
        MMSYSERR_NOTSUPPORTED, MMSYSERR_INVALFLAG, MMSYSERR_INVALPARAM, WAVERR_BADFORMAT,
        WAVERR_STILLPLAYING, WAVERR_UNPREPARED}) {
    SCOPED_TRACE(result);
    ASSERT_EQ(wave::waveOutGetErrorText(result, text, sizeof text), MMSYSERR_NOERROR);
    EXPECT_GT(std::strlen(text), 20u);
  }
  ASSERT_EQ(wave::waveOutGetErrorText(WAVERR_BADFORMAT, text, sizeof text), MMSYSERR_NOERROR);
  EXPECT_STREQ(text, "The wave format is not supported by the device.");
  ASSERT_EQ(wave::waveOutGetErrorText(WAVERR_BADFORMAT, text, 9), MMSYSERR_NOERROR);
  EXPECT_STREQ(text, "The wave");
  ASSERT_EQ(wave::waveOutGetErrorText(WAVERR_BADFORMAT, text, 1), MMSYSERR_NOERROR);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(wave::waveOutGetErrorText(77, text, sizeof text), MMSYSERR_BADERRNUM);
  EXPECT_STREQ(text, "Unknown wave output error 77.");
  EXPECT_EQ(wave::waveOutGetErrorText(WAVERR_BADFORMAT, nullptr, 10), MMSYSERR_INVALPARAM);
  EXPECT_EQ(wave::waveOutGetErrorText(WAVERR_BADFORMAT, text, 0), MMSYSERR_INVALPARAM);
}

// The registry takes one device per number, refuses the default output's number and
// empty factories, and forgets a device once unregistered.
TEST(WaveDeviceRegistryTest, RegistersAndForgets) {
  auto factory = []() -> std::unique_ptr<WaveSink> { return nullptr; };
  EXPECT_TRUE(RegisterWaveOutDevice(900, "one", factory));
  EXPECT_FALSE(RegisterWaveOutDevice(900, "again", factory));
  EXPECT_FALSE(RegisterWaveOutDevice(WAVE_MAPPER, "default", factory));
  EXPECT_FALSE(RegisterWaveOutDevice(901, "empty", nullptr));
  EXPECT_TRUE(HasWaveOutDevice(900));
  EXPECT_FALSE(HasWaveOutDevice(901));
  UnregisterWaveOutDevice(900);
  EXPECT_FALSE(HasWaveOutDevice(900));
  EXPECT_EQ(OpenWaveOutDevice(900), nullptr);
}

}  // namespace
}  // namespace telvane::platform
