// The wave-output devices of telephone lines, as the telephony service registers them.
//
// A line driver that can carry sound registers a wave-output device under the number that
// lineGetID("wave/out") names for its calls. Opening that device (waveOutOpen) makes a sink
// through the registered factory; the wave output then hands the sink the sound converted
// to the line's format, tells the application a buffer is done when the sink says it has
// been played, and gives as its position what the sink says has been heard. Thread-safe
// registry; sinks are used on the loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace telvane::platform {

// The sound format of every telephone line: 8000 samples per second, 16-bit, mono.
inline constexpr uint32_t kLineSampleRate = 8000;

class WaveSink {
 public:
  virtual ~WaveSink() = default;
  // Queues samples for the line; played runs on the loop thread once they have been heard
  // (the sink paces them in real time on the loop's clock). Writes are heard in order. An
  // empty write is heard at once after those before it: its played still runs, from the loop.
  virtual void Write(std::vector<int16_t> samples, std::function<void()> played) = 0;
  // Drops everything not yet heard; the played callbacks of dropped writes still run, in
  // order, from the loop (never inside Reset).
  virtual void Reset() = 0;
  // How many of the samples written since the sink was made or last reset have been heard
  // by now: what the line has carried, not what it was given.
  virtual uint64_t SamplesHeard() const = 0;
};

using WaveSinkFactory = std::function<std::unique_ptr<WaveSink>()>;

// Registers a device under id; false when the id is taken, is 0xFFFFFFFF (the number that
// means the default output) or open is empty. The name is for messages.
bool RegisterWaveOutDevice(uint32_t id, const std::string& name, WaveSinkFactory open);
void UnregisterWaveOutDevice(uint32_t id);

// Whether a device is registered under id; opens nothing.
bool HasWaveOutDevice(uint32_t id);

// Opens a registered device: null when no device has that id.
std::unique_ptr<WaveSink> OpenWaveOutDevice(uint32_t id);

}  // namespace telvane::platform
