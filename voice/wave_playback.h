// Playing a WAV file into a connected call: the line device's PlayWaveFile and StopWaveFile.
//
// The file is read piece by piece into two buffers; one header carries one piece at a time
// to the call's wave output, and the next piece is read while that one plays. The wave output
// reports to the line device's window, whose procedure hands the messages here; a returned
// buffer is answered at once with the piece already read, and the last one ends the playback
// with waPlayDone. The line device owns one playback and forwards to it:
//
//   WavePlayback playback(window, device, device.OnTapiWaveNotify,
//                         [&] { return LineWaveDevice(); });
//   playback.Play("greeting.wav");    // returns once the first piece is at the output
//   playback.OnWindowMessage(MM_WOM_DONE, wparam);   // from the window procedure
//   playback.Stop();                  // its waPlayDone follows at the next pump
//
// Threads: loop thread only; the output's reports arrive as messages of the loop.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/component.h"
#include "platform/message_loop.h"
#include "platform/mmsystem.h"
#include "voice/wave_reader.h"

namespace telvane {

// What a playback reports through the device's OnTapiWaveNotify. The recording messages
// belong to a recording path nothing in the program starts.
enum class TWaveMessage {
  waPlayOpen = 0,
  waPlayDone = 1,
  waPlayClose = 2,
  waRecordOpen = 3,
  waDataReady = 4,
  waRecordClose = 5,
};

using TTapiWaveNotify = std::function<void(TObject& cp, TWaveMessage msg)>;

// The device's wave activity. Recording (2, 3) cannot be started in this program.
enum class TWavePhase : uint8_t { wpIdle = 0, wpPlaying = 1 };

// Why the player would refuse a WAV file, found before anyone is called: the steps it takes
// (the name, the RIFF form, the format chunk read whole and asked about, the data chunk), as
// a short sentence ("it has no data chunk after its format chunk"), or "" when it would take
// the file. No call has a wave output yet, so the format is judged as a mapped output judges
// it (platform/wave_format.h): a file the player would take is never refused here.
std::string WhyUnplayable(const std::string& file_name);

class WavePlayback {
 public:
  // The wave-output device the line names for the current call's sound. It raises
  // ETapiNoSelect, ETapiVoiceNotSupported or ETapiWaveFail when there is none.
  using LineOutputQuery = std::function<UINT()>;

  // The output reports to window; sender and on_notify are the device and its event, which
  // fires when assigned. All are the owner's and outlive the playback.
  WavePlayback(platform::MessageWindow& window, TObject& sender, const TTapiWaveNotify& on_notify,
               LineOutputQuery line_output);
  // A playback still running is cut off without an end report, since its owner is letting it
  // go: the output is reset and closed before the buffers are freed.
  ~WavePlayback();
  WavePlayback(const WavePlayback&) = delete;
  WavePlayback& operator=(const WavePlayback&) = delete;

  // Starts playing the file and returns once the first piece has been handed over. While a
  // playback runs: with InterruptPlayback it is stopped first and its end reported before the
  // new file opens, without it the request is ignored. Raises ETapiWaveFail,
  // ETapiVoiceNotSupported or ETapiNoSelect (and changes nothing then).
  void Play(const std::string& file_name);
  // Ends a running playback, whose waPlayDone follows; nothing when nothing plays. Never
  // raises.
  void Stop();

  // A message of the owner's window: the output's MM_WOM_OPEN, MM_WOM_DONE and MM_WOM_CLOSE,
  // and the playback's own end notice, are handled here and fire their wave message. False
  // for any other message.
  bool OnWindowMessage(uint32_t message, uintptr_t wparam);

  // A DTMF digit or a new Play stops the current playback (default true).
  bool InterruptPlayback() const { return interrupt_; }
  void SetInterruptPlayback(bool interrupt) { interrupt_ = interrupt; }
  // Play on the system's default wave output instead of the call's own (default false).
  bool UseWaveMapper() const { return use_wave_mapper_; }
  void SetUseWaveMapper(bool use) { use_wave_mapper_ = use; }

  // Whether the line has carried some of the sound of the playback started last, as its wave
  // output's position tells: heard by the callee, not only handed over. Kept once the
  // playback ends, until the next one starts. An output that cannot tell its position counts
  // as having carried what it was given.
  bool LineCarriedSound() const;

  TWavePhase Phase() const { return phase_; }
  // The open wave output, or null.
  HWAVEOUT Output() const { return output_; }
  // Bytes per playback buffer: three seconds of the line format, 0 before the first play.
  int32_t BufferSize() const { return buffer_size_; }

 private:
  // Reads the next piece of the data chunk into the buffer the next hand-over uses.
  void ReadChunk();
  // Hands the piece read last to the output and reads the one after it.
  void QueueBuffer();
  // The output gave a buffer back: feeds the next piece, or ends the playback. True when
  // the playback has ended and waPlayDone is due.
  bool BufferReturned(HWAVEOUT handle);
  void OutputClosed();
  void CloseOutput();
  void EndRefused();
  void WaitForOutputClosed();
  // Notes what the line has carried so far: before a reset or a close, which start the
  // output's position afresh.
  void NoteCarriedSound();
  void ResetOutput();
  // Frees the header and both buffers, closing the output first if it is still open.
  void ReleaseBuffers();
  void Notify(TWaveMessage message);

  platform::MessageWindow& window_;
  TObject& sender_;
  const TTapiWaveNotify& on_notify_;
  LineOutputQuery line_output_;

  bool interrupt_ = true;
  bool use_wave_mapper_ = false;
  TWavePhase phase_ = TWavePhase::wpIdle;
  // The line's sound format (mono); it sizes the buffers, whatever the file's own format.
  uint8_t bits_per_sample_ = 16;
  int32_t samples_per_sec_ = 8000;

  // The header and the buffers exist from a started playback to its end; while the output is
  // open it may hold one of them, so they are freed only once it is closed.
  std::unique_ptr<WAVEHDR> header_;
  HWAVEOUT output_ = nullptr;
  std::unique_ptr<char[]> buffer1_;
  std::unique_ptr<char[]> buffer2_;
  WaveReader file_;
  int32_t data_size_ = 0;
  // Bytes of the data chunk handed over so far; -1 once nothing more is to be handed over.
  int32_t position_ = 0;
  int32_t chunk_length_ = 0;
  // 0 before the first read of a playback, then the buffer (1 or 2) the next hand-over uses.
  uint8_t next_buffer_ = 0;
  int32_t buffer_size_ = 0;
  // The line carried some of the current or last playback's sound, as noted so far.
  bool carried_sound_ = false;
};

}  // namespace telvane
