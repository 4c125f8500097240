// The wave mapper on the machine's default audio output, over ALSA. The tests name ALSA's
// "null" PCM through TELVANE_AUDIO_DEVICE, which takes sound without a sound card, so they
// pass on any machine, and a PCM name that exists nowhere for the machine without output.
#include "platform/posix/alsa_output.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_loop.h"
#include "platform/mmsystem.h"
#include "platform/wave_out.h"
#include "tests/support/wave_out_buffers.h"

namespace telvane::platform {
namespace {

using Samples = std::vector<int16_t>;

constexpr char kNoSuchOutput[] = "telvane_no_such_output";

// Sets TELVANE_AUDIO_DEVICE for the life of the object and puts back what was there.
class AudioDeviceOverride {
 public:
  explicit AudioDeviceOverride(const char* name) {
    if (const char* old = std::getenv("TELVANE_AUDIO_DEVICE")) saved_ = old;
    Set(name);
  }
  ~AudioDeviceOverride() { Set(saved_ ? saved_->c_str() : nullptr); }
  AudioDeviceOverride(const AudioDeviceOverride&) = delete;
  AudioDeviceOverride& operator=(const AudioDeviceOverride&) = delete;

 private:
  static void Set(const char* name) {
    if (name != nullptr) {
      setenv("TELVANE_AUDIO_DEVICE", name, /*overwrite=*/1);
    } else {
      unsetenv("TELVANE_AUDIO_DEVICE");
    }
  }
  std::optional<std::string> saved_;
};

WAVEFORMATEX LineFormat() { return {WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0}; }

// Completions come from the writer thread, so the loop runs on the real clock; a watchdog
// fails a test whose completions never come instead of letting it hang.
class AlsaTestBase : public testing::Test {
 protected:
  void RunUntil(const std::function<bool()>& done) {
    ASSERT_EQ(loop_.RunUntil(done, loop_.DeadlineAfter(10'000)), WaitResult::kReached)
        << "completions never came";
  }

  MessageLoop loop_{ClockMode::kReal};
};

struct Notice {
  uint32_t message;
  intptr_t lparam;
  bool operator==(const Notice&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Notice& n) {
  return out << "{0x" << std::hex << n.message << std::dec << " " << n.lparam << "}";
}

class WaveMapperTest : public AlsaTestBase {
 protected:
  ~WaveMapperTest() override {
    if (handle_ != nullptr) {
      wave::waveOutReset(handle_);
      wave::waveOutClose(handle_);
    }
  }

  MMRESULT Open(const WAVEFORMATEX& format, DWORD flags = CALLBACK_WINDOW) {
    return wave::waveOutOpen(&handle_, WAVE_MAPPER, &format, window_.Handle(), 0, flags);
  }
  WAVEHDR& Play(Samples samples) { return buffers_.Play(handle_, std::move(samples)); }
  size_t DoneCount() const {
    size_t count = 0;
    for (const Notice& n : notices_) count += n.message == MM_WOM_DONE ? 1 : 0;
    return count;
  }
  static intptr_t Address(const WAVEHDR& header) { return reinterpret_cast<intptr_t>(&header); }

  AudioDeviceOverride device_{"null"};
  std::vector<Notice> notices_;
  MessageWindow window_{[this](uint32_t message, uintptr_t wparam, intptr_t lparam) {
    EXPECT_EQ(wparam, reinterpret_cast<uintptr_t>(handle_));
    notices_.push_back({message, lparam});
  }};
  HWAVEOUT handle_ = nullptr;
  testing_wave::WaveOutBuffers buffers_;
};

// The mapper opens the default output, plays every buffer and gives each back once, in
// the order written, then closes with the notices a window expects.
TEST_F(WaveMapperTest, PlaysBuffersAndReportsThemInOrder) {
  ASSERT_EQ(Open(LineFormat()), MMSYSERR_NOERROR);
  ASSERT_NE(handle_, nullptr);
  for (int i = 0; i < 4; ++i) Play(Samples(1600, static_cast<int16_t>(1000 * i)));
  RunUntil([&] { return DoneCount() == 4; });
  std::vector<Notice> expected{{MM_WOM_OPEN, 0}};
  for (const WAVEHDR& header : buffers_.headers) expected.push_back({MM_WOM_DONE, Address(header)});
  EXPECT_EQ(notices_, expected);
  for (const WAVEHDR& header : buffers_.headers)
    EXPECT_EQ(header.dwFlags, WHDR_PREPARED | WHDR_DONE);
  ASSERT_EQ(wave::waveOutClose(handle_), MMSYSERR_NOERROR);
  loop_.RunUntilIdle();
  EXPECT_EQ(notices_.back(), (Notice{MM_WOM_CLOSE, 0}));
  handle_ = nullptr;
}

// Like the published mapper it converts what it can read without being asked to map:
// a stereo float file at 44.1 kHz plays; a format nothing here decodes is refused.
TEST_F(WaveMapperTest, ConvertsFormatsWithoutTheMappedFlag) {
  const WAVEFORMATEX float44k{WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 352800, 8, 32, 0};
  const WAVEFORMATEX adpcm{2, 1, 8000, 4096, 256, 4, 0};
  EXPECT_EQ(wave::waveOutOpen(nullptr, WAVE_MAPPER, &float44k, 0, 0, WAVE_FORMAT_QUERY),
            MMSYSERR_NOERROR);
  EXPECT_EQ(wave::waveOutOpen(nullptr, WAVE_MAPPER, &adpcm, 0, 0, WAVE_FORMAT_QUERY),
            WAVERR_BADFORMAT);
  EXPECT_EQ(Open(adpcm), WAVERR_BADFORMAT);
  EXPECT_EQ(handle_, nullptr);
  ASSERT_EQ(Open(float44k), MMSYSERR_NOERROR);
  std::vector<float> sound(2 * 4410, 0.25f);
  auto& header = buffers_.headers.emplace_back(WAVEHDR{});
  header.lpData = reinterpret_cast<LPSTR>(sound.data());
  header.dwBufferLength = static_cast<DWORD>(sound.size() * sizeof(float));
  ASSERT_EQ(wave::waveOutPrepareHeader(handle_, &header, sizeof header), MMSYSERR_NOERROR);
  ASSERT_EQ(wave::waveOutWrite(handle_, &header, sizeof header), MMSYSERR_NOERROR);
  RunUntil([&] { return DoneCount() == 1; });
  EXPECT_EQ(notices_.back(), (Notice{MM_WOM_DONE, Address(header)}));
}

// Reset gives back every queued buffer in order and the device plays on afterwards; no
// buffer comes back twice, whatever the writer had already reported.
TEST_F(WaveMapperTest, ResetGivesBuffersBackAndPlaysOn) {
  ASSERT_EQ(Open(LineFormat()), MMSYSERR_NOERROR);
  for (int i = 0; i < 3; ++i) Play(Samples(8000, 9));
  ASSERT_EQ(wave::waveOutReset(handle_), MMSYSERR_NOERROR);
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(buffers_.headers[i].dwFlags, WHDR_PREPARED | WHDR_DONE) << i;
  WAVEHDR& after = Play(Samples(800, 3));
  RunUntil([&] { return DoneCount() == 4; });
  loop_.RunUntilIdle();
  std::vector<Notice> expected{{MM_WOM_OPEN, 0}};
  for (const WAVEHDR& header : buffers_.headers) expected.push_back({MM_WOM_DONE, Address(header)});
  EXPECT_EQ(notices_, expected);
  EXPECT_EQ(after.dwFlags, WHDR_PREPARED | WHDR_DONE);
}

// With no default output the mapper is refused, for a query and an open alike, with a
// text that says why; nothing is opened and no window hears anything.
TEST_F(WaveMapperTest, RefusedWithoutADefaultOutput) {
  AudioDeviceOverride nowhere(kNoSuchOutput);
  const WAVEFORMATEX line = LineFormat();
  EXPECT_EQ(wave::waveOutOpen(nullptr, WAVE_MAPPER, &line, 0, 0, WAVE_FORMAT_QUERY),
            MMSYSERR_NODRIVER);
  EXPECT_EQ(Open(line), MMSYSERR_NODRIVER);
  EXPECT_EQ(Open(line, CALLBACK_WINDOW | WAVE_MAPPED), MMSYSERR_NODRIVER);
  EXPECT_EQ(handle_, nullptr);
  loop_.RunUntilIdle();
  EXPECT_TRUE(notices_.empty());
  char text[129];
  ASSERT_EQ(wave::waveOutGetErrorText(MMSYSERR_NODRIVER, text, sizeof text), MMSYSERR_NOERROR);
  EXPECT_STREQ(text, "No default audio output is available; play into a call instead.");
}

class AlsaOutputTest : public AlsaTestBase {
 protected:
  // A played callback that records its number and checks it runs on the loop thread.
  std::function<void()> Mark(int n) {
    return [this, n] {
      EXPECT_EQ(std::this_thread::get_id(), loop_thread_);
      heard_.push_back(n);
    };
  }

  std::vector<int> heard_;
  const std::thread::id loop_thread_ = std::this_thread::get_id();
};

// Writes are reported from the loop, in order, an empty one after those before it.
TEST_F(AlsaOutputTest, ReportsWritesInOrderFromTheLoop) {
  std::unique_ptr<WaveSink> sink = OpenAlsaOutput("null");
  ASSERT_NE(sink, nullptr);
  sink->Write(Samples(4000, 1), Mark(1));
  sink->Write(Samples{}, Mark(2));
  sink->Write(Samples(20000, 3), Mark(3));
  sink->Write(Samples(1, 4), Mark(4));
  EXPECT_TRUE(heard_.empty());  // only the loop runs them
  RunUntil([&] { return heard_.size() == 4; });
  EXPECT_EQ(heard_, (std::vector<int>{1, 2, 3, 4}));
}

// Reset runs none of the callbacks itself; the loop then runs each exactly once, in order,
// and writes after the reset are reported after them.
TEST_F(AlsaOutputTest, ResetReportsEveryWriteOnceFromTheLoop) {
  std::unique_ptr<WaveSink> sink = OpenAlsaOutput("null");
  ASSERT_NE(sink, nullptr);
  for (int i = 1; i <= 5; ++i) sink->Write(Samples(16000, 7), Mark(i));
  sink->Reset();
  EXPECT_TRUE(heard_.empty());
  sink->Write(Samples(80, 1), Mark(6));
  RunUntil([&] { return heard_.size() == 6; });
  loop_.RunUntilIdle();
  EXPECT_EQ(heard_, (std::vector<int>{1, 2, 3, 4, 5, 6}));
}

// Letting the output go while it still holds writes returns promptly and leaves nothing
// behind that would run later.
TEST_F(AlsaOutputTest, ClosingWithWritesQueuedIsPrompt) {
  std::unique_ptr<WaveSink> sink = OpenAlsaOutput("null");
  ASSERT_NE(sink, nullptr);
  for (int i = 1; i <= 3; ++i) sink->Write(Samples(80000, 2), Mark(i));
  const auto start = std::chrono::steady_clock::now();
  sink.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  loop_.RunUntilIdle();
  // Whatever had been heard before the close ran in order; nothing came twice.
  for (size_t i = 0; i < heard_.size(); ++i) EXPECT_EQ(heard_[i], static_cast<int>(i) + 1);
}

// A PCM that does not exist, or a thread without a loop to report to, gives no output.
TEST_F(AlsaOutputTest, NothingOpensWithoutADeviceOrALoop) {
  EXPECT_EQ(OpenAlsaOutput(kNoSuchOutput), nullptr);
  bool opened = true;
  std::thread([&] { opened = OpenAlsaOutput("null") != nullptr; }).join();
  EXPECT_FALSE(opened);
}

// The default output is ALSA's "default" unless TELVANE_AUDIO_DEVICE names another.
TEST(DefaultAudioOutputTest, NameComesFromTheEnvironment) {
  {
    AudioDeviceOverride unset(nullptr);
    EXPECT_EQ(DefaultAudioOutputName(), "default");
  }
  {
    AudioDeviceOverride empty("");
    EXPECT_EQ(DefaultAudioOutputName(), "default");
  }
  AudioDeviceOverride named("null");
  EXPECT_EQ(DefaultAudioOutputName(), "null");
  EXPECT_TRUE(DefaultAudioOutputAvailable());
  AudioDeviceOverride nowhere(kNoSuchOutput);
  EXPECT_FALSE(DefaultAudioOutputAvailable());
}

}  // namespace
}  // namespace telvane::platform
