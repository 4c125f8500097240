// The Telephony API 1.4 subset that Telvane uses: handles, callback, structures, constants
// and the request signatures, with their published names, field order and sizes.
//
// On Windows the system's own header is used. Elsewhere this file declares the same ABI for
// the telephony service that stands in for TAPI32: the handles are 32-bit as in 64-bit
// Windows, results are 32-bit LONGs, pointer-sized parameters are uintptr_t.
#pragma once

#ifdef _WIN32
#include <windows.h>
// clang-format off
#include <tapi.h>
// clang-format on
#else

#include <cstddef>
#include <cstdint>

using DWORD = uint32_t;
using LONG = int32_t;
using DWORD_PTR = uintptr_t;
using LPCSTR = const char*;
using LPDWORD = DWORD*;
using HINSTANCE = void*;
using HLINEAPP = DWORD;
using HLINE = DWORD;
using HCALL = DWORD;
using LPHLINEAPP = HLINEAPP*;
using LPHLINE = HLINE*;
using LPHCALL = HCALL*;

#define WINAPI
#define CALLBACK

using LINECALLBACK = void (*)(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwInstance,
                              DWORD_PTR dwParam1, DWORD_PTR dwParam2, DWORD_PTR dwParam3);

struct LINEEXTENSIONID {
  DWORD dwExtensionID0;
  DWORD dwExtensionID1;
  DWORD dwExtensionID2;
  DWORD dwExtensionID3;
};
using LPLINEEXTENSIONID = LINEEXTENSIONID*;

struct LINEDIALPARAMS {
  DWORD dwDialPause;
  DWORD dwDialSpeed;
  DWORD dwDigitDuration;
  DWORD dwWaitForDialtone;
};

// Line device capabilities as of version 1.4 (the fields up to dwLineFeatures).
struct LINEDEVCAPS {
  DWORD dwTotalSize;
  DWORD dwNeededSize;
  DWORD dwUsedSize;
  DWORD dwProviderInfoSize;
  DWORD dwProviderInfoOffset;
  DWORD dwSwitchInfoSize;
  DWORD dwSwitchInfoOffset;
  DWORD dwPermanentLineID;
  DWORD dwLineNameSize;
  DWORD dwLineNameOffset;
  DWORD dwStringFormat;
  DWORD dwAddressModes;
  DWORD dwNumAddresses;
  DWORD dwBearerModes;
  DWORD dwMaxRate;
  DWORD dwMediaModes;
  DWORD dwGenerateToneModes;
  DWORD dwGenerateToneMaxNumFreq;
  DWORD dwGenerateDigitModes;
  DWORD dwMonitorToneMaxNumFreq;
  DWORD dwMonitorToneMaxNumEntries;
  DWORD dwMonitorDigitModes;
  DWORD dwGatherDigitsMinTimeout;
  DWORD dwGatherDigitsMaxTimeout;
  DWORD dwMedCtlDigitMaxListSize;
  DWORD dwMedCtlMediaMaxListSize;
  DWORD dwMedCtlToneMaxListSize;
  DWORD dwMedCtlCallStateMaxListSize;
  DWORD dwDevCapFlags;
  DWORD dwMaxNumActiveCalls;
  DWORD dwAnswerMode;
  DWORD dwRingModes;
  DWORD dwLineStates;
  DWORD dwUUIAcceptSize;
  DWORD dwUUIAnswerSize;
  DWORD dwUUIMakeCallSize;
  DWORD dwUUIDropSize;
  DWORD dwUUISendUserUserInfoSize;
  DWORD dwUUICallInfoSize;
  LINEDIALPARAMS MinDialParams;
  LINEDIALPARAMS MaxDialParams;
  LINEDIALPARAMS DefaultDialParams;
  DWORD dwNumTerminals;
  DWORD dwTerminalCapsSize;
  DWORD dwTerminalCapsOffset;
  DWORD dwTerminalTextEntrySize;
  DWORD dwTerminalTextSize;
  DWORD dwTerminalTextOffset;
  DWORD dwDevSpecificSize;
  DWORD dwDevSpecificOffset;
  DWORD dwLineFeatures;
};
using LPLINEDEVCAPS = LINEDEVCAPS*;

struct LINECALLINFO {
  DWORD dwTotalSize;
  DWORD dwNeededSize;
  DWORD dwUsedSize;
  HLINE hLine;
  DWORD dwLineDeviceID;
  DWORD dwAddressID;
  DWORD dwBearerMode;
  DWORD dwRate;
  DWORD dwMediaMode;
  DWORD dwAppSpecific;
  DWORD dwCallID;
  DWORD dwRelatedCallID;
  DWORD dwCallParamFlags;
  DWORD dwCallStates;
  DWORD dwMonitorDigitModes;
  DWORD dwMonitorMediaModes;
  LINEDIALPARAMS DialParams;
  DWORD dwOrigin;
  DWORD dwReason;
  DWORD dwCompletionID;
  DWORD dwNumOwners;
  DWORD dwNumMonitors;
  DWORD dwCountryCode;
  DWORD dwTrunk;
  DWORD dwCallerIDFlags;
  DWORD dwCallerIDSize;
  DWORD dwCallerIDOffset;
  DWORD dwCallerIDNameSize;
  DWORD dwCallerIDNameOffset;
  DWORD dwCalledIDFlags;
  DWORD dwCalledIDSize;
  DWORD dwCalledIDOffset;
  DWORD dwCalledIDNameSize;
  DWORD dwCalledIDNameOffset;
  DWORD dwConnectedIDFlags;
  DWORD dwConnectedIDSize;
  DWORD dwConnectedIDOffset;
  DWORD dwConnectedIDNameSize;
  DWORD dwConnectedIDNameOffset;
  DWORD dwRedirectionIDFlags;
  DWORD dwRedirectionIDSize;
  DWORD dwRedirectionIDOffset;
  DWORD dwRedirectionIDNameSize;
  DWORD dwRedirectionIDNameOffset;
  DWORD dwRedirectingIDFlags;
  DWORD dwRedirectingIDSize;
  DWORD dwRedirectingIDOffset;
  DWORD dwRedirectingIDNameSize;
  DWORD dwRedirectingIDNameOffset;
  DWORD dwAppNameSize;
  DWORD dwAppNameOffset;
  DWORD dwDisplayableAddressSize;
  DWORD dwDisplayableAddressOffset;
  DWORD dwCalledPartySize;
  DWORD dwCalledPartyOffset;
  DWORD dwCommentSize;
  DWORD dwCommentOffset;
  DWORD dwDisplaySize;
  DWORD dwDisplayOffset;
  DWORD dwUserUserInfoSize;
  DWORD dwUserUserInfoOffset;
  DWORD dwHighLevelCompSize;
  DWORD dwHighLevelCompOffset;
  DWORD dwLowLevelCompSize;
  DWORD dwLowLevelCompOffset;
  DWORD dwChargingInfoSize;
  DWORD dwChargingInfoOffset;
  DWORD dwTerminalModesSize;
  DWORD dwTerminalModesOffset;
  DWORD dwDevSpecificSize;
  DWORD dwDevSpecificOffset;
};
using LPLINECALLINFO = LINECALLINFO*;

struct LINECALLSTATUS {
  DWORD dwTotalSize;
  DWORD dwNeededSize;
  DWORD dwUsedSize;
  DWORD dwCallState;
  DWORD dwCallStateMode;
  DWORD dwCallPrivilege;
  DWORD dwCallFeatures;
  DWORD dwDevSpecificSize;
  DWORD dwDevSpecificOffset;
};
using LPLINECALLSTATUS = LINECALLSTATUS*;

struct LINECALLPARAMS {
  DWORD dwTotalSize;
  DWORD dwBearerMode;
  DWORD dwMinRate;
  DWORD dwMaxRate;
  DWORD dwMediaMode;
  DWORD dwCallParamFlags;
  DWORD dwAddressMode;
  DWORD dwAddressID;
  LINEDIALPARAMS DialParams;
  DWORD dwOrigAddressSize;
  DWORD dwOrigAddressOffset;
  DWORD dwDisplayableAddressSize;
  DWORD dwDisplayableAddressOffset;
  DWORD dwCalledPartySize;
  DWORD dwCalledPartyOffset;
  DWORD dwCommentSize;
  DWORD dwCommentOffset;
  DWORD dwUserUserInfoSize;
  DWORD dwUserUserInfoOffset;
  DWORD dwHighLevelCompSize;
  DWORD dwHighLevelCompOffset;
  DWORD dwLowLevelCompSize;
  DWORD dwLowLevelCompOffset;
  DWORD dwDevSpecificSize;
  DWORD dwDevSpecificOffset;
};
using LPLINECALLPARAMS = LINECALLPARAMS*;

struct VARSTRING {
  DWORD dwTotalSize;
  DWORD dwNeededSize;
  DWORD dwUsedSize;
  DWORD dwStringFormat;
  DWORD dwStringSize;
  DWORD dwStringOffset;
};
using LPVARSTRING = VARSTRING*;

// Messages of the line callback.
inline constexpr DWORD LINE_ADDRESSSTATE = 0;
inline constexpr DWORD LINE_CALLINFO = 1;
inline constexpr DWORD LINE_CALLSTATE = 2;
inline constexpr DWORD LINE_CLOSE = 3;
inline constexpr DWORD LINE_DEVSPECIFIC = 4;
inline constexpr DWORD LINE_DEVSPECIFICFEATURE = 5;
inline constexpr DWORD LINE_GATHERDIGITS = 6;
inline constexpr DWORD LINE_GENERATE = 7;
inline constexpr DWORD LINE_LINEDEVSTATE = 8;
inline constexpr DWORD LINE_MONITORDIGITS = 9;
inline constexpr DWORD LINE_MONITORMEDIA = 10;
inline constexpr DWORD LINE_MONITORTONE = 11;
inline constexpr DWORD LINE_REPLY = 12;
inline constexpr DWORD LINE_REQUEST = 13;
inline constexpr DWORD LINE_CREATE = 19;

// Call states.
inline constexpr DWORD LINECALLSTATE_IDLE = 0x00000001;
inline constexpr DWORD LINECALLSTATE_OFFERING = 0x00000002;
inline constexpr DWORD LINECALLSTATE_ACCEPTED = 0x00000004;
inline constexpr DWORD LINECALLSTATE_DIALTONE = 0x00000008;
inline constexpr DWORD LINECALLSTATE_DIALING = 0x00000010;
inline constexpr DWORD LINECALLSTATE_RINGBACK = 0x00000020;
inline constexpr DWORD LINECALLSTATE_BUSY = 0x00000040;
inline constexpr DWORD LINECALLSTATE_SPECIALINFO = 0x00000080;
inline constexpr DWORD LINECALLSTATE_CONNECTED = 0x00000100;
inline constexpr DWORD LINECALLSTATE_PROCEEDING = 0x00000200;
inline constexpr DWORD LINECALLSTATE_ONHOLD = 0x00000400;
inline constexpr DWORD LINECALLSTATE_CONFERENCED = 0x00000800;
inline constexpr DWORD LINECALLSTATE_ONHOLDPENDCONF = 0x00001000;
inline constexpr DWORD LINECALLSTATE_ONHOLDPENDTRANSFER = 0x00002000;
inline constexpr DWORD LINECALLSTATE_DISCONNECTED = 0x00004000;
inline constexpr DWORD LINECALLSTATE_UNKNOWN = 0x00008000;

// Disconnect modes.
inline constexpr DWORD LINEDISCONNECTMODE_NORMAL = 0x00000001;
inline constexpr DWORD LINEDISCONNECTMODE_UNKNOWN = 0x00000002;
inline constexpr DWORD LINEDISCONNECTMODE_REJECT = 0x00000004;
inline constexpr DWORD LINEDISCONNECTMODE_PICKUP = 0x00000008;
inline constexpr DWORD LINEDISCONNECTMODE_FORWARDED = 0x00000010;
inline constexpr DWORD LINEDISCONNECTMODE_BUSY = 0x00000020;
inline constexpr DWORD LINEDISCONNECTMODE_NOANSWER = 0x00000040;
inline constexpr DWORD LINEDISCONNECTMODE_BADADDRESS = 0x00000080;
inline constexpr DWORD LINEDISCONNECTMODE_UNREACHABLE = 0x00000100;
inline constexpr DWORD LINEDISCONNECTMODE_CONGESTION = 0x00000200;
inline constexpr DWORD LINEDISCONNECTMODE_INCOMPATIBLE = 0x00000400;
inline constexpr DWORD LINEDISCONNECTMODE_UNAVAIL = 0x00000800;
inline constexpr DWORD LINEDISCONNECTMODE_NODIALTONE = 0x00001000;

// Line device states.
inline constexpr DWORD LINEDEVSTATE_OTHER = 0x00000001;
inline constexpr DWORD LINEDEVSTATE_RINGING = 0x00000002;
inline constexpr DWORD LINEDEVSTATE_CONNECTED = 0x00000004;
inline constexpr DWORD LINEDEVSTATE_DISCONNECTED = 0x00000008;
inline constexpr DWORD LINEDEVSTATE_INSERVICE = 0x00000040;
inline constexpr DWORD LINEDEVSTATE_OUTOFSERVICE = 0x00000080;
inline constexpr DWORD LINEDEVSTATE_MAINTENANCE = 0x00000100;
inline constexpr DWORD LINEDEVSTATE_OPEN = 0x00000200;
inline constexpr DWORD LINEDEVSTATE_CLOSE = 0x00000400;
inline constexpr DWORD LINEDEVSTATE_REINIT = 0x00040000;
inline constexpr DWORD LINEDEVSTATE_REMOVED = 0x01000000;

// Media modes, bearer modes, features, privileges, selections, digit modes.
inline constexpr DWORD LINEMEDIAMODE_UNKNOWN = 0x00000002;
inline constexpr DWORD LINEMEDIAMODE_INTERACTIVEVOICE = 0x00000004;
inline constexpr DWORD LINEMEDIAMODE_AUTOMATEDVOICE = 0x00000008;
inline constexpr DWORD LINEMEDIAMODE_DATAMODEM = 0x00000010;
inline constexpr DWORD LINEMEDIAMODE_G3FAX = 0x00000020;
inline constexpr DWORD LINEBEARERMODE_VOICE = 0x00000001;
inline constexpr DWORD LINEFEATURE_MAKECALL = 0x00000008;
inline constexpr DWORD LINECALLPRIVILEGE_NONE = 0x00000001;
inline constexpr DWORD LINECALLPRIVILEGE_MONITOR = 0x00000002;
inline constexpr DWORD LINECALLPRIVILEGE_OWNER = 0x00000004;
inline constexpr DWORD LINECALLPARAMFLAGS_IDLE = 0x00000002;
inline constexpr DWORD LINEADDRESSMODE_ADDRESSID = 0x00000001;
inline constexpr DWORD LINECALLSELECT_LINE = 0x00000001;
inline constexpr DWORD LINECALLSELECT_ADDRESS = 0x00000002;
inline constexpr DWORD LINECALLSELECT_CALL = 0x00000004;
inline constexpr DWORD LINEDIGITMODE_PULSE = 0x00000001;
inline constexpr DWORD LINEDIGITMODE_DTMF = 0x00000002;
inline constexpr DWORD LINEDIGITMODE_DTMFEND = 0x00000004;
inline constexpr DWORD LINECALLINFOSTATE_CALLERID = 0x00008000;
inline constexpr DWORD LINECALLPARTYID_BLOCKED = 0x00000001;
inline constexpr DWORD LINECALLPARTYID_OUTOFAREA = 0x00000002;
inline constexpr DWORD LINECALLPARTYID_ADDRESS = 0x00000008;
inline constexpr DWORD LINECALLPARTYID_UNKNOWN = 0x00000020;
inline constexpr DWORD LINECALLPARTYID_UNAVAIL = 0x00000040;
inline constexpr DWORD STRINGFORMAT_ASCII = 0x00000001;
inline constexpr DWORD STRINGFORMAT_BINARY = 0x00000004;

// Errors (LINEERR_*), the ones the line device and the service name.
inline constexpr LONG LINEERR_ALLOCATED = static_cast<LONG>(0x80000001);
inline constexpr LONG LINEERR_BADDEVICEID = static_cast<LONG>(0x80000002);
inline constexpr LONG LINEERR_CALLUNAVAIL = static_cast<LONG>(0x80000005);
inline constexpr LONG LINEERR_INCOMPATIBLEAPIVERSION = static_cast<LONG>(0x8000000C);
inline constexpr LONG LINEERR_INCOMPATIBLEEXTVERSION = static_cast<LONG>(0x8000000D);
inline constexpr LONG LINEERR_INUSE = static_cast<LONG>(0x8000000F);
inline constexpr LONG LINEERR_INVALADDRESS = static_cast<LONG>(0x80000010);
inline constexpr LONG LINEERR_INVALADDRESSID = static_cast<LONG>(0x80000011);
inline constexpr LONG LINEERR_INVALADDRESSSTATE = static_cast<LONG>(0x80000013);
inline constexpr LONG LINEERR_INVALAPPHANDLE = static_cast<LONG>(0x80000014);
inline constexpr LONG LINEERR_INVALBEARERMODE = static_cast<LONG>(0x80000016);
inline constexpr LONG LINEERR_INVALCALLHANDLE = static_cast<LONG>(0x80000018);
inline constexpr LONG LINEERR_INVALCALLPARAMS = static_cast<LONG>(0x80000019);
inline constexpr LONG LINEERR_INVALCALLSELECT = static_cast<LONG>(0x8000001B);
inline constexpr LONG LINEERR_INVALCALLSTATE = static_cast<LONG>(0x8000001C);
inline constexpr LONG LINEERR_INVALDEVICECLASS = static_cast<LONG>(0x80000023);
inline constexpr LONG LINEERR_INVALDIGITMODE = static_cast<LONG>(0x80000027);
inline constexpr LONG LINEERR_INVALLINEHANDLE = static_cast<LONG>(0x8000002B);
inline constexpr LONG LINEERR_INVALLINESTATE = static_cast<LONG>(0x8000002C);
inline constexpr LONG LINEERR_INVALMEDIAMODE = static_cast<LONG>(0x8000002F);
inline constexpr LONG LINEERR_INVALPARAM = static_cast<LONG>(0x80000032);
inline constexpr LONG LINEERR_INVALPOINTER = static_cast<LONG>(0x80000035);
inline constexpr LONG LINEERR_INVALPRIVSELECT = static_cast<LONG>(0x80000036);
inline constexpr LONG LINEERR_LINEMAPPERFAILED = static_cast<LONG>(0x80000040);
inline constexpr LONG LINEERR_NODEVICE = static_cast<LONG>(0x80000042);
inline constexpr LONG LINEERR_NODRIVER = static_cast<LONG>(0x80000043);
inline constexpr LONG LINEERR_NOMEM = static_cast<LONG>(0x80000044);
inline constexpr LONG LINEERR_NOTOWNER = static_cast<LONG>(0x80000046);
inline constexpr LONG LINEERR_OPERATIONFAILED = static_cast<LONG>(0x80000048);
inline constexpr LONG LINEERR_OPERATIONUNAVAIL = static_cast<LONG>(0x80000049);
inline constexpr LONG LINEERR_RESOURCEUNAVAIL = static_cast<LONG>(0x8000004B);
inline constexpr LONG LINEERR_STRUCTURETOOSMALL = static_cast<LONG>(0x8000004D);
inline constexpr LONG LINEERR_UNINITIALIZED = static_cast<LONG>(0x80000050);
inline constexpr LONG LINEERR_REINIT = static_cast<LONG>(0x80000052);

static_assert(sizeof(LINEDEVCAPS) == 240);
static_assert(sizeof(LINECALLINFO) == 296);
static_assert(sizeof(LINECALLSTATUS) == 36);
static_assert(sizeof(LINECALLPARAMS) == 112);
static_assert(sizeof(VARSTRING) == 24);
static_assert(offsetof(LINEDEVCAPS, dwMediaModes) == 60);
static_assert(offsetof(LINECALLINFO, dwCallerIDFlags) == 108);

#endif  // _WIN32

// The TAPI version Telvane negotiates, as both the lowest and the highest it accepts.
inline constexpr DWORD kTapiVersion14 = 0x00010004;

// The line interface of the telephony library, written once, in the order in which the binding
// fetches its entries when it loads the library. Each use expands the list with two macros of
// its own. REQUEST(Name, (parameters), (arguments)) is a request Telvane makes: the library's
// entry is line##Name, and the parameters keep the published order, types and names. ENTRY(Name)
// is an entry nothing calls, fetched only so that the binding's table covers the library's whole
// line interface. The binding's table and wrappers, the telephony service's requests and
// exports and the tests' stand-in library are all made from it.
// clang-format off
#define TELVANE_TAPI_LINE_INTERFACE(REQUEST, ENTRY)                                            \
  ENTRY(GenerateTone) ENTRY(MonitorTones) ENTRY(SetCallParams) ENTRY(Handoff)                  \
  ENTRY(MonitorMedia) ENTRY(GenerateDigits)                                                    \
  REQUEST(MonitorDigits, (HCALL hCall, DWORD dwDigitModes), (hCall, dwDigitModes))             \
  REQUEST(Initialize, (LPHLINEAPP lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback,  \
                       LPCSTR lpszAppName, LPDWORD lpdwNumDevs),                               \
          (lphLineApp, hInstance, lpfnCallback, lpszAppName, lpdwNumDevs))                     \
  REQUEST(Shutdown, (HLINEAPP hLineApp), (hLineApp))                                           \
  REQUEST(NegotiateAPIVersion, (HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion,    \
                                DWORD dwAPIHighVersion, LPDWORD lpdwAPIVersion,                \
                                LPLINEEXTENSIONID lpExtensionID),                              \
          (hLineApp, dwDeviceID, dwAPILowVersion, dwAPIHighVersion, lpdwAPIVersion,            \
           lpExtensionID))                                                                     \
  REQUEST(GetDevCaps, (HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion,                \
                       DWORD dwExtVersion, LPLINEDEVCAPS lpLineDevCaps),                       \
          (hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion, lpLineDevCaps))                   \
  REQUEST(Open, (HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion,     \
                 DWORD dwExtVersion, DWORD_PTR dwCallbackInstance, DWORD dwPrivileges,         \
                 DWORD dwMediaModes, LPLINECALLPARAMS const lpCallParams),                     \
          (hLineApp, dwDeviceID, lphLine, dwAPIVersion, dwExtVersion, dwCallbackInstance,      \
           dwPrivileges, dwMediaModes, lpCallParams))                                          \
  REQUEST(MakeCall, (HLINE hLine, LPHCALL lphCall, LPCSTR lpszDestAddress,                     \
                     DWORD dwCountryCode, LPLINECALLPARAMS const lpCallParams),                \
          (hLine, lphCall, lpszDestAddress, dwCountryCode, lpCallParams))                      \
  REQUEST(Accept, (HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize),                         \
          (hCall, lpsUserUserInfo, dwSize))                                                    \
  REQUEST(Answer, (HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize),                         \
          (hCall, lpsUserUserInfo, dwSize))                                                    \
  REQUEST(DeallocateCall, (HCALL hCall), (hCall))                                              \
  REQUEST(Drop, (HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize),                           \
          (hCall, lpsUserUserInfo, dwSize))                                                    \
  REQUEST(Close, (HLINE hLine), (hLine))                                                       \
  ENTRY(GetCountry) ENTRY(ConfigDialog) ENTRY(ConfigDialogEdit)                                \
  REQUEST(GetID, (HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect,                 \
                  LPVARSTRING lpDeviceID, LPCSTR lpszDeviceClass),                             \
          (hLine, dwAddressID, hCall, dwSelect, lpDeviceID, lpszDeviceClass))                  \
  REQUEST(SetStatusMessages, (HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates),         \
          (hLine, dwLineStates, dwAddressStates))                                              \
  ENTRY(GetStatusMessages) ENTRY(GetAddressCaps) ENTRY(GetAddressStatus)                       \
  ENTRY(GetLineDevStatus) ENTRY(GetDevConfig) ENTRY(SetDevConfig)                              \
  REQUEST(GetCallInfo, (HCALL hCall, LPLINECALLINFO lpCallInfo), (hCall, lpCallInfo))          \
  REQUEST(GetCallStatus, (HCALL hCall, LPLINECALLSTATUS lpCallStatus), (hCall, lpCallStatus))  \
  ENTRY(SetMediaMode) ENTRY(TranslateAddress) ENTRY(TranslateDialog)                           \
  ENTRY(SetCurrentLocation) ENTRY(SetTollList) ENTRY(GetTranslateCaps)

// The requests alone, X(Name, (parameters), (arguments)), for the uses that make one thing per
// request.
#define TELVANE_TAPI_REQUESTS(X) TELVANE_TAPI_LINE_INTERFACE(X, TELVANE_TAPI_NO_REQUEST)
#define TELVANE_TAPI_NO_REQUEST(name)
// clang-format on

// The arguments of a list entry without their parentheses: Call(f, TELVANE_TAPI_ARGS args).
#define TELVANE_TAPI_ARGS(...) __VA_ARGS__

// Each request's function type as the library exports it: telvane::tapi::PFN_lineInitialize.
namespace telvane::tapi {
#define TELVANE_TAPI_FUNCTION_TYPE(name, params, args) using PFN_line##name = LONG(WINAPI*) params;
TELVANE_TAPI_REQUESTS(TELVANE_TAPI_FUNCTION_TYPE)
#undef TELVANE_TAPI_FUNCTION_TYPE
}  // namespace telvane::tapi
