// Conversion to the line format on POSIX (platform/audio_convert.h), and a rate converter of
// line sound for a modem that plays at another rate than the line's 8000 Hz.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/audio_convert.h"

namespace telvane::platform {

// Changes the rate of 16-bit mono sound, as a stream: for a line whose modem plays at another
// rate than the line's 8000 Hz. Like LineAudioConverter, it keeps the last few milliseconds
// until more sound or Flush follows.
//
//   auto to_modem = RateConverter::Create(kLineSampleRate, 7200);   // null: refused
//   send(to_modem->Convert(samples));  ...  send(to_modem->Flush());
//
// Not thread-safe: one thread uses a converter.
class RateConverter {
 public:
  // Null for a rate outside 1000-768000 Hz.
  static std::unique_ptr<RateConverter> Create(uint32_t from_rate, uint32_t to_rate);
  ~RateConverter();
  RateConverter(const RateConverter&) = delete;
  RateConverter& operator=(const RateConverter&) = delete;

  std::vector<int16_t> Convert(std::span<const int16_t> samples);
  // What is still held; the converter then starts afresh.
  std::vector<int16_t> Flush();
  // What is still held, for a line about to fall silent, as LineAudioConverter::Drain.
  std::vector<int16_t> Drain();
  // Forgets what is held, for a stream cut short.
  void Reset();

 private:
  class Impl;
  explicit RateConverter(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace telvane::platform
