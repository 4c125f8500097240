// Windows side of speech: refused. The system's speech API cannot be tried under wine, where
// the Windows build is tested, so a spoken message is an error rather than an untested call.
#include "platform/errors.h"
#include "platform/speech.h"

namespace telvane::platform {

std::vector<int16_t> SpeakText(const std::string& /*utf8_text*/, const std::string& /*voice*/) {
  throw Exception("Spoken text messages (.txt) are not supported on Windows; use a WAV file");
}

}  // namespace telvane::platform
