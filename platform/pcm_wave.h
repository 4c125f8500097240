// Canonical RIFF "WAVE" files of 16-bit mono PCM, as Telvane writes them: the speech it
// synthesises, what the callee of a simulated line heard, a test modem's recording. Plain
// functions over bytes; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace telvane::platform {

// The 44-byte header of such a file whose data chunk holds data_bytes of sound at rate.
std::string PcmWaveHeader(uint32_t rate, uint32_t data_bytes);

// The samples as the data chunk holds them: little-endian, two bytes each.
std::string PcmWaveData(const int16_t* samples, size_t count);

// Writes the whole file; false when it could not be written.
bool WritePcmWave(const std::filesystem::path& path, uint32_t rate,
                  const std::vector<int16_t>& samples);

}  // namespace telvane::platform
