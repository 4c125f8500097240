// Speech on Windows: a spoken message is refused with a reason, never an empty sound.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/speech.h"

namespace telvane::platform {
namespace {

TEST(SpeechWin32Test, SpokenTextIsRefused) {
  try {
    SpeakText("hello", "en");
    ADD_FAILURE() << "spoke on Windows";
  } catch (const Exception& error) {
    EXPECT_THAT(error.Message(), ::testing::HasSubstr("not supported on Windows"));
  }
}

}  // namespace
}  // namespace telvane::platform
