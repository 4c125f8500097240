// Readable texts of the line device's status reports and failure codes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/errors.h"
#include "platform/message_loop.h"
#include "telephony/tapi_device.h"

namespace telvane {
namespace {

// A device that stands in for the telephony system; a test can set its retry countdown, as
// the dial retry timer would.
class TextsDevice : public TApdTapiDevice {
 public:
  TextsDevice() : TApdTapiDevice(nullptr, Registration::kStandIn) {}
  void SetRetryCountdown(int32_t seconds) { retry_countdown_ = seconds; }
};

// The device lives on a thread with a message loop, on the virtual clock.
class StatusTextTest : public ::testing::Test {
 protected:
  platform::MessageLoop loop_{platform::ClockMode::kVirtual};
  TextsDevice device_;
};
using FailureTextTest = StatusTextTest;

// The lowest set bit counts, from 1 for bit 0 to 32 for bit 31, and 0 has position 33.
TEST(LowestBitPositionTest, CountsFromOneAndGivesThirtyThreeForZero) {
  const struct {
    uint32_t value;
    int32_t position;
  } rows[] = {
      {0x1, 1},        {0x2, 2},         {0x40, 7},        {0x4000, 15},
      {0x21, 1},       {0x30, 5},        {0xFFFFFFFF, 1},  {0x80000000, 32},
      {0x1000000, 25}, {0xC0000000, 31}, {0x00000000, 33},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.value);
    EXPECT_EQ(LowestBitPosition(row.value), row.position);
  }
}

// Each report kind has its own base; only the lowest set bit of the state counts.
TEST_F(StatusTextTest, PicksTextByMessageKindAndLowestStateBit) {
  const TextsDevice& device = device_;
  const struct {
    int32_t message;
    int32_t state;
    int32_t param;
    const char* text;
  } rows[] = {
      // Call states.
      {2, 0x1, 0, "Line is idle"},
      {2, 0x40, 0, "Called number is busy"},
      {2, 0x40, 0x20, "Called number is busy"},  // Param plays no part
      {2, 0x40, -1, "Called number is busy"},
      {2, 0x100, 0, "Connected!"},
      {2, 0x8000, 0, "Unknown state"},
      {2, 0x140, 0, "Called number is busy"},  // two bits: the lower one counts
      {2, 0, 0, "Other"},                      // position 33 runs into the next table
      // Line device states.
      {8, 0x1, 0, "Other"},
      {8, 0x200, 0, "Ppen change"},
      {8, 0x4000, 0x1, "Roam mode changed"},  // the disconnect rule finds no placeholder
      {8, 0x1000000, 0, "Removed"},
      {8, 0, 0, "TAPI line reply"},  // position 33 again
      // Reply.
      {12, 0x1, 0, "TAPI line reply"},
      // The device's own reports, and every other message.
      {32, 0x1, 0, "TAPI state change"},
      {32, 0x10, 0, "Device is in use by another application"},
      {1, 0x1, 0, "TAPI state change"},
      {1, 0x2, 0, "Called number is busy"},
      {10, 0x4, 0, "Dial failed/no connection"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE("message " + std::to_string(row.message) + " state " + std::to_string(row.state));
    EXPECT_EQ(device.StatusText(row.message, row.state, row.param), row.text);
  }
}

// A disconnected call names its reason from the lowest bit of the disconnect mode.
TEST_F(StatusTextTest, DisconnectedCallNamesReasonFromLowestModeBit) {
  const TextsDevice& device = device_;
  const struct {
    int32_t mode;
    const char* text;
  } rows[] = {
      {0x1, "Call disconnected (Normal Hangup by Remote)"},
      {0x20, "Call disconnected (Line was Busy)"},
      {0x21, "Call disconnected (Normal Hangup by Remote)"},
      {0x40, "Call disconnected (No Answer by Remote)"},
      {0x80000, "Call disconnected (Cancelled)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.mode);
    EXPECT_EQ(device.StatusText(2, 0x4000, row.mode), row.text);
  }
}

// The retry-wait report fills in the seconds left, but only for the device's own message.
TEST_F(StatusTextTest, RetryWaitShowsCountdownOnlyForDeviceReport) {
  TextsDevice& device = device_;
  device.SetRetryCountdown(5);
  EXPECT_EQ(device.StatusText(32, 8, 0), "Waiting for retry in 5 seconds");
  device.SetRetryCountdown(0);
  EXPECT_EQ(device.StatusText(32, 8, 0), "Waiting for retry in 0 seconds");
  device.SetRetryCountdown(5);
  EXPECT_EQ(device.StatusText(1, 8, 0), "Waiting for retry in %d seconds");
}

// A negative failure code is a telephony error named by its number.
TEST_F(FailureTextTest, NegativeCodeNamesTelephonyError) {
  const TextsDevice& device = device_;
  const struct {
    uint32_t tapi_result;
    const char* text;
  } rows[] = {
      {0x80000001, "Already allocated"},
      {0x80000005, "Call unavailable"},  // LINEERR_CALLUNAVAIL
      {0x8000004D, "Structure too small"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.tapi_result);
    EXPECT_EQ(device.FailureText(static_cast<int32_t>(row.tapi_result)), row.text);
  }
}

// A non-negative failure code is a disconnect mode, shown as a disconnected call.
TEST_F(FailureTextTest, DisconnectModeReadsAsDisconnectedCall) {
  const TextsDevice& device = device_;
  EXPECT_EQ(device.FailureText(0x40), "Call disconnected (No Answer by Remote)");
  EXPECT_EQ(device.FailureText(0x1), "Call disconnected (Normal Hangup by Remote)");
  // Mode 0 has no set bit, so its reason is whatever the catalogue falls back to.
  EXPECT_EQ(device.FailureText(0), "Call disconnected (" + MessageForCode(13683) + ")");
}

}  // namespace
}  // namespace telvane
