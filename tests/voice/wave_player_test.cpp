// Playing WAV files into a call on the simulated line, over the real binding, telephony
// service and wave output, on the virtual clock: the notifications and their order, the
// sound that reached the callee (the line's recording and event log), stopping,
// interrupting, and the refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/message_loop.h"
#include "platform/mmsystem.h"
#include "platform/tapi_binding.h"
#include "platform/wave_out.h"
#include "telephony/line_device.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/sim_lines.h"
#include "tests/support/wave_files.h"

namespace telvane {
namespace {

using namespace testing_wave;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Wave = WaveReport;

struct Notified {
  Wave message;
  int64_t ms;
  bool playing;      // the device's phase when the event fired
  bool output_open;  // whether it still had an output open
  bool operator==(const Notified&) const = default;
};

constexpr const char* kNumber = "5551234";

class WavePlayerTest : public ::testing::Test {
 protected:
  WavePlayerTest() {
    telvane::testing::SetEnvironment("TELVANE_STATE_DIR", (dir_ / "state").string());
    telvane::testing::SetEnvironment("TELVANE_LINES", (dir_ / "lines.ini").string());
    telvane::testing::SetEnvironment("TELVANE_LINES_LOG", (dir_ / "lines.log").string());
    platform::SetTapiLibraryName(TELVANE_LINESVC_PATH);
  }

  ~WavePlayerTest() override {
    device_.reset();
    platform::UnbindTapi();
  }

  // A voice line that records what the callee hears; its calls follow the script.
  void BuildVoiceLine(const std::string& script) {
    dir_.Write("lines.ini", telvane::testing::SimLines()
                                .Line("Sim Voice")
                                .Record((dir_ / "%n-%c.wav").string())
                                .Default(script)
                                .Text());
    device_ = std::make_unique<LineDevice>();
    device_->SetSelectedDevice("Sim Voice");
    device_->on_key = [this](char key) {
      digits_.push_back(key);
      notified_digit_at_.push_back(notified_.size());
    };
    device_->on_wave_report = [this](WaveReport report) {
      notified_.push_back(
          {report, loop_.NowMs(), Playing(), device_->Player().Output() != nullptr});
    };
  }

  // Dials and lets the call be answered.
  void Connect(const std::string& script = "answer after=500") {
    BuildVoiceLine(script);
    device_->Dial(kNumber);
    RunUntil([this] { return device_->CallConnected(); });
    connected_ms_ = loop_.NowMs();
  }

  bool Playing() const { return device_->Player().Playing(); }

  // Starts playing the file; each completion is kept, with the reports before it.
  void Play(const std::string& file_name) {
    device_->Play(file_name, [this](const PlayResult& result) {
      results_.push_back(result);
      completed_after_.push_back(notified_.size());
    });
  }

  // Runs until the condition holds; a minute of clock time without it fails the test.
  void RunUntil(const std::function<bool()>& done) {
    ASSERT_EQ(loop_.RunUntil(done, loop_.DeadlineAfter(60000)), platform::WaitResult::kReached)
        << "the awaited event never came";
  }

  void RunUntilDone() {
    RunUntil([this] { return Count(Wave::kClose) > 0 && !Playing(); });
  }

  std::string File(const std::string& name, const std::string& bytes) {
    return dir_.Write(name, bytes);
  }

  int Count(Wave message) const {
    return static_cast<int>(std::count_if(notified_.begin(), notified_.end(),
                                          [&](const Notified& n) { return n.message == message; }));
  }

  std::vector<Wave> Messages() const {
    std::vector<Wave> messages;
    for (const Notified& n : notified_) messages.push_back(n.message);
    return messages;
  }

  std::vector<int16_t> Heard(int call = 1) const {
    return ReadRecording(dir_ / (std::string(kNumber) + "-" + std::to_string(call) + ".wav"));
  }

  // The line's event log lines about sound, without their time stamps.
  std::vector<std::string> AudioLog() const {
    std::vector<std::string> lines;
    std::istringstream log(ReadFile(dir_ / "lines.log"));
    std::string line;
    while (std::getline(log, line)) {
      const auto at = line.find("audio: buffer");
      if (at != std::string::npos) lines.push_back(line.substr(at));
    }
    return lines;
  }

  // Runs the playback and returns the error it raised; fails the test if none was raised.
  ETapiWaveFail PlayFailure(const std::string& file_name) {
    try {
      Play(file_name);
    } catch (const ETapiWaveFail& error) {
      return error;
    }
    ADD_FAILURE() << "Play raised nothing";
    return ETapiWaveFail(std::string());
  }

  platform::MessageLoop loop_{platform::ClockMode::kVirtual};
  telvane::testing::ScratchDir dir_ = telvane::testing::ScratchDir::ForCurrentTest();
  std::unique_ptr<LineDevice> device_;
  int64_t connected_ms_ = 0;
  std::vector<char> digits_;
  std::vector<size_t> notified_digit_at_;
  std::vector<Notified> notified_;
  std::vector<PlayResult> results_;
  std::vector<size_t> completed_after_;  // how many reports came before each completion
};

// A whole playback: open after Play returns, done once the sound has been heard (the
// device already idle and closed), then close; the callee heard exactly the file's samples.
TEST_F(WavePlayerTest, ConnectedPlaybackIsHeardWholeThenReportsOpenDoneClose) {
  Connect();
  const std::vector<int16_t> samples = Ramp(12000);  // 1.5 s
  Play(File("hello.wav", LineWave(samples)));
  EXPECT_TRUE(Playing());
  EXPECT_TRUE(notified_.empty()) << "nothing is reported from inside Play";
  const int64_t start = loop_.NowMs();
  RunUntilDone();
  ASSERT_THAT(Messages(), ElementsAre(Wave::kOpen, Wave::kDone, Wave::kClose));
  EXPECT_EQ(notified_[0], (Notified{Wave::kOpen, start, true, true}));
  EXPECT_EQ(notified_[1], (Notified{Wave::kDone, start + 1500, false, false}));
  EXPECT_FALSE(notified_[2].playing);
  ASSERT_EQ(results_.size(), 1u) << "a playback completes once";
  EXPECT_EQ(completed_after_[0], 2u) << "completed right after its done";
  EXPECT_EQ(results_[0].end, PlayEnd::kFinished);
  EXPECT_TRUE(results_[0].carried_sound);
  EXPECT_EQ(Heard(), samples);
  EXPECT_THAT(AudioLog(),
              ElementsAre("audio: buffer of 12000 samples heard from " + std::to_string(start) +
                          " to " + std::to_string(start + 1500) + " ms, first of the call"));
}

// Two full buffers of data (96000 bytes) go over as two pieces with no gap between them and
// no empty third piece; a third playback piece of another size follows the same way.
TEST_F(WavePlayerTest, BufferSizedPiecesJoinWithoutAGap) {
  Connect();
  EXPECT_EQ(device_->Player().BufferSize(), 0);
  const std::vector<int16_t> two = Ramp(48000, 3);
  Play(File("two.wav", LineWave(two)));
  EXPECT_EQ(device_->Player().BufferSize(), 48000);
  RunUntilDone();
  EXPECT_EQ(Count(Wave::kDone), 1);
  const std::vector<std::string> log = AudioLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_THAT(log[0], HasSubstr("buffer of 24000 samples heard"));
  EXPECT_THAT(log[0], HasSubstr("first of the call"));
  EXPECT_THAT(log[1], HasSubstr("buffer of 24000 samples heard"));
  EXPECT_THAT(log[1], HasSubstr("no gap"));
  EXPECT_EQ(notified_[1].ms - notified_[0].ms, 6000);
  EXPECT_EQ(Heard(), two);

  notified_.clear();
  const std::vector<int16_t> longer = Ramp(30000, 4);  // one full piece and a shorter one
  Play(File("longer.wav", LineWave(longer)));
  RunUntilDone();
  EXPECT_THAT(Messages(), ElementsAre(Wave::kOpen, Wave::kDone, Wave::kClose));
  const std::vector<std::string> more = AudioLog();
  ASSERT_EQ(more.size(), 4u);
  EXPECT_THAT(more[2], HasSubstr("buffer of 24000 samples"));
  EXPECT_THAT(more[3], HasSubstr("buffer of 6000 samples"));
  EXPECT_THAT(more[3], HasSubstr("no gap"));
  std::vector<int16_t> both = two;
  both.insert(both.end(), longer.begin(), longer.end());
  EXPECT_EQ(Heard(), both);
}

// A file in another format is converted to the line's: 16 kHz stereo arrives as 8 kHz mono
// of the same duration and shape.
TEST_F(WavePlayerTest, OtherFormatsArriveConvertedToTheLineFormat) {
  Connect();
  const std::vector<int16_t> mono = Sine(16000, 400, 16000, 8000);  // 1 s at 16 kHz
  std::vector<int16_t> stereo;
  for (int16_t s : mono) stereo.insert(stereo.end(), {s, s});
  Play(File("stereo.wav", Riff("WAVE", Chunk("fmt ", PcmFormat(2, 16000, 16)) +
                                           Chunk("data", Samples16(stereo)))));
  RunUntilDone();
  EXPECT_THAT(Messages(), ElementsAre(Wave::kOpen, Wave::kDone, Wave::kClose));
  const std::vector<int16_t> heard = Heard();
  const std::vector<int16_t> expected = Sine(8000, 400, 8000, 8000);
  ASSERT_NEAR(static_cast<double>(heard.size()), 8000.0, 80.0);
  // Away from the edges, where the resampler starts and stops, the wave matches closely.
  double error = 0;
  int64_t best_shift = 0;
  double best = 1e18;
  for (int64_t shift = -40; shift <= 40; ++shift) {
    double sum = 0;
    for (size_t i = 500; i < 7000; ++i) {
      const double d = heard[i] - expected[static_cast<size_t>(static_cast<int64_t>(i) + shift)];
      sum += d * d;
    }
    if (sum < best) best = sum, best_shift = shift;
  }
  error = std::sqrt(best / 6500);
  EXPECT_LT(error, 400.0) << "shift " << best_shift;
}

// An empty data chunk hands over one empty buffer; its return ends the playback.
TEST_F(WavePlayerTest, EmptyDataChunkEndsAtOnce) {
  Connect();
  Play(File("empty.wav", LineWave({})));
  const int64_t start = loop_.NowMs();
  RunUntilDone();
  EXPECT_THAT(Messages(), ElementsAre(Wave::kOpen, Wave::kDone, Wave::kClose));
  EXPECT_EQ(notified_[1].ms, start);
  EXPECT_TRUE(Heard().empty());
}

// Hanging up stops the playback: it completes once, as the line gone, and done and close
// follow; the callee heard the sound up to the stop. A second Play while one runs is refused
// and changes nothing.
TEST_F(WavePlayerTest, HangUpCompletesThePlaybackOnceAsLineGone) {
  Connect();
  const std::vector<int16_t> samples = Ramp(80000);  // 10 s
  Play(File("long.wav", LineWave(samples)));
  loop_.RunFor(1000);
  EXPECT_THROW(Play(File("other.wav", LineWave(Ramp(800)))), ETapiWaveFail);
  ASSERT_THAT(Messages(), ElementsAre(Wave::kOpen));
  device_->HangUp();
  device_->HangUp();
  RunUntilDone();
  EXPECT_THAT(Messages(), ElementsAre(Wave::kOpen, Wave::kDone, Wave::kClose));
  EXPECT_EQ(notified_[1].ms, notified_[0].ms + 1000);
  ASSERT_EQ(results_.size(), 1u);
  EXPECT_EQ(results_[0].end, PlayEnd::kLineGone);
  EXPECT_EQ(Heard(), std::vector<int16_t>(samples.begin(), samples.begin() + 8000));
  EXPECT_THAT(AudioLog(), ElementsAre(HasSubstr("buffer of 24000 samples cut after 8000")));
  loop_.RunFor(1000);
  EXPECT_EQ(notified_.size(), 3u);
  EXPECT_EQ(results_.size(), 1u);
}

// Without a placed call there is no wave device: the request fails with the catalogue's
// wave error before the file is even opened (a file that is no WAV would fail otherwise).
TEST_F(WavePlayerTest, NoCallFailsBeforeTheFileIsOpened) {
  BuildVoiceLine("answer");
  const ETapiWaveFail error = PlayFailure(File("text.wav", "not a wave file at all"));
  EXPECT_EQ(error.ErrorCode(), -13936);
  EXPECT_EQ(error.Message(), "TAPI wave file error");
  loop_.RunFor(1000);
  EXPECT_TRUE(notified_.empty());
  EXPECT_FALSE(Playing());
}

// A call whose line names no wave device fails the same way.
TEST_F(WavePlayerTest, CallWithoutWaveDeviceFails) {
  Connect("answer after=500; nowave");
  EXPECT_EQ(PlayFailure(File("a.wav", LineWave(Ramp(10)))).ErrorCode(), -13936);
}

// A file that does not exist is reported as such, before anything else is asked.
TEST_F(WavePlayerTest, MissingFileIsFileNotFound) {
  BuildVoiceLine("answer");
  const ETapiWaveFail error = PlayFailure((dir_ / "missing.wav").string());
  EXPECT_EQ(error.ErrorCode(), -2);
  EXPECT_EQ(error.Message(), "File not found");
}

// Files that are not RIFF "WAVE" or lack a chunk where the walk needs it fail with the wave
// file error (no code), leave the device idle and never open the output.
TEST_F(WavePlayerTest, DamagedFilesFailWithTheWaveFileError) {
  Connect();
  const std::string fmt = Chunk("fmt ", PcmFormat(1, 8000, 16));
  const std::vector<std::pair<std::string, std::string>> files = {
      {"text", "RIFX this is not a wave file"},
      {"data before fmt", Riff("WAVE", Chunk("data", "abcd") + fmt)},
      {"no data", Riff("WAVE", fmt)},
      {"no fmt", Riff("WAVE", Chunk("data", "abcd"))},
  };
  for (const auto& [what, bytes] : files) {
    SCOPED_TRACE(what);
    const ETapiWaveFail error = PlayFailure(File("bad.wav", bytes));
    EXPECT_EQ(error.ErrorCode(), 0);
    EXPECT_EQ(error.Message(), "TAPI wave file error");
    EXPECT_FALSE(Playing());
  }
  loop_.RunFor(1000);
  EXPECT_TRUE(notified_.empty());
}

// A format the wave output cannot play is refused with the platform's text for it, and so
// is an extensible format that claims more bytes than its chunk holds (never read past).
TEST_F(WavePlayerTest, UnplayableFormatFailsWithThePlatformText) {
  Connect();
  const std::string mp3 =
      Le(0x55, 2) + Le(1, 2) + Le(8000, 4) + Le(1000, 4) + Le(1, 2) + Le(0, 2) + Le(0, 2);
  const std::string short_extensible =
      PcmFormat(1, 8000, 16).replace(0, 2, Le(0xFFFE, 2)) + Le(22, 2);
  char text[129] = {};
  wave::waveOutGetErrorText(WAVERR_BADFORMAT, text, sizeof text);
  for (const std::string& format : {mp3, short_extensible}) {
    const ETapiWaveFail error =
        PlayFailure(File("odd.wav", Riff("WAVE", Chunk("fmt ", format) + Chunk("data", "abcd"))));
    EXPECT_EQ(error.ErrorCode(), 0);
    EXPECT_EQ(error.Message(), text);
    EXPECT_FALSE(Playing());
  }
}

// A data chunk that claims more than the file holds plays exactly the bytes that are there:
// the third piece, short, is not padded with what its buffer held from the first piece.
TEST_F(WavePlayerTest, TruncatedDataChunkPlaysOnlyTheRealBytes) {
  Connect();
  const std::vector<int16_t> present = Ramp(48500, 5);  // two full pieces and 500 samples
  Play(File("cut.wav", Riff("WAVE", Chunk("fmt ", PcmFormat(1, 8000, 16)) +
                                        Chunk("data", Samples16(present), 200000))));
  RunUntilDone();
  EXPECT_THAT(Messages(), ElementsAre(Wave::kOpen, Wave::kDone, Wave::kClose));
  EXPECT_EQ(Heard(), present);
  EXPECT_THAT(AudioLog().back(), HasSubstr("buffer of 500 samples"));
}

// A key pressed while the greeting plays stops it: the digit is reported first, then the
// stopped playback's done and close, and it completes with the key; the callee heard the
// greeting up to the key.
TEST_F(WavePlayerTest, KeyDuringPlaybackStopsIt) {
  Connect("answer after=500; keys=heard+1250:7");
  const std::vector<int16_t> samples = Ramp(40000);
  Play(File("greeting.wav", LineWave(samples)));
  RunUntilDone();
  EXPECT_THAT(digits_, ElementsAre('7'));
  ASSERT_THAT(notified_digit_at_, ElementsAre(1u)) << "the key comes between open and done";
  EXPECT_THAT(Messages(), ElementsAre(Wave::kOpen, Wave::kDone, Wave::kClose));
  EXPECT_EQ(notified_[1].ms - notified_[0].ms, 1250);
  ASSERT_EQ(results_.size(), 1u);
  EXPECT_EQ(results_[0].end, PlayEnd::kKey);
  EXPECT_EQ(results_[0].key, '7');
  EXPECT_EQ(Heard(), std::vector<int16_t>(samples.begin(), samples.begin() + 10000));
}

// A buffer handed back twice is refused by the output when handed over again; the playback
// then ends with done and close instead of leaving the application waiting.
TEST_F(WavePlayerTest, RefusedHandOverEndsThePlaybackWithDone) {
  Connect();
  Play(File("long.wav", LineWave(Ramp(80000))));
  loop_.RunFor(100);
  // The header is still at the output, so handing it over again is refused.
  loop_.PostToWindow(device_->NotifyWindow().Handle(), MM_WOM_DONE,
                     reinterpret_cast<uintptr_t>(device_->Player().Output()), 0);
  RunUntilDone();
  EXPECT_THAT(Messages(), ElementsAre(Wave::kOpen, Wave::kDone, Wave::kClose));
  EXPECT_EQ(notified_[1].ms, notified_[0].ms + 100);
  EXPECT_EQ(device_->Player().Output(), nullptr);
  loop_.RunFor(10000);
  EXPECT_EQ(notified_.size(), 3u) << "the returned buffer of the closed output is not a second end";
  ASSERT_EQ(results_.size(), 1u);
  EXPECT_EQ(results_[0].end, PlayEnd::kLineGone);
  // The device plays again afterwards.
  notified_.clear();
  Play(File("short.wav", LineWave(Ramp(800))));
  RunUntilDone();
  EXPECT_THAT(Messages(), ElementsAre(Wave::kOpen, Wave::kDone, Wave::kClose));
}

// Destroying the device while it plays closes the output before the buffers go (the
// sanitizer build checks no freed buffer is touched), and nothing reaches it afterwards.
TEST_F(WavePlayerTest, DestroyingThePlayingDeviceIsClean) {
  Connect();
  Play(File("long.wav", LineWave(Ramp(80000))));
  loop_.RunFor(700);
  ASSERT_TRUE(Playing());
  std::vector<Wave> after;
  device_->on_wave_report = [&after](WaveReport report) { after.push_back(report); };
  device_.reset();
  loop_.RunFor(20000);
  EXPECT_THAT(Messages(), ElementsAre(Wave::kOpen));
  EXPECT_TRUE(after.empty());
  EXPECT_THAT(AudioLog(), ElementsAre(HasSubstr("cut after 5600")));
}

// A name longer than the platform's copy holds is refused clearly, never cut short; a name
// of exactly 255 characters is passed whole (here: to find that no such file exists).
TEST_F(WavePlayerTest, OverlongFileNameIsRefused) {
  Connect();
  const std::string prefix = dir_.Path().string() + "/";
  const ETapiWaveFail overlong = PlayFailure(prefix + std::string(256 - prefix.size(), 'x'));
  EXPECT_EQ(overlong.ErrorCode(), 0);
  EXPECT_THAT(overlong.Message(), HasSubstr("too long"));
  EXPECT_THAT(overlong.Message(), HasSubstr("255"));
  EXPECT_EQ(PlayFailure(prefix + std::string(255 - prefix.size(), 'x')).ErrorCode(), -2);
}

}  // namespace
}  // namespace telvane
