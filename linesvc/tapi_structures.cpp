// Filling the TAPI structures: fixed parts, the variable part all or none, and the sizes.
#include "linesvc/tapi_structures.h"

#include <cstdint>
#include <cstring>
#include <sstream>
#include <vector>

#include "linesvc/driver.h"

namespace telvane::linesvc {

namespace {

// The states a call of these lines can pass through (LINECALLINFO's dwCallStates).
constexpr DWORD kOutgoingCallStates = LINECALLSTATE_IDLE | LINECALLSTATE_DIALTONE |
                                      LINECALLSTATE_DIALING | LINECALLSTATE_PROCEEDING |
                                      LINECALLSTATE_RINGBACK | LINECALLSTATE_BUSY |
                                      LINECALLSTATE_CONNECTED | LINECALLSTATE_DISCONNECTED;
constexpr DWORD kCallOriginOutbound = 0x1;           // LINECALLORIGIN_OUTBOUND
constexpr DWORD kCallReasonDirect = 0x1;             // LINECALLREASON_DIRECT
constexpr DWORD kCallFeatureDrop = 0x80;             // LINECALLFEATURE_DROP
constexpr DWORD kCallFeatureMonitorDigits = 0x1000;  // LINECALLFEATURE_MONITORDIGITS
constexpr DWORD kAnswerModeNone = 0x1;               // LINEANSWERMODE_NONE

// FNV-1a of the name: a permanent line identifier that stays with the line when the file
// changes order.
DWORD PermanentId(const std::string& name) {
  uint32_t hash = 2166136261u;
  for (unsigned char c : name) hash = (hash ^ c) * 16777619u;
  return hash;
}

// Places NUL-terminated strings after a structure's fixed part, all or none: a caller whose
// buffer is too small sees only dwNeededSize and asks again with a bigger one.
class VariablePart {
 public:
  VariablePart(void* structure, DWORD fixed_size, DWORD total_size)
      : base_(static_cast<char*>(structure)), fixed_(fixed_size), total_(total_size) {}

  void Add(const std::string& text, DWORD* size_field, DWORD* offset_field) {
    items_.push_back({text, size_field, offset_field});
  }

  DWORD Needed() const {
    DWORD needed = fixed_;
    for (const Item& item : items_) needed += static_cast<DWORD>(item.text.size() + 1);
    return needed;
  }

  // Copies the strings if they all fit; returns the used size.
  DWORD Place() const {
    const DWORD needed = Needed();
    if (total_ < needed) return fixed_;
    DWORD offset = fixed_;
    for (const Item& item : items_) {
      const DWORD size = static_cast<DWORD>(item.text.size() + 1);
      std::memcpy(base_ + offset, item.text.c_str(), size);
      *item.size_field = size;
      *item.offset_field = offset;
      offset += size;
    }
    return needed;
  }

 private:
  struct Item {
    std::string text;
    DWORD* size_field;
    DWORD* offset_field;
  };
  char* base_;
  DWORD fixed_;
  DWORD total_;
  std::vector<Item> items_;
};

// Clears the fixed part of a structure and keeps its dwTotalSize.
template <typename Structure>
DWORD ClearFixedPart(Structure* structure) {
  const DWORD total = structure->dwTotalSize;
  std::memset(structure, 0, sizeof(Structure));
  structure->dwTotalSize = total;
  return total;
}

}  // namespace

LONG ReadCallParams(const LINECALLPARAMS* params, DWORD line_media_modes, DWORD* media_mode,
                    DWORD* param_flags) {
  DWORD mode = LINEMEDIAMODE_INTERACTIVEVOICE;
  DWORD flags = 0;
  if (params != nullptr) {
    if (params->dwTotalSize < sizeof(LINECALLPARAMS)) return LINEERR_STRUCTURETOOSMALL;
    if (params->dwBearerMode != 0 && params->dwBearerMode != LINEBEARERMODE_VOICE) {
      return LINEERR_INVALBEARERMODE;
    }
    if (params->dwAddressMode == LINEADDRESSMODE_ADDRESSID && params->dwAddressID != 0) {
      return LINEERR_INVALADDRESSID;
    }
    if (params->dwMediaMode != 0) mode = params->dwMediaMode;
    flags = params->dwCallParamFlags;
  } else if ((line_media_modes & mode) == 0) {
    mode = line_media_modes & kVoiceMediaModes ? line_media_modes & kVoiceMediaModes
                                               : line_media_modes;
    mode &= ~(mode - 1);
  }
  if ((mode & (mode - 1)) != 0 || (mode & line_media_modes) == 0) return LINEERR_INVALMEDIAMODE;
  *media_mode = mode;
  *param_flags = flags;
  return 0;
}

void FillDevCaps(const LineDescription& line, LINEDEVCAPS* caps) {
  const DWORD total = ClearFixedPart(caps);
  caps->dwPermanentLineID = PermanentId(line.name);
  caps->dwStringFormat = STRINGFORMAT_ASCII;
  caps->dwAddressModes = LINEADDRESSMODE_ADDRESSID;
  caps->dwNumAddresses = 1;
  caps->dwBearerModes = LINEBEARERMODE_VOICE;
  caps->dwMediaModes = line.media_modes;
  caps->dwMonitorDigitModes = kMonitorDigitModes;
  caps->dwMaxNumActiveCalls = 1;
  caps->dwAnswerMode = kAnswerModeNone;
  caps->dwLineStates = LINEDEVSTATE_OUTOFSERVICE;
  caps->dwLineFeatures = line.line_features;
  VariablePart variable(caps, sizeof(LINEDEVCAPS), total);
  variable.Add(line.provider_info, &caps->dwProviderInfoSize, &caps->dwProviderInfoOffset);
  variable.Add(line.name, &caps->dwLineNameSize, &caps->dwLineNameOffset);
  caps->dwNeededSize = variable.Needed();
  caps->dwUsedSize = variable.Place();
}

void FillCallInfo(const CallDescription& call, LINECALLINFO* info) {
  const DWORD total = ClearFixedPart(info);
  info->hLine = call.line;
  info->dwLineDeviceID = call.device_id;
  info->dwBearerMode = LINEBEARERMODE_VOICE;
  info->dwMediaMode = call.media_mode;
  info->dwCallID = call.call_id;
  info->dwCallParamFlags = call.param_flags;
  info->dwCallStates = kOutgoingCallStates;
  info->dwMonitorDigitModes = call.digit_modes;
  info->dwOrigin = kCallOriginOutbound;
  info->dwReason = kCallReasonDirect;
  info->dwNumOwners = 1;
  // An outgoing call has no caller identification; the called party is the dialled number.
  info->dwCallerIDFlags = LINECALLPARTYID_UNAVAIL;
  info->dwCalledIDFlags = LINECALLPARTYID_ADDRESS;
  info->dwConnectedIDFlags = LINECALLPARTYID_UNKNOWN;
  info->dwRedirectionIDFlags = LINECALLPARTYID_UNKNOWN;
  info->dwRedirectingIDFlags = LINECALLPARTYID_UNKNOWN;
  VariablePart variable(info, sizeof(LINECALLINFO), total);
  variable.Add(call.number, &info->dwCalledIDSize, &info->dwCalledIDOffset);
  variable.Add(call.app_name, &info->dwAppNameSize, &info->dwAppNameOffset);
  info->dwNeededSize = variable.Needed();
  info->dwUsedSize = variable.Place();
}

void FillCallStatus(DWORD state, DWORD state_mode, LINECALLSTATUS* status) {
  ClearFixedPart(status);
  status->dwNeededSize = sizeof(LINECALLSTATUS);
  status->dwUsedSize = sizeof(LINECALLSTATUS);
  status->dwCallState = state;
  status->dwCallStateMode = state_mode;
  status->dwCallPrivilege = LINECALLPRIVILEGE_OWNER;
  if (state != LINECALLSTATE_IDLE) status->dwCallFeatures |= kCallFeatureDrop;
  if (state == LINECALLSTATE_CONNECTED) status->dwCallFeatures |= kCallFeatureMonitorDigits;
}

void FillDeviceId(DWORD id, VARSTRING* device_id) {
  const DWORD total = ClearFixedPart(device_id);
  device_id->dwStringFormat = STRINGFORMAT_BINARY;
  device_id->dwNeededSize = sizeof(VARSTRING) + sizeof(DWORD);
  device_id->dwUsedSize = sizeof(VARSTRING);
  if (total >= device_id->dwNeededSize) {
    std::memcpy(reinterpret_cast<char*>(device_id) + sizeof(VARSTRING), &id, sizeof id);
    device_id->dwStringSize = sizeof(DWORD);
    device_id->dwStringOffset = sizeof(VARSTRING);
    device_id->dwUsedSize = device_id->dwNeededSize;
  }
}

const char* CallStateName(DWORD state) {
  switch (state) {
    case LINECALLSTATE_IDLE:
      return "IDLE";
    case LINECALLSTATE_DIALTONE:
      return "DIALTONE";
    case LINECALLSTATE_DIALING:
      return "DIALING";
    case LINECALLSTATE_PROCEEDING:
      return "PROCEEDING";
    case LINECALLSTATE_RINGBACK:
      return "RINGBACK";
    case LINECALLSTATE_BUSY:
      return "BUSY";
    case LINECALLSTATE_CONNECTED:
      return "CONNECTED";
    case LINECALLSTATE_DISCONNECTED:
      return "DISCONNECTED";
    default:
      return "OTHER";
  }
}

const char* DisconnectModeName(DWORD mode) {
  switch (mode) {
    case LINEDISCONNECTMODE_NORMAL:
      return "NORMAL";
    case LINEDISCONNECTMODE_REJECT:
      return "REJECT";
    case LINEDISCONNECTMODE_BUSY:
      return "BUSY";
    case LINEDISCONNECTMODE_NOANSWER:
      return "NOANSWER";
    case LINEDISCONNECTMODE_UNREACHABLE:
      return "UNREACHABLE";
    case LINEDISCONNECTMODE_NODIALTONE:
      return "NODIALTONE";
    default:
      return "OTHER";
  }
}

std::string Hex(LONG value) {
  std::ostringstream text;
  text << "0x" << std::hex << static_cast<uint32_t>(value);
  return text.str();
}

}  // namespace telvane::linesvc
