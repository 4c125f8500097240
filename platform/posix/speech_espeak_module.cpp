// The speech module: espeak-ng speaks the text at its own rate, and the rate converter the
// modem line uses brings the sound to the line's rate. Built as libtelvane_speech.so, loaded
// with the first text spoken and kept (platform/posix/speech_posix.cpp).
#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>

#include "platform/posix/audio_convert.h"
#include "platform/posix/speech_module.h"
#include "platform/wave_devices.h"

namespace telvane::platform {
namespace {

std::string StatusText(espeak_ng_STATUS status) {
  char text[512] = {};
  espeak_ng_GetStatusCodeMessage(status, text, sizeof text);
  return text;
}

// Receives the synthesiser's sound; the request's user data is the vector it goes to.
int CollectSamples(short* samples, int count, espeak_EVENT* events) {
  if (samples == nullptr || count <= 0 || events == nullptr) return 0;
  auto* sound = static_cast<std::vector<int16_t>*>(events->user_data);
  sound->insert(sound->end(), samples, samples + count);
  return 0;  // go on
}

// espeak-ng's state is process-wide. It is set up with the first request and kept: espeak-ng
// 1.51 cannot be set up again in a process once torn down (it hangs), and a torn-down set-up
// leaks. Its filters carry over from one text to the next, so the same text spoken twice in
// one run may differ in its last bits.
class Synthesiser {
 public:
  // The one synthesiser, made on the first call and never destroyed.
  static const Synthesiser& Get() {
    static const Synthesiser* const synthesiser = new Synthesiser();
    return *synthesiser;
  }

  espeak_ng_STATUS Status() const { return status_; }

 private:
  Synthesiser() {
    espeak_ng_InitializePath(nullptr);
    status_ = espeak_ng_Initialize(nullptr);
    if (status_ == ENS_OK) {
      status_ = espeak_ng_InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, 0, nullptr);
    }
    if (status_ == ENS_OK) espeak_SetSynthCallback(CollectSamples);
  }

  espeak_ng_STATUS status_ = ENS_OK;
};

std::vector<int16_t> ToLineFormat(const std::vector<int16_t>& sound, int rate) {
  auto converter = RateConverter::Create(static_cast<uint32_t>(rate), kLineSampleRate);
  if (!converter) return {};
  std::vector<int16_t> line = converter->Convert(sound);
  const std::vector<int16_t> rest = converter->Flush();
  line.insert(line.end(), rest.begin(), rest.end());
  return line;
}

}  // namespace
}  // namespace telvane::platform

#define TELVANE_EXPORT __attribute__((visibility("default")))

// espeak-ng 1.51 opens the machine's sound output through pcaudio (a sound server, else ALSA)
// when it starts, even when it only hands the sound back, as here: it would reach for the
// sound card, connect to a sound server and leave the server's files in the temporary
// directory. espeak-ng is loaded as this module's dependency, so these definitions come
// before pcaudio's in its lookup scope and stand in for them: a device that plays nothing.
extern "C" {
struct audio_object;
namespace {
int g_silent_device;
}
TELVANE_EXPORT audio_object* create_audio_device_object(const char* /*device*/,
                                                        const char* /*application_name*/,
                                                        const char* /*description*/) {
  return reinterpret_cast<audio_object*>(&g_silent_device);
}
TELVANE_EXPORT int audio_object_open(audio_object* /*object*/, int /*format*/, uint32_t /*rate*/,
                                     uint8_t /*channels*/) {
  return 0;
}
TELVANE_EXPORT void audio_object_close(audio_object* /*object*/) {}
TELVANE_EXPORT void audio_object_destroy(audio_object* /*object*/) {}
TELVANE_EXPORT int audio_object_write(audio_object* /*object*/, const void* /*data*/,
                                      size_t /*bytes*/) {
  return 0;
}
TELVANE_EXPORT int audio_object_drain(audio_object* /*object*/) { return 0; }
TELVANE_EXPORT int audio_object_flush(audio_object* /*object*/) { return 0; }
TELVANE_EXPORT const char* audio_object_strerror(audio_object* /*object*/, int /*error*/) {
  return "no sound output";
}
}

extern "C" TELVANE_EXPORT bool TelvaneSpeakText(const char* text, size_t size, const char* voice,
                                                std::vector<int16_t>* samples, std::string* error) {
  using namespace telvane::platform;
  static_assert(std::is_same_v<decltype(TelvaneSpeakText), SpeakTextEntry>);
  const Synthesiser& synthesiser = Synthesiser::Get();
  if (synthesiser.Status() != ENS_OK) {
    *error = "Speech failed: espeak-ng cannot start: " + StatusText(synthesiser.Status());
    return false;
  }
  if (const espeak_ng_STATUS status = espeak_ng_SetVoiceByName(voice); status != ENS_OK) {
    *error = status == ENS_VOICE_NOT_FOUND
                 ? "Speech voice not found: \"" + std::string(voice) + "\" (see SpeechVoice)"
                 : "Speech failed: voice \"" + std::string(voice) + "\": " + StatusText(status);
    return false;
  }
  std::vector<int16_t> sound;
  // The size counts the terminating zero, which this text may not carry: pass a copy that does.
  const std::string terminated(text, size);
  espeak_ng_STATUS status =
      espeak_ng_Synthesize(terminated.c_str(), terminated.size() + 1, 0, POS_CHARACTER, 0,
                           espeakCHARS_UTF8, nullptr, &sound);
  if (status == ENS_OK) status = espeak_ng_Synchronize();
  if (status != ENS_OK) {
    *error = "Speech failed: " + StatusText(status);
    return false;
  }
  *samples = ToLineFormat(sound, espeak_ng_GetSampleRate());
  return true;
}
