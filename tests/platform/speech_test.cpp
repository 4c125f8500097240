// Speech from text through the espeak-ng module: the line's rate, and clear refusals.
#include "platform/speech.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "platform/errors.h"

namespace telvane::platform {
namespace {

using ::testing::HasSubstr;

// Three words take about a second at 8000 samples a second; sound left at espeak-ng's own
// rate (22050 a second) would be nearly three times as long.
TEST(SpeechTest, SpeaksAtTheLineRate) {
  const std::vector<int16_t> samples = SpeakText("one two three", "en");
  EXPECT_GT(samples.size(), 4800u);
  EXPECT_LT(samples.size(), 16000u);
  const auto loudest = std::max_element(samples.begin(), samples.end(), [](int16_t a, int16_t b) {
    return std::abs(a) < std::abs(b);
  });
  EXPECT_GT(std::abs(*loudest), 1000) << "silence";
}

// An unknown voice and a text with nothing to say are refused with a reason.
TEST(SpeechTest, RefusesUnknownVoiceAndEmptyText) {
  try {
    SpeakText("hello", "no-such-voice");
    ADD_FAILURE() << "spoke with an unknown voice";
  } catch (const Exception& error) {
    EXPECT_THAT(error.Message(), HasSubstr("\"no-such-voice\""));
  }
  EXPECT_THROW(SpeakText(" \n\t", "en"), Exception);
}

}  // namespace
}  // namespace telvane::platform
