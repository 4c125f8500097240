// The line device's contracts that hold without a telephony service: it builds, lists
// nothing, checks nothing it cannot find, and fires nothing it was not asked for.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/message_loop.h"
#include "telephony/line_device.h"

namespace telvane {
namespace {

// The device lives on a thread with a message loop, on the virtual clock; every event it
// fires is counted.
class LineDeviceBasicsTest : public ::testing::Test {
 protected:
  LineDeviceBasicsTest() {
    device_.on_status = [this](const LineStatus&) { ++fired_; };
    device_.on_log = [this](CallLog entry) { logged_.push_back(entry); };
    device_.on_fail = [this](const std::string&) { ++fired_; };
    device_.on_key = [this](char) { ++fired_; };
    device_.on_wave_report = [this](WaveReport) { ++fired_; };
  }

  platform::MessageLoop loop_{platform::ClockMode::kVirtual};
  LineDevice device_;
  int fired_ = 0;                // every event but the call-history log
  std::vector<CallLog> logged_;  // the call-history log
};

// A new device carries the documented defaults; with no telephony service present, building
// it does not raise and lists no line device.
TEST_F(LineDeviceBasicsTest, DefaultsAsConstructed) {
  EXPECT_EQ(device_.SelectedDevice(), "");
  EXPECT_EQ(device_.RetryWait(), 60);
  EXPECT_EQ(device_.MaxAttempts(), 3);
  EXPECT_FALSE(device_.CallPlaced());
  EXPECT_EQ(device_.FailureCode(), 0);
  EXPECT_TRUE(device_.DeviceList().empty());
}

// A name no line device has fails the voice check with the voice error.
TEST_F(LineDeviceBasicsTest, VoiceCheckOfAnUnknownDeviceRaises) {
  device_.SetSelectedDevice("Data Only Modem");
  try {
    device_.CheckVoiceSupport();
    FAIL() << "no ETapiVoiceNotSupported";
  } catch (const ETapiVoiceNotSupported& error) {
    EXPECT_EQ(error.Message(), "TAPI device does not support voice extensions");
    EXPECT_EQ(error.ErrorCode(), -13935);
  }
}

// A HangUp with no line ever opened logs only the cancel and reports nothing else.
TEST_F(LineDeviceBasicsTest, HangUpWithoutLineLogsCancelOnly) {
  device_.HangUp();
  EXPECT_EQ(logged_, std::vector<CallLog>{CallLog::kCancel});
  // Deferred notices would arrive through the loop; none may be waiting.
  loop_.RunUntilIdle();
  EXPECT_EQ(fired_, 0);
  EXPECT_FALSE(device_.CallPlaced());
}

}  // namespace
}  // namespace telvane
