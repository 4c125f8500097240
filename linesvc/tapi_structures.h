// The TAPI structures the service fills for applications and the call parameters it reads,
// and TAPI values in words for its event log.
//
// Each Fill function expects a structure whose dwTotalSize the caller has checked to hold at
// least the fixed part. It clears the fixed part, keeps dwTotalSize, and places the strings
// of the variable part after it all or none: a caller whose buffer is too small sees only
// dwNeededSize and asks again with a bigger one, as TAPI's callers do.
#pragma once

#include <string>

#include "platform/tapi.h"

namespace telvane::linesvc {

// The digit modes the lines report (LINEDIGITMODE_DTMF and LINEDIGITMODE_DTMFEND).
inline constexpr DWORD kMonitorDigitModes = LINEDIGITMODE_DTMF | LINEDIGITMODE_DTMFEND;

// The LINECALLPARAMS of lineMakeCall (null for none) for a line offering `line_media_modes`:
// the call's one media mode and its parameter flags, or a LINEERR_* for parameters the line
// cannot take. Without parameters TAPI asks for interactive voice; a line without it uses
// its voice, or its first mode.
LONG ReadCallParams(const LINECALLPARAMS* params, DWORD line_media_modes, DWORD* media_mode,
                    DWORD* param_flags);

// A line device as lineGetDevCaps describes it.
struct LineDescription {
  std::string name;
  std::string provider_info;
  DWORD media_modes = 0;
  DWORD line_features = 0;
};
void FillDevCaps(const LineDescription& line, LINEDEVCAPS* caps);

// A call as lineGetCallInfo describes it.
struct CallDescription {
  HLINE line = 0;
  DWORD device_id = 0;
  DWORD media_mode = 0;
  DWORD call_id = 0;
  DWORD param_flags = 0;
  DWORD digit_modes = 0;  // being monitored
  std::string number;     // dialled
  std::string app_name;   // of the application that owns the call
};
void FillCallInfo(const CallDescription& call, LINECALLINFO* info);

// A call's state as lineGetCallStatus tells it, with the features that go with the state.
void FillCallStatus(DWORD state, DWORD state_mode, LINECALLSTATUS* status);

// A device identifier as lineGetID returns it: a DWORD in binary string format.
void FillDeviceId(DWORD id, VARSTRING* device_id);

// For the event log: "CONNECTED", "NOANSWER", "0x80000048"; "OTHER" for unnamed values.
const char* CallStateName(DWORD state);
const char* DisconnectModeName(DWORD mode);
std::string Hex(LONG value);

}  // namespace telvane::linesvc
