// Playing a WAV file into the connected call: the file is read piece by piece into two
// buffers, and one header carries one piece at a time to the call's wave output. Each
// returned buffer (MM_WOM_DONE, handled by the device's window) is answered at once with
// the piece already read, and the next piece is read while that one plays.
#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/errors.h"
#include "platform/message_loop.h"
#include "platform/os.h"
#include "platform/tapi_binding.h"
#include "telephony/tapi_device.h"

namespace telvane {

namespace {

// The platform's copy of a file name holds this many characters; a longer name is refused
// rather than cut short, which could open another file.
constexpr size_t kMaxWaveFileName = 255;

// Room for the platform's longest wave error text and its terminator.
constexpr UINT kWaveErrorTextSize = 129;

constexpr UINT kHeaderSize = sizeof(WAVEHDR);

}  // namespace

void TApdCustomTapiDevice::PlayWaveFile(const std::string& file_name) {
  if (wave_phase_ == TWavePhase::wpPlaying) {
    if (!interrupt_playback_) return;
    StopWaveFile();
    WaitForWaveOutputClosed();
  }
  if (file_name.size() > kMaxWaveFileName) {
    throw ETapiWaveFail("Wave file name too long (at most " + std::to_string(kMaxWaveFileName) +
                        " characters)");
  }
  if (!platform::FileExists(file_name)) throw ETapiWaveFail(ecFileNotFound);
  const UINT device = use_wave_mapper_ ? WAVE_MAPPER : static_cast<UINT>(GetLineWaveDevice());
  const DWORD mapped = use_wave_mapper_ ? 0 : WAVE_MAPPED;

  // Until the output is open the reader is local: every failure below closes the file and
  // drops the format block with it.
  WaveReader reader;
  reader.Open(file_name);
  CheckWaveResult(reader.FindForm(), WaveResultKind::kFile);
  CheckWaveResult(reader.FindFormat(), WaveResultKind::kFile);
  if (play_header_) ReleasePlayBuffers();
  if (!reader.ReadFormat()) throw ETapiWaveFail(ecTapiWaveReadError);
  play_buffer_size_ = (wave_bits_per_sample_ / 8) * wave_samples_per_sec_ * 3;
  CheckWaveResult(waveOutOpen(nullptr, device, reader.Format(), 0, 0, WAVE_FORMAT_QUERY | mapped),
                  WaveResultKind::kOutput);
  CheckWaveResult(reader.FindData(), WaveResultKind::kFile);
  play_data_size_ =
      static_cast<int32_t>(std::min<DWORD>(reader.DataSize(), std::numeric_limits<int32_t>::max()));
  play_position_ = 0;

  HWAVEOUT handle = nullptr;
  const MMRESULT opened = waveOutOpen(&handle, device, reader.Format(),
                                      static_cast<DWORD_PTR>(notify_window_->Handle()),
                                      reinterpret_cast<DWORD_PTR>(this), CALLBACK_WINDOW | mapped);
  if (opened == MMSYSERR_NOTENABLED) {
    // A wave output that is switched off plays nothing and says nothing.
    wave_out_handle_ = nullptr;
    return;
  }
  CheckWaveResult(opened, WaveResultKind::kOutput);
  wave_out_handle_ = handle;
  reader.ReleaseFormat();  // the output keeps its own copy

  try {
    play_header_ = std::make_unique<WAVEHDR>();
    play_buffer1_ = std::make_unique<char[]>(static_cast<size_t>(play_buffer_size_));
    play_buffer2_ = std::make_unique<char[]>(static_cast<size_t>(play_buffer_size_));
    next_play_buffer_ = 0;
    play_file_ = std::move(reader);
    ReadPlayChunk();
  } catch (...) {
    // Nothing has been handed over: the output is closed again and the file with it.
    play_file_.Close();
    ReleasePlayBuffers();
    throw;
  }
  wave_phase_ = TWavePhase::wpPlaying;
  QueuePlayBuffer();
}

void TApdCustomTapiDevice::StopWaveFile() {
  if (wave_out_handle_ == nullptr) return;
  play_position_ = -1;
  // The output gives the buffer back (MM_WOM_DONE) and the ordinary end path runs.
  waveOutReset(wave_out_handle_);
}

void TApdCustomTapiDevice::WaitForWaveOutputClosed() {
  platform::MessageLoop& loop = *platform::MessageLoop::Current();
  if (wave_out_handle_ == nullptr) return;
  loop.RunUntil([this] { return wave_out_handle_ == nullptr; }, platform::kNoDeadline);
  // Everything pending is handled too, so the old output's close notification, queued while
  // its last buffer is handled, is reported before the new file opens.
  loop.RunUntilIdle();
}

int32_t TApdCustomTapiDevice::GetLineWaveDevice() {
  GetDeviceID();
  {
    platform::TapiBlock<LINEDEVCAPS> caps;
    if (platform::QueryDevCaps(line_app_handle_, static_cast<DWORD>(device_id_), api_version_, 0,
                               caps) != 0 ||
        !caps) {
      throw ETapiWaveFail(ecTapiWaveFail);
    }
    if ((caps->dwMediaModes & LINEMEDIAMODE_AUTOMATEDVOICE) == 0) {
      throw ETapiVoiceNotSupported(ecTapiVoiceNotSupported);
    }
  }
  const std::optional<DWORD> id =
      GetLineID(line_handle_, call_handle_, LINECALLSELECT_CALL, "wave/out");
  if (!id) throw ETapiWaveFail(ecTapiWaveFail);
  return static_cast<int32_t>(*id);
}

void TApdCustomTapiDevice::ReadPlayChunk() {
  const int64_t left = static_cast<int64_t>(play_data_size_) - play_position_;
  play_chunk_length_ = static_cast<int32_t>(std::min<int64_t>(left, play_buffer_size_));
  char* buffer = next_play_buffer_ == 2 ? play_buffer2_.get() : play_buffer1_.get();
  if (next_play_buffer_ == 0) next_play_buffer_ = 1;
  const LONG got = play_file_.Read(buffer, play_chunk_length_);
  if (got == -1) {
    // The piece already at the output still plays; its return ends the playback.
    play_position_ = -1;
    throw ETapiWaveFail(ecTapiWaveReadError);
  }
  if (got < play_chunk_length_) {
    // The file holds less than its data chunk claims: the sound ends where the file does,
    // and the rest of the buffer, left from an earlier piece, is never played.
    play_chunk_length_ = got;
    play_data_size_ = play_position_ + got;
  }
}

void TApdCustomTapiDevice::QueuePlayBuffer() {
  if (next_play_buffer_ == 1) {
    play_header_->lpData = play_buffer1_.get();
    next_play_buffer_ = 2;
  } else {
    play_header_->lpData = play_buffer2_.get();
    next_play_buffer_ = 1;
  }
  play_header_->dwBufferLength = static_cast<DWORD>(play_chunk_length_);
  waveOutPrepareHeader(wave_out_handle_, play_header_.get(), kHeaderSize);
  if (waveOutWrite(wave_out_handle_, play_header_.get(), kHeaderSize) != 0) {
    waveOutUnprepareHeader(wave_out_handle_, play_header_.get(), kHeaderSize);
    EndRefusedPlayback();
    return;
  }
  play_position_ += play_chunk_length_;
  if (play_position_ >= play_data_size_) play_position_ = -1;
  if (play_position_ != -1) ReadPlayChunk();
}

// The output would not take the buffer, so no buffer may come back to end the playback:
// it ends here, with its waPlayDone, rather than leave the application waiting.
void TApdCustomTapiDevice::EndRefusedPlayback() {
  play_file_.Close();
  ReleasePlayBuffers();
}

bool TApdCustomTapiDevice::PlayBufferReturned(HWAVEOUT handle) {
  // A buffer of an output closed earlier: that playback's end was reported when it closed.
  if (wave_out_handle_ == nullptr || handle != wave_out_handle_) return false;
  waveOutUnprepareHeader(handle, play_header_.get(), kHeaderSize);
  if (play_position_ == -1) {
    CloseWaveOutput();
    play_file_.Close();
    wave_phase_ = TWavePhase::wpIdle;
    ReleasePlayBuffers();
    return true;
  }
  QueuePlayBuffer();
  return false;
}

void TApdCustomTapiDevice::WaveOutputClosed() {
  // The close of an earlier output may come after a new playback has opened its own; the
  // new one is still playing.
  if (wave_out_handle_ == nullptr) wave_phase_ = TWavePhase::wpIdle;
}

void TApdCustomTapiDevice::CloseWaveOutput() {
  if (wave_out_handle_ == nullptr) return;
  waveOutClose(std::exchange(wave_out_handle_, nullptr));
}

void TApdCustomTapiDevice::ReleasePlayBuffers() {
  if (wave_out_handle_ != nullptr) {
    // The output may still hold the header and a buffer: it gives them back on reset, and
    // only then may they be freed. A playback cut off this way still reports its end, ahead
    // of the close notification.
    play_position_ = -1;
    if (wave_phase_ == TWavePhase::wpPlaying) {
      wave_phase_ = TWavePhase::wpIdle;
      PostPlayDone();
    }
    waveOutReset(wave_out_handle_);
    if (play_header_) waveOutUnprepareHeader(wave_out_handle_, play_header_.get(), kHeaderSize);
    CloseWaveOutput();
  }
  if (!play_header_) return;
  play_header_->lpData = nullptr;
  play_buffer1_.reset();
  play_buffer2_.reset();
  play_header_.reset();
}

void TApdCustomTapiDevice::CheckWaveResult(MMRESULT result, WaveResultKind kind) {
  if (result == 0) return;
  if (kind == WaveResultKind::kFile) throw ETapiWaveFail(MessageForCode(ecTapiWaveFail));
  char text[kWaveErrorTextSize] = {};
  waveOutGetErrorText(result, text, kWaveErrorTextSize);
  text[kWaveErrorTextSize - 1] = '\0';
  throw ETapiWaveFail(std::string(text));
}

}  // namespace telvane
