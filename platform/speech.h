// Speech made from text, at the line's format, for messages written as text.
//
//   std::vector<int16_t> samples = platform::SpeakText("Router down in rack four.", "en");
//
// POSIX: espeak-ng, reached through a module of ours (libtelvane_speech.so, found like the
// telephony service: beside the program, else beside the platform library) that is loaded
// when the first text is spoken, so a run without spoken text maps neither it nor the sound
// libraries espeak-ng brings along. Windows: always refused; no synthesiser can be tested
// where the Windows build is tested.
//
// Not thread-safe: the synthesiser is one per process; call from one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace telvane::platform {

// The line samples (8000 Hz, 16-bit, mono) of the UTF-8 text spoken with the named voice.
// Raises Exception with a message for the user when the text has nothing to say, the voice
// is unknown, or the synthesiser is missing or fails. Never returns an empty sound.
std::vector<int16_t> SpeakText(const std::string& utf8_text, const std::string& voice);

}  // namespace telvane::platform
