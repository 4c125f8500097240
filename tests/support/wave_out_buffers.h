// Buffers a test writes to an open wave output: each prepared and written, and kept alive at
// a fixed address (the output holds the header and the samples until it reports them done).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "platform/mmsystem.h"
#include "platform/wave_out.h"

namespace telvane::testing_wave {

struct WaveOutBuffers {
  std::deque<std::vector<int16_t>> samples;
  std::deque<WAVEHDR> headers;

  WAVEHDR& Play(HWAVEOUT handle, std::vector<int16_t> buffer) {
    samples.push_back(std::move(buffer));
    WAVEHDR& header = headers.emplace_back(WAVEHDR{});
    header.lpData = reinterpret_cast<LPSTR>(samples.back().data());
    header.dwBufferLength = static_cast<DWORD>(samples.back().size() * sizeof(int16_t));
    EXPECT_EQ(wave::waveOutPrepareHeader(handle, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(wave::waveOutWrite(handle, &header, sizeof header), MMSYSERR_NOERROR);
    return header;
  }
};

}  // namespace telvane::testing_wave
