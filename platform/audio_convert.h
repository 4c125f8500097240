// Turns the sound of a WAV file into the sound of a telephone line (8000 Hz, 16-bit, mono).
//
// The wave output uses it when it is opened "mapped" on a line's wave device. POSIX: whatever
// common format the file holds (PCM of 8, 16, 24 or 32 bits, 32- or 64-bit float, mu-law,
// A-law, or any of these inside WAVE_FORMAT_EXTENSIBLE), at any rate and with any number of
// channels, is decoded, mixed down to one channel by averaging and resampled to the line's
// rate (platform/posix/audio_convert.cpp). Windows: the system's audio compression manager
// converts, as the system's wave mapper does (platform/win32/audio_convert_win32.cpp). Sound
// already in the line format passes unchanged on both.
//
//   auto converter = LineAudioConverter::Create(format, format_size);   // null: refused
//   for (each piece of the data chunk) sink.Write(converter->Convert(piece));
//   sink.Write(converter->Flush());                                     // end of the sound
//
// The converter is a stream: a sample frame split between two pieces is decoded when its
// last byte arrives, and the resampler keeps its history from piece to piece, so pieces of
// any size join without a seam. Not thread-safe: one thread uses a converter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/mmsystem.h"
#include "platform/wave_format.h"

namespace telvane::platform {

// Whether the format block (format_size bytes long) is one LineAudioConverter accepts.
bool CanConvert(const WAVEFORMATEX* format, size_t format_size);

class LineAudioConverter {
 public:
  // A converter for the format block, or null when CanConvert refuses it.
  static std::unique_ptr<LineAudioConverter> Create(const WAVEFORMATEX* format, size_t format_size);
  ~LineAudioConverter();
  LineAudioConverter(const LineAudioConverter&) = delete;
  LineAudioConverter& operator=(const LineAudioConverter&) = delete;

  // Decodes the bytes and returns the line samples they complete. While resampling, the
  // last few milliseconds stay inside the resampler until more sound or Flush follows.
  std::vector<int16_t> Convert(std::span<const uint8_t> bytes);

  // The end of the sound: returns what the resampler still holds and starts afresh. The
  // bytes of an incomplete frame are dropped: they cannot be decoded.
  std::vector<int16_t> Flush();

  // For a line about to fall silent with more sound perhaps to come: returns what the
  // resampler holds as if the sound ended here, and keeps its history. Sound converted
  // afterwards goes on from the end of what was drained (a trace off the seamless join);
  // nothing is given twice. On Windows nothing: the system's converter gives at once all it
  // can of what it was given.
  std::vector<int16_t> Drain();

  // Forgets everything held (an incomplete frame, the resampler's history) without output,
  // for a stream that is cut short.
  void Reset();

 private:
  class Impl;
  explicit LineAudioConverter(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace telvane::platform
