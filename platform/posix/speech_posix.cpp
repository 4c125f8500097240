// POSIX side of speech: the espeak-ng module, loaded with the first text spoken and kept.
#include <algorithm>
#include <cctype>
#include <memory>

#include "platform/errors.h"
#include "platform/lazy_library.h"
#include "platform/posix/speech_module.h"
#include "platform/speech.h"

namespace telvane::platform {

std::vector<int16_t> SpeakText(const std::string& utf8_text, const std::string& voice) {
  const bool nothing_to_say = std::all_of(utf8_text.begin(), utf8_text.end(), [](char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
  });
  if (nothing_to_say) throw Exception("The text to speak is empty");
  // Kept once loaded: the libraries espeak-ng brings along stay mapped in any case.
  auto* const speak = KeptLibrary(kSpeechModuleName).Entry<SpeakTextEntry>(kSpeakTextEntryName);
  if (speak == nullptr) {
    throw Exception("Speech is not available: the speech module (espeak-ng) cannot be loaded");
  }
  std::vector<int16_t> samples;
  std::string error;
  if (!speak(utf8_text.data(), utf8_text.size(), voice.c_str(), &samples, &error)) {
    throw Exception(error);
  }
  if (samples.empty()) throw Exception("The text to speak gave no sound");
  return samples;
}

}  // namespace telvane::platform
