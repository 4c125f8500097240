// A WAV file as the player reads and converts it: the check before the first dial, the RIFF
// form, the format chunk read whole and asked about as the wave output is asked (a query
// open), the data chunk read in pieces of one playback buffer, and each piece converted to the
// line's sound.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/mmsystem.h"
#include "platform/posix/audio_convert.h"
#include "platform/wave_devices.h"
#include "platform/wave_out.h"
#include "voice/wave_player.h"
#include "voice/wave_reader.h"

using namespace telvane;

namespace {

// The wave device the query asks, as a line would register it; nothing is ever opened.
constexpr UINT kWaveId = 7;
// The player's buffer: three seconds of the line's sound.
constexpr LONG kPiece = 48000;

std::string g_file;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_file = (std::filesystem::temp_directory_path() /
            ("telvane_wav_fuzz_" + std::to_string(::getpid()) + ".wav"))
               .string();
  platform::RegisterWaveOutDevice(kWaveId, "fuzz", [] { return nullptr; });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (FILE* file = std::fopen(g_file.c_str(), "wb")) {
    std::fwrite(data, 1, size, file);
    std::fclose(file);
  }
  // The check made before the first dial walks the file as the player does.
  WhyUnplayable(g_file);
  WaveReader reader;
  reader.Open(g_file);
  if (reader.FindForm() != 0 || reader.FindFormat() != 0 || !reader.ReadFormat() ||
      !reader.FormatIsWhole()) {
    return 0;
  }
  const WAVEFORMATEX* format = reader.Format();
  if (wave::waveOutOpen(nullptr, kWaveId, format, 0, 0, WAVE_FORMAT_QUERY | WAVE_MAPPED) != 0)
    return 0;
  std::unique_ptr<platform::LineAudioConverter> converter =
      platform::LineAudioConverter::Create(format, platform::WaveFormatSize(format));
  if (!converter || reader.FindData() != 0) return 0;
  std::vector<char> piece(kPiece);
  for (DWORD left = reader.DataSize(); left > 0;) {
    const LONG want = left < static_cast<DWORD>(kPiece) ? static_cast<LONG>(left) : kPiece;
    const LONG got = reader.Read(piece.data(), want);
    if (got <= 0) break;
    converter->Convert({reinterpret_cast<const uint8_t*>(piece.data()), static_cast<size_t>(got)});
    left -= static_cast<DWORD>(got);
  }
  converter->Flush();
  return 0;
}
