#include "app/spoken_messages.h"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <vector>

#include "platform/errors.h"
#include "platform/pcm_wave.h"
#include "platform/speech.h"
#include "platform/text.h"
#include "platform/wave_devices.h"

namespace telvane {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDefaultVoice = "en";

std::string ReadText(const std::string& file_name) {
  std::ifstream in(file_name, std::ios::binary);
  if (!in) throw Exception("Cannot read the message text " + file_name);
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  // A byte order mark is no text to speak.
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  return text;
}

}  // namespace

SpokenMessages::SpokenMessages(std::string voice)
    : voice_(voice.empty() ? kDefaultVoice : std::move(voice)) {}

SpokenMessages::~SpokenMessages() {
  if (dir_.empty()) return;
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

bool SpokenMessages::IsText(const std::string& file_name) {
  const std::string lowered = platform::LowerCase(file_name);
  return lowered.size() >= 4 && lowered.compare(lowered.size() - 4, 4, ".txt") == 0;
}

std::string SpokenMessages::Prepare(const std::string& file_name) {
  if (!IsText(file_name)) return file_name;
  std::vector<int16_t> samples;
  try {
    samples = platform::SpeakText(ReadText(file_name), voice_);
  } catch (const Exception& error) {
    throw Exception(error.Message() + " (" + file_name + ")");
  }
  if (dir_.empty()) dir_ = NewDirectory();
  const fs::path wave = dir_ / ("spoken-" + std::to_string(++count_) + ".wav");
  if (!platform::WritePcmWave(wave, platform::kLineSampleRate, samples)) {
    throw Exception("Cannot write the spoken message to " + wave.string());
  }
  return wave.string();
}

fs::path SpokenMessages::NewDirectory() {
  std::error_code error;
  const fs::path temp = fs::temp_directory_path(error);
  if (error) throw Exception("No temporary directory for the spoken message: " + error.message());
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::ostringstream name;
    name << "telvane-speech-" << std::hex << random() << random();
    const fs::path dir = temp / name.str();
    // create_directory is false for a name that exists already: try another.
    if (fs::create_directory(dir, error)) {
      fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, error);
      return dir;
    }
    if (error) break;
  }
  throw Exception("Cannot make a directory for the spoken message in " + temp.string());
}

}  // namespace telvane
