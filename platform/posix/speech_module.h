// The entry of the speech module (libtelvane_speech.so), which wraps espeak-ng. The platform
// library loads the module by name and calls this entry; nothing else links the module.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace telvane::platform {

// Speaks size bytes of UTF-8 text with the named voice into line samples. On success fills
// samples and returns true; otherwise leaves error, a message for the user, and returns false.
using SpeakTextEntry = bool(const char* text, size_t size, const char* voice,
                            std::vector<int16_t>* samples, std::string* error);

inline constexpr const char* kSpeechModuleName = "telvane_speech";
inline constexpr const char* kSpeakTextEntryName = "TelvaneSpeakText";

}  // namespace telvane::platform
