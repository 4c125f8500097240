#include "voice/wave_player.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <utility>

#include "platform/errors.h"
#include "platform/os.h"
#include "platform/wave_format.h"
#include "platform/wave_out.h"

namespace telvane {

namespace {

// The platform's copy of a file name holds this many characters; a longer name is refused
// rather than cut short, which could open another file.
constexpr size_t kMaxWaveFileName = 255;

// Room for the platform's longest wave error text and its terminator.
constexpr UINT kWaveErrorTextSize = 129;

constexpr UINT kHeaderSize = sizeof(WAVEHDR);

// Posted to the window for a playback that ended without its last buffer coming back from
// the wave output; the number follows the device's own notification message.
constexpr uint32_t kPlayEndedMessage = 32438;

// The platform's text for a wave output's refusal.
std::string OutputErrorText(MMRESULT result) {
  char text[kWaveErrorTextSize] = {};
  wave::waveOutGetErrorText(result, text, kWaveErrorTextSize);
  text[kWaveErrorTextSize - 1] = '\0';
  return text;
}

// Whether the output has played any of what it was given since it was opened or reset. An
// output that cannot tell is taken to have played it, as a started playback always counted.
bool OutputHasPlayed(HWAVEOUT output) {
  MMTIME position{};
  position.wType = TIME_SAMPLES;
  if (wave::waveOutGetPosition(output, &position, sizeof position) != MMSYSERR_NOERROR) return true;
  switch (position.wType) {
    case TIME_SAMPLES:
      return position.u.sample > 0;
    case TIME_BYTES:
      return position.u.cb > 0;
    case TIME_MS:
      return position.u.ms > 0;
    default:
      return true;
  }
}

// What stops the player from playing a file, step by step in the order it takes them.
enum class FileFault {
  kNone,
  kNameTooLong,
  kMissing,
  kUnopenable,
  kNotWave,
  kNoFormat,
  kFormatUnreadable,
  kFormatDamaged,  // claims more bytes than its chunk holds
  kFormatRefused,  // the wave output cannot play it
  kNoData,
};

// Asks a wave output whether it can play a format: 0 or its refusal.
using FormatQuery = std::function<MMRESULT(const WAVEFORMATEX*)>;

// The steps before the wave output is chosen: the name and the file's existence.
FileFault CheckName(const std::string& file_name) {
  if (file_name.size() > kMaxWaveFileName) return FileFault::kNameTooLong;
  if (!platform::FileExists(file_name)) return FileFault::kMissing;
  return FileFault::kNone;
}

// The steps after it: the reader walked to the data, the format read whole and asked about.
// *refusal holds the output's answer for kFormatRefused.
FileFault WalkToData(WaveReader& reader, const std::string& file_name, const FormatQuery& query,
                     MMRESULT* refusal) {
  reader.Open(file_name);
  if (reader.FindForm() != 0) return reader.IsOpen() ? FileFault::kNotWave : FileFault::kUnopenable;
  if (reader.FindFormat() != 0) return FileFault::kNoFormat;
  if (!reader.ReadFormat()) return FileFault::kFormatUnreadable;
  if (!reader.FormatIsWhole()) return FileFault::kFormatDamaged;
  *refusal = query(reader.Format());
  if (*refusal != 0) return FileFault::kFormatRefused;
  if (reader.FindData() != 0) return FileFault::kNoData;
  return FileFault::kNone;
}

// The player's exceptions for the faults, as they have always read.
void RaiseFor(FileFault fault, MMRESULT refusal) {
  switch (fault) {
    case FileFault::kNone:
      return;
    case FileFault::kNameTooLong:
      throw ETapiWaveFail("Wave file name too long (at most " + std::to_string(kMaxWaveFileName) +
                          " characters)");
    case FileFault::kMissing:
      throw ETapiWaveFail(ecFileNotFound);
    case FileFault::kFormatUnreadable:
      throw ETapiWaveFail(ecTapiWaveReadError);
    case FileFault::kFormatDamaged:
      throw ETapiWaveFail(OutputErrorText(WAVERR_BADFORMAT));
    case FileFault::kFormatRefused:
      throw ETapiWaveFail(OutputErrorText(refusal));
    case FileFault::kUnopenable:
    case FileFault::kNotWave:
    case FileFault::kNoFormat:
    case FileFault::kNoData:
      throw ETapiWaveFail(MessageForCode(ecTapiWaveFail));
  }
}

}  // namespace

std::string WhyUnplayable(const std::string& file_name) {
  FileFault fault = CheckName(file_name);
  WaveReader reader;
  MMRESULT refusal = 0;
  if (fault == FileFault::kNone) {
    // No call has a wave output yet: the format is judged as a mapped output judges it.
    fault = WalkToData(reader, file_name, platform::QueryMappedFormat, &refusal);
  }
  switch (fault) {
    case FileFault::kNone:
      return {};
    case FileFault::kNameTooLong:
      return "its name is longer than " + std::to_string(kMaxWaveFileName) + " characters";
    case FileFault::kMissing:
      return "it does not exist";
    case FileFault::kUnopenable:
      return "it cannot be opened for reading";
    case FileFault::kNotWave:
      return "it is not a RIFF WAVE file";
    case FileFault::kNoFormat:
      return "it has no format chunk";
    case FileFault::kFormatUnreadable:
      return "its format chunk cannot be read";
    case FileFault::kFormatDamaged:
      return "its format chunk claims more bytes than it holds";
    case FileFault::kFormatRefused:
      return "its sound format cannot be played (" + OutputErrorText(refusal) + ")";
    case FileFault::kNoData:
      return "it has no data chunk after its format chunk";
  }
  return {};
}

WavePlayer::WavePlayer(platform::MessageWindow& window, LineOutputQuery line_output,
                       ReportHandler on_report)
    : window_(window), line_output_(std::move(line_output)), on_report_(std::move(on_report)) {}

WavePlayer::~WavePlayer() {
  playing_ = false;
  ReleaseBuffers();
  file_.Close();
}

void WavePlayer::Play(const std::string& file_name, PlayDone done) {
  // One playback at a time: the one under way must have ended, its completion called.
  if (playing_) throw ETapiWaveFail(ecTapiWaveDeviceInUse);
  RaiseFor(CheckName(file_name), 0);
  const UINT device = line_output_();

  // Until the output is open the reader is local: every failure below closes the file and
  // drops the format block with it.
  WaveReader reader;
  MMRESULT refusal = 0;
  const FileFault fault = WalkToData(
      reader, file_name,
      [device](const WAVEFORMATEX* format) {
        return wave::waveOutOpen(nullptr, device, format, 0, 0, WAVE_FORMAT_QUERY | WAVE_MAPPED);
      },
      &refusal);
  RaiseFor(fault, refusal);
  if (header_) ReleaseBuffers();
  buffer_size_ = (bits_per_sample_ / 8) * samples_per_sec_ * 3;
  data_size_ =
      static_cast<int32_t>(std::min<DWORD>(reader.DataSize(), std::numeric_limits<int32_t>::max()));
  position_ = 0;

  HWAVEOUT handle = nullptr;
  const MMRESULT opened =
      wave::waveOutOpen(&handle, device, reader.Format(), static_cast<DWORD_PTR>(window_.Handle()),
                        reinterpret_cast<DWORD_PTR>(this), CALLBACK_WINDOW | WAVE_MAPPED);
  // A wave output that is switched off is refused like any other: a playback that never
  // starts must not be waited for.
  if (opened != 0) throw ETapiWaveFail(OutputErrorText(opened));
  output_ = handle;
  carried_sound_ = false;
  reader.ReleaseFormat();  // the output keeps its own copy

  try {
    header_ = std::make_unique<WAVEHDR>();
    buffer1_ = std::make_unique<char[]>(static_cast<size_t>(buffer_size_));
    buffer2_ = std::make_unique<char[]>(static_cast<size_t>(buffer_size_));
    next_buffer_ = 0;
    file_ = std::move(reader);
    ReadChunk();
  } catch (...) {
    // Nothing has been handed over: the output is closed again and the file with it.
    file_.Close();
    ReleaseBuffers();
    throw;
  }
  done_ = std::move(done);
  stopped_by_.reset();
  key_ = '\0';
  playing_ = true;
  QueueBuffer();
}

void WavePlayer::Stop() {
  StopWith(PlayEnd::kLineGone, '\0');
  // Also a playback whose end is already on its way (an output that would not take the
  // sound) completes now: nothing of it reaches the owner after the hang-up.
  if (done_) {
    if (!stopped_by_) stopped_by_ = PlayEnd::kLineGone;
    Complete();
  }
}

void WavePlayer::StopForKey(char key) { StopWith(PlayEnd::kKey, key); }

void WavePlayer::StopWith(PlayEnd end, char key) {
  if (output_ == nullptr) return;
  // The first stop says why the playback ended.
  if (!stopped_by_) {
    stopped_by_ = end;
    key_ = key;
  }
  position_ = -1;
  // The output gives the buffer back (MM_WOM_DONE) and the ordinary end path runs.
  ResetOutput();
}

bool WavePlayer::CarriedSound() const {
  return carried_sound_ || (output_ != nullptr && OutputHasPlayed(output_));
}

void WavePlayer::NoteCarriedSound() {
  if (!carried_sound_ && output_ != nullptr) carried_sound_ = OutputHasPlayed(output_);
}

void WavePlayer::ResetOutput() {
  NoteCarriedSound();
  wave::waveOutReset(output_);
}

bool WavePlayer::OnWindowMessage(uint32_t message, uintptr_t wparam) {
  // Each report comes after the player's own handling, so the one who hears kDone finds the
  // player idle, and the completion comes after it.
  switch (message) {
    case MM_WOM_OPEN:
      Report(WaveReport::kOpen);
      return true;
    case MM_WOM_DONE:
      if (BufferReturned(reinterpret_cast<HWAVEOUT>(wparam))) {
        Report(WaveReport::kDone);
        Complete();
      }
      return true;
    case MM_WOM_CLOSE:
      OutputClosed();
      Report(WaveReport::kClose);
      return true;
    case kPlayEndedMessage:
      Report(WaveReport::kDone);
      Complete();
      return true;
    default:
      return false;
  }
}

void WavePlayer::Complete() {
  const PlayResult result{stopped_by_.value_or(PlayEnd::kFinished), key_, carried_sound_};
  stopped_by_.reset();
  key_ = '\0';
  // Taken out first: the completion may start the next playback.
  if (PlayDone done = std::exchange(done_, nullptr)) done(result);
}

void WavePlayer::Report(WaveReport report) {
  if (on_report_) on_report_(report);
}

void WavePlayer::ReadChunk() {
  const int64_t left = static_cast<int64_t>(data_size_) - position_;
  chunk_length_ = static_cast<int32_t>(std::min<int64_t>(left, buffer_size_));
  char* buffer = next_buffer_ == 2 ? buffer2_.get() : buffer1_.get();
  if (next_buffer_ == 0) next_buffer_ = 1;
  const LONG got = file_.Read(buffer, chunk_length_);
  if (got == -1) {
    // The piece already at the output still plays; its return ends the playback.
    position_ = -1;
    throw ETapiWaveFail(ecTapiWaveReadError);
  }
  if (got < chunk_length_) {
    // The file holds less than its data chunk claims: the sound ends where the file does,
    // and the rest of the buffer, left from an earlier piece, is never played.
    chunk_length_ = got;
    data_size_ = position_ + got;
  }
}

void WavePlayer::QueueBuffer() {
  if (next_buffer_ == 1) {
    header_->lpData = buffer1_.get();
    next_buffer_ = 2;
  } else {
    header_->lpData = buffer2_.get();
    next_buffer_ = 1;
  }
  header_->dwBufferLength = static_cast<DWORD>(chunk_length_);
  wave::waveOutPrepareHeader(output_, header_.get(), kHeaderSize);
  if (wave::waveOutWrite(output_, header_.get(), kHeaderSize) != 0) {
    wave::waveOutUnprepareHeader(output_, header_.get(), kHeaderSize);
    EndRefused();
    return;
  }
  position_ += chunk_length_;
  if (position_ >= data_size_) position_ = -1;
  if (position_ != -1) ReadChunk();
}

// The output would not take the buffer, so no buffer may come back to end the playback:
// it ends here, as if the line had gone, rather than leave the application waiting.
void WavePlayer::EndRefused() {
  if (!stopped_by_) stopped_by_ = PlayEnd::kLineGone;
  file_.Close();
  ReleaseBuffers();
}

bool WavePlayer::BufferReturned(HWAVEOUT handle) {
  // A buffer of an output closed earlier: that playback's end was reported when it closed.
  if (output_ == nullptr || handle != output_) return false;
  wave::waveOutUnprepareHeader(handle, header_.get(), kHeaderSize);
  if (position_ == -1) {
    CloseOutput();
    file_.Close();
    playing_ = false;
    ReleaseBuffers();
    return true;
  }
  QueueBuffer();
  return false;
}

void WavePlayer::OutputClosed() {
  // The close of an earlier output may come after a new playback has opened its own; the
  // new one is still playing.
  if (output_ == nullptr) playing_ = false;
}

void WavePlayer::CloseOutput() {
  if (output_ == nullptr) return;
  NoteCarriedSound();
  wave::waveOutClose(std::exchange(output_, nullptr));
}

void WavePlayer::ReleaseBuffers() {
  if (output_ != nullptr) {
    // The output may still hold the header and a buffer: it gives them back on reset, and
    // only then may they be freed. A playback cut off this way still reports its end, ahead
    // of the close notification.
    position_ = -1;
    if (playing_) {
      playing_ = false;
      window_.Post(kPlayEndedMessage, 0, 0);
    }
    ResetOutput();
    if (header_) wave::waveOutUnprepareHeader(output_, header_.get(), kHeaderSize);
    CloseOutput();
  }
  if (!header_) return;
  header_->lpData = nullptr;
  buffer1_.reset();
  buffer2_.reset();
  header_.reset();
}

}  // namespace telvane
