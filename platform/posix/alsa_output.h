// The machine's default audio output, as a wave sink over ALSA.
//
// The wave mapper (waveOutOpen with WAVE_MAPPER) plays here: the wave output converts the
// sound to the line format, and this sink hands those samples to an ALSA PCM, whose plug
// layer resamples them to whatever the sound card or sound server takes.
//
//   std::unique_ptr<WaveSink> sink = OpenDefaultAudioOutput();   // null: no default output
//   sink->Write(samples, [] { /* heard; runs on the loop thread */ });
//
// The PCM is ALSA's "default", or the one named by TELVANE_AUDIO_DEVICE (tests name "null",
// which plays nothing and needs no sound card). A writer thread of the sink feeds the PCM
// and only posts to the loop of the thread that opened it; that loop must outlive the sink.
#pragma once

#include <memory>
#include <string>

#include "platform/wave_devices.h"

namespace telvane::platform {

// The ALSA PCM name of the default output: $TELVANE_AUDIO_DEVICE when set and not empty,
// otherwise "default".
std::string DefaultAudioOutputName();

// Loop thread only. Opens the PCM for playback of line-format samples; null when it cannot
// be opened (no sound card, no sound server, no such PCM) or the calling thread has no loop.
// The sink is used on the loop thread only. Destroying it plays out what it still holds,
// for half a second at most, and runs none of the played callbacks still due.
std::unique_ptr<WaveSink> OpenAlsaOutput(const std::string& pcm_name);

// OpenAlsaOutput(DefaultAudioOutputName()).
std::unique_ptr<WaveSink> OpenDefaultAudioOutput();

// Whether the default output can be opened now for line-format samples; opens and closes it.
bool DefaultAudioOutputAvailable();

}  // namespace telvane::platform
