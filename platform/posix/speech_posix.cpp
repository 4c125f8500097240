// POSIX side of speech: the espeak-ng module, loaded with the first text spoken and kept.
#include <algorithm>
#include <cctype>
#include <memory>

#include "platform/dynamic_library.h"
#include "platform/errors.h"
#include "platform/posix/speech_module.h"
#include "platform/speech.h"

namespace telvane::platform {
namespace {

// The module's entry, loaded with the first text spoken and kept for the life of the process
// (the libraries espeak-ng brings along stay mapped once loaded in any case). Null when it
// cannot be loaded.
SpeakTextEntry* SpeechEntry() {
  static DynamicLibrary* const module = DynamicLibrary::Load(kSpeechModuleName).release();
  static SpeakTextEntry* const entry =
      module ? reinterpret_cast<SpeakTextEntry*>(module->Symbol(kSpeakTextEntryName)) : nullptr;
  return entry;
}

}  // namespace

std::vector<int16_t> SpeakText(const std::string& utf8_text, const std::string& voice) {
  const bool nothing_to_say = std::all_of(utf8_text.begin(), utf8_text.end(), [](char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
  });
  if (nothing_to_say) throw Exception("The text to speak is empty");
  SpeakTextEntry* const speak = SpeechEntry();
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
