// Readable texts of the line device's status reports and failure codes. Every text comes
// from the message catalogue, found by a fixed base per report kind plus the position of the
// lowest set bit of the state. The line device words its statuses and failures with these.
// Thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace telvane {

// The 1-based position of the lowest set bit of value (1 for bit 0 ... 32 for bit 31), and
// 33 for 0.
int32_t LowestBitPosition(uint32_t value);

// The text of a status report: Message, Param1 and Param2 of LineDevice::on_status. The retry-wait
// report says retry_countdown seconds.
std::string StatusText(int32_t message, int32_t state, int32_t param, int32_t retry_countdown);

// The text of a failure code: a negative telephony error or a disconnect mode.
std::string FailureText(int32_t code);

}  // namespace telvane
