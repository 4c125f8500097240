// Readable texts of the line device's status reports, failure codes and caller identification.
#include "telephony/status_texts.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/errors.h"

namespace telvane {
namespace {

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
TEST(StatusTextTest, PicksTextByMessageKindAndLowestStateBit) {
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
    EXPECT_EQ(StatusText(row.message, row.state, row.param, 0), row.text);
  }
}

// A disconnected call names its reason from the lowest bit of the disconnect mode.
TEST(StatusTextTest, DisconnectedCallNamesReasonFromLowestModeBit) {
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
    EXPECT_EQ(StatusText(2, 0x4000, row.mode, 0), row.text);
  }
}

// The retry-wait report fills in the seconds left, but only for the device's own message.
TEST(StatusTextTest, RetryWaitShowsCountdownOnlyForDeviceReport) {
  EXPECT_EQ(StatusText(32, 8, 0, 5), "Waiting for retry in 5 seconds");
  EXPECT_EQ(StatusText(32, 8, 0, 0), "Waiting for retry in 0 seconds");
  EXPECT_EQ(StatusText(1, 8, 0, 5), "Waiting for retry in %d seconds");
}

// A negative failure code is a telephony error named by its number.
TEST(FailureTextTest, NegativeCodeNamesTelephonyError) {
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
    EXPECT_EQ(FailureText(static_cast<int32_t>(row.tapi_result)), row.text);
  }
}

// A non-negative failure code is a disconnect mode, shown as a disconnected call.
TEST(FailureTextTest, DisconnectModeReadsAsDisconnectedCall) {
  EXPECT_EQ(FailureText(0x40), "Call disconnected (No Answer by Remote)");
  EXPECT_EQ(FailureText(0x1), "Call disconnected (Normal Hangup by Remote)");
  // Mode 0 has no set bit, so its reason is whatever the catalogue falls back to.
  EXPECT_EQ(FailureText(0), "Call disconnected (" + MessageForCode(13683) + ")");
}

}  // namespace
}  // namespace telvane
