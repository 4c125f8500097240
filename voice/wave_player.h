// Plays a WAV file into a connected call: the line device's Play.
//
// The file is read piece by piece into two buffers; one header carries one piece at a time
// to the call's wave output, and the next piece is read while that one plays. The wave output
// reports to the line device's window, whose procedure hands the messages here; a returned
// buffer is answered at once with the piece already read, and the last one ends the playback.
// A playback ends once: its completion is called exactly once, with what ended it (its sound
// ran out, a key stopped it, the line went), when the output has handed its sound back. The
// line device owns one player and forwards to it:
//
//   WavePlayer player(window, [&] { return CallWaveDevice(); },
//                     [&](WaveReport report) { ... });
//   player.Play("greeting.wav", [&](const PlayResult& result) { ... });   // may raise
//   player.OnWindowMessage(MM_WOM_DONE, wparam);   // from the window procedure
//   player.StopForKey('5');           // the completion follows, with the key
//
// Threads: loop thread only; the output's reports arrive as messages of the loop.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/message_loop.h"
#include "platform/mmsystem.h"
#include "voice/wave_reader.h"

namespace telvane {

// What the wave output of a playback reports, in this order: it opened, the playback ended
// (ran out, or was stopped), it closed. The end is kDone; kClose comes after it.
enum class WaveReport { kOpen, kDone, kClose };

// What ended a playback.
enum class PlayEnd {
  kFinished,  // its sound ran out
  kKey,       // the listener pressed a key
  kLineGone,  // the line went: the owner stopped it as it hung up, or the output would not
              // take the sound
};

struct PlayResult {
  PlayEnd end = PlayEnd::kFinished;
  char key = '\0';  // with kKey: the key
  // The line carried some of the sound, as the wave output's position tells: the callee
  // could hear it. An output that cannot tell its position counts as having carried it.
  bool carried_sound = false;
};

using PlayDone = std::function<void(const PlayResult& result)>;

// Why the player would refuse a WAV file, found before anyone is called: the steps it takes
// (the name, the RIFF form, the format chunk read whole and asked about, the data chunk), as
// a short sentence ("it has no data chunk after its format chunk"), or "" when it would take
// the file. No call has a wave output yet, so the format is judged as a mapped output judges
// it (platform/wave_format.h): a file the player would take is never refused here.
std::string WhyUnplayable(const std::string& file_name);

class WavePlayer {
 public:
  // The wave-output device the line names for the current call's sound. It raises
  // ETapiWaveFail when there is none.
  using LineOutputQuery = std::function<UINT()>;
  using ReportHandler = std::function<void(WaveReport)>;

  // The output reports to window; the player tells on_report what it reported. Both are the
  // owner's and outlive the player.
  WavePlayer(platform::MessageWindow& window, LineOutputQuery line_output, ReportHandler on_report);
  // A playback still running is cut off without an end report, since its owner is letting it
  // go: the output is reset and closed before the buffers are freed.
  ~WavePlayer();
  WavePlayer(const WavePlayer&) = delete;
  WavePlayer& operator=(const WavePlayer&) = delete;

  // Starts playing the file and returns once the first piece has been handed over; `done` is
  // called once, when the playback has ended, after the kDone report (at once when Stop ends
  // it: the owner is done with the call and may go). Raises ETapiWaveFail
  // (and `done` is never called) when the file cannot be played or a playback still runs.
  void Play(const std::string& file_name, PlayDone done);
  // Ends a running playback and calls its completion at once, with kLineGone; the output's
  // kDone and kClose reports follow. Nothing when nothing plays. Never raises.
  void Stop();
  // Ends a running playback as the listener's key does: its completion follows, with kKey
  // and the key. Nothing when nothing plays. Never raises.
  void StopForKey(char key);

  // A message of the owner's window: the output's MM_WOM_OPEN, MM_WOM_DONE and MM_WOM_CLOSE,
  // and the player's own end notice, are handled here and reported. False for any other
  // message.
  bool OnWindowMessage(uint32_t message, uintptr_t wparam);

  // Whether the line has carried some of the sound of the playback started last (see
  // PlayResult::carried_sound), so far: asked while it plays, as its completion will tell.
  bool CarriedSound() const;

  // A playback was started and has not ended yet.
  bool Playing() const { return playing_; }
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
  // the playback has ended and its kDone and completion are due.
  bool BufferReturned(HWAVEOUT handle);
  void OutputClosed();
  void CloseOutput();
  void EndRefused();
  void StopWith(PlayEnd end, char key);
  // The playback has ended and its kDone has been reported: calls its completion.
  void Complete();
  // Notes what the line has carried so far: before a reset or a close, which start the
  // output's position afresh.
  void NoteCarriedSound();
  void ResetOutput();
  // Frees the header and both buffers, closing the output first if it is still open.
  void ReleaseBuffers();
  void Report(WaveReport report);

  platform::MessageWindow& window_;
  LineOutputQuery line_output_;
  ReportHandler on_report_;

  bool playing_ = false;
  // The completion of the playback under way, and what stopped it, if anything did.
  PlayDone done_;
  std::optional<PlayEnd> stopped_by_;
  char key_ = '\0';
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
