// The steering block of the binding tests' stand-in telephony library. The test reaches it
// through the library's exported FakeTapiControlBlock, sets how the library answers, calls
// through the binding, and reads back what the library was called with.
#pragma once

#include <cstdint>

#include "platform/tapi.h"

namespace fake_tapi {

inline constexpr int kMaxRecordedCalls = 8;
inline constexpr int kMaxRecordedArgs = 9;

struct Control {
  // Every request but the three queries returns this, and fills its out parameters.
  LONG result = 0;
  HLINEAPP app_handle = 0x1234;
  DWORD device_count = 2;
  HLINE line_handle = 0x5678;
  HCALL call_handle = 0x9ABC;

  // The last request made, other than the queries: its entry name and its arguments, each
  // widened to uintptr_t (pointers as addresses).
  char last_entry[32] = {};
  int last_arg_count = 0;
  uintptr_t last_args[kMaxRecordedArgs] = {};

  // How lineGetDevCaps, lineGetCallInfo and lineGetCallStatus answer. A call gets
  // LINEERR_STRUCTURETOOSMALL while the buffer is smaller than too_small_below; otherwise it
  // reports needed_size (0: just the buffer) and fills what fits. The need then grows by
  // grow_by. Calls numbered fail_from_call and later (1-based; 0: none) return fail_result.
  DWORD too_small_below = 0;
  DWORD needed_size = 0;
  DWORD grow_by = 0;
  int fail_from_call = 0;
  LONG fail_result = 0;

  // What the queries were offered.
  int query_calls = 0;
  char query_entry[32] = {};
  uintptr_t query_args[4] = {};
  DWORD query_sizes[kMaxRecordedCalls] = {};
  bool query_zeroed[kMaxRecordedCalls] = {};  // all but dwTotalSize was 0 on entry
};

// Filled bytes of a query answer, so a test can tell which buffer came back.
inline constexpr uint8_t kFill = 0xA5;

}  // namespace fake_tapi

extern "C" fake_tapi::Control* FakeTapiControlBlock();
