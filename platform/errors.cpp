// Code-to-text lookup and the single mapping from a failure code to a raised exception.
#include "platform/errors.h"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <limits>
#include <string_view>

#include "platform/message_table.h"
#include "platform/system_error_text.h"

namespace telvane {
namespace {

constexpr std::string_view kDefaultMessage = "Vuvu exception";

// The file and device errors that become EInOutError.
constexpr int32_t kFirstInOutError = -162;
constexpr int32_t kLastInOutError = -2;

constexpr int32_t Magnitude(int32_t code) { return code < 0 ? -code : code; }

// The catalogue number of a code: the absolute value of its low 16 bits read as signed, 0 to
// 32768. Negative codes and their positive twins name the same entry this way.
int32_t CatalogueNumber(int32_t code) {
  const auto low = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(code)));
  return Magnitude(low);
}

std::string_view CatalogueText(int32_t number) {
  const std::span<const MessageEntry> table = MessageTable();
  const auto entry =
      std::lower_bound(table.begin(), table.end(), number,
                       [](const MessageEntry& e, int32_t n) { return Magnitude(e.code) < n; });
  if (entry == table.end() || Magnitude(entry->code) != number) return {};
  return entry->text;
}

// Fits a system text on one line: it is cut to the message length limit, control characters
// become spaces and every run of spaces shrinks to one. It is not trimmed. Bytes are compared
// unsigned so that letters of the upper half of the code page are not taken for control
// characters.
std::string CleanSystemText(std::string text) {
  if (text.size() > kMaxMessageLength) text.resize(kMaxMessageLength);
  std::string cleaned;
  cleaned.reserve(text.size());
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 32) c = ' ';
    if (c == ' ' && !cleaned.empty() && cleaned.back() == ' ') continue;
    cleaned.push_back(c);
  }
  return cleaned;
}

template <class E>
[[noreturn]] void Raise(int32_t code) {
  throw E(code);
}

struct ClassEntry {
  int32_t code;
  void (*raise)(int32_t code);
};

// Which class each mapped code raises. Codes not listed fall through to the general rules.
constexpr ClassEntry kClassTable[] = {
    {-1002, &Raise<EBadArgument>},
    {-1003, &Raise<EGotQuitMsg>},
    {-1004, &Raise<EBufferTooBig>},
    {-1005, &Raise<EPortNotAssigned>},
    {-1006, &Raise<EInternal>},
    {-7003, &Raise<EInternal>},
    {-7006, &Raise<EInternal>},
    {-7012, &Raise<EInternal>},
    {-1007, &Raise<EModemNotAssigned>},
    {-1008, &Raise<EPhonebookNotAssigned>},
    {-1009, &Raise<ECannotUseWithWinSock>},

    {-2001, &Raise<EBadId>},
    {-2002, &Raise<EBaudRate>},
    {-2003, &Raise<EByteSize>},
    {-2004, &Raise<EDefault>},
    {-2005, &Raise<EHardware>},
    {-2006, &Raise<EMemory>},
    {-2007, &Raise<ECommNotOpen>},
    {-2008, &Raise<EAlreadyOpen>},
    {-2009, &Raise<ENoHandles>},
    {-2010, &Raise<ENoTimers>},
    {-2011, &Raise<ENoPortSelected>},
    {-2012, &Raise<ENotOpenedByTapi>},

    {-3001, &Raise<ENullApi>},
    {-3003, &Raise<ERegisterHandlerFailed>},
    {-3004, &Raise<EPutBlockFail>},
    {-3005, &Raise<EGetBlockFail>},
    {-3006, &Raise<EOutputBufferTooSmall>},
    {-3007, &Raise<EBufferIsEmpty>},
    {-3008, &Raise<ETracingNotEnabled>},
    {-3009, &Raise<ELoggingNotEnabled>},
    {-3010, &Raise<EBaseAddressNotSet>},

    {-4001, &Raise<EModemNotStarted>},
    {-4002, &Raise<EModemBusy>},
    {-4003, &Raise<EModemNotDialing>},
    {-4006, &Raise<EModemNotResponding>},
    {-4007, &Raise<EModemRejectedCommand>},
    {-4008, &Raise<EModemStatusMismatch>},
    {-4005, &Raise<EAlreadyDialing>},
    {-4004, &Raise<ENotDialing>},

    {-5001, &Raise<ENoMoreTriggers>},
    {-5002, &Raise<ETriggerTooLong>},
    {-5003, &Raise<EBadTriggerHandle>},

    // The protocol family has no members; the family class itself is raised.
    {-6006, &Raise<EProtocol>},
    {-6008, &Raise<EProtocol>},
    {-6009, &Raise<EProtocol>},

    {-7001, &Raise<EKeyTooLong>},
    {-7002, &Raise<EDataTooLarge>},
    {-7004, &Raise<EIniWrite>},
    {-7005, &Raise<EIniRead>},
    {-7007, &Raise<ERecordExists>},
    {-7008, &Raise<ERecordNotFound>},
    {-7010, &Raise<EDatabaseFull>},
    {-7011, &Raise<EDatabaseEmpty>},
    {-7013, &Raise<EBadFieldList>},
    {-7014, &Raise<EBadFieldForIndex>},

    {-8001, &Raise<EFaxBadFormat>},
    {-8002, &Raise<EBadGraphicsFormat>},
    {-8003, &Raise<EConvertAbort>},
    {-8004, &Raise<EUnpackAbort>},
    {-8005, &Raise<ECantMakeBitmap>},
    {-8053, &Raise<EInvalidPageNumber>},
    {-8060, &Raise<EFaxBadMachine>},
    {-8061, &Raise<EFaxBadModemResult>},
    {-8062, &Raise<EFaxTrainError>},
    {-8063, &Raise<EFaxInitError>},
    {-8064, &Raise<EFaxBusy>},
    {-8065, &Raise<EFaxVoiceCall>},
    {-8066, &Raise<EFaxDataCall>},
    {-8067, &Raise<EFaxNoDialTone>},
    {-8068, &Raise<EFaxNoCarrier>},
    {-8069, &Raise<EFaxSessionError>},
    {-8070, &Raise<EFaxPageError>},

    {-13801, &Raise<ETapiAllocated>},
    {-13802, &Raise<ETapiBadDeviceID>},
    {-13803, &Raise<ETapiBearerModeUnavail>},
    {-13805, &Raise<ETapiCallUnavail>},
    {-13806, &Raise<ETapiCompletionOverrun>},
    {-13807, &Raise<ETapiConferenceFull>},
    {-13808, &Raise<ETapiDialBilling>},
    {-13809, &Raise<ETapiDialDialtone>},
    {-13810, &Raise<ETapiDialPrompt>},
    {-13811, &Raise<ETapiDialQuiet>},
    {-13812, &Raise<ETapiIncompatibleApiVersion>},
    {-13813, &Raise<ETapiIncompatibleExtVersion>},
    {-13814, &Raise<ETapiIniFileCorrupt>},
    {-13815, &Raise<ETapiInUse>},
    {-13816, &Raise<ETapiInvalAddress>},
    {-13817, &Raise<ETapiInvalAddressID>},
    {-13818, &Raise<ETapiInvalAddressMode>},
    {-13819, &Raise<ETapiInvalAddressState>},
    {-13820, &Raise<ETapiInvalAppHandle>},
    {-13821, &Raise<ETapiInvalAppName>},
    {-13822, &Raise<ETapiInvalBearerMode>},
    {-13823, &Raise<ETapiInvalCallComplMode>},
    {-13824, &Raise<ETapiInvalCallHandle>},
    {-13825, &Raise<ETapiInvalCallParams>},
    {-13826, &Raise<ETapiInvalCallPrivilege>},
    {-13827, &Raise<ETapiInvalCallSelect>},
    {-13828, &Raise<ETapiInvalCallState>},
    {-13829, &Raise<ETapiInvalCallStatelist>},
    {-13830, &Raise<ETapiInvalCard>},
    {-13831, &Raise<ETapiInvalCompletionID>},
    {-13832, &Raise<ETapiInvalConfCallHandle>},
    {-13833, &Raise<ETapiInvalConsultCallHandle>},
    {-13834, &Raise<ETapiInvalCountryCode>},
    {-13835, &Raise<ETapiInvalDeviceClass>},
    {-13836, &Raise<ETapiInvalDeviceHandle>},
    {-13837, &Raise<ETapiInvalDialParams>},
    {-13838, &Raise<ETapiInvalDigitList>},
    {-13839, &Raise<ETapiInvalDigitMode>},
    {-13840, &Raise<ETapiInvalDigits>},
    {-13841, &Raise<ETapiInvalExtVersion>},
    {-13842, &Raise<ETapiInvalGroupID>},
    {-13843, &Raise<ETapiInvalLineHandle>},
    {-13844, &Raise<ETapiInvalLineState>},
    {-13845, &Raise<ETapiInvalLocation>},
    {-13846, &Raise<ETapiInvalMediaList>},
    {-13847, &Raise<ETapiInvalMediaMode>},
    {-13848, &Raise<ETapiInvalMessageID>},
    {-13850, &Raise<ETapiInvalParam>},
    {-13851, &Raise<ETapiInvalParkID>},
    {-13852, &Raise<ETapiInvalParkMode>},
    {-13853, &Raise<ETapiInvalPointer>},
    {-13854, &Raise<ETapiInvalPrivSelect>},
    {-13855, &Raise<ETapiInvalRate>},
    {-13856, &Raise<ETapiInvalRequestMode>},
    {-13857, &Raise<ETapiInvalTerminalID>},
    {-13858, &Raise<ETapiInvalTerminalMode>},
    {-13859, &Raise<ETapiInvalTimeout>},
    {-13860, &Raise<ETapiInvalTone>},
    {-13861, &Raise<ETapiInvalToneList>},
    {-13862, &Raise<ETapiInvalToneMode>},
    {-13863, &Raise<ETapiInvalTransferMode>},
    {-13864, &Raise<ETapiLineMapperFailed>},
    {-13865, &Raise<ETapiNoConference>},
    {-13866, &Raise<ETapiNoDevice>},
    {-13867, &Raise<ETapiNoDriver>},
    {-13868, &Raise<ETapiNoMem>},
    {-13869, &Raise<ETapiNoRequest>},
    {-13870, &Raise<ETapiNotOwner>},
    {-13871, &Raise<ETapiNotRegistered>},
    {-13872, &Raise<ETapiOperationFailed>},
    {-13873, &Raise<ETapiOperationUnavail>},
    {-13874, &Raise<ETapiRateUnavail>},
    {-13875, &Raise<ETapiResourceUnavail>},
    {-13876, &Raise<ETapiRequestOverrun>},
    {-13877, &Raise<ETapiStructureTooSmall>},
    {-13878, &Raise<ETapiTargetNotFound>},
    {-13879, &Raise<ETapiTargetSelf>},
    {-13880, &Raise<ETapiUninitialized>},
    {-13881, &Raise<ETapiUserUserInfoTooBig>},
    {-13882, &Raise<ETapiReinit>},
    {-13883, &Raise<ETapiAddressBlocked>},
    {-13884, &Raise<ETapiBillingRejected>},
    {-13885, &Raise<ETapiInvalFeature>},
    {-13886, &Raise<ETapiNoMultipleInstance>},

    // -13933 and -13934 are missing on purpose: the first has only a status text, and the
    // second is raised directly where the unexpected report arrives.
    {-13928, &Raise<ETapiBusy>},
    {-13929, &Raise<ETapiNotSet>},
    {-13930, &Raise<ETapiNoSelect>},
    {-13931, &Raise<ETapiLoadFail>},
    {-13932, &Raise<ETapiGetAddrFail>},
    {-13935, &Raise<ETapiVoiceNotSupported>},
    {-13936, &Raise<ETapiWaveFail>},
    {-13942, &Raise<ETapiTranslateFail>},

    {-13980, &Raise<ERasLoadFail>},
};

constexpr bool ClassCodesAreUniqueErrors() {
  for (std::size_t i = 0; i < std::size(kClassTable); ++i) {
    if (kClassTable[i].code >= 0) return false;
    for (std::size_t j = i + 1; j < std::size(kClassTable); ++j) {
      if (kClassTable[i].code == kClassTable[j].code) return false;
    }
  }
  return true;
}
static_assert(ClassCodesAreUniqueErrors(), "each mapped code must be negative and listed once");

const ClassEntry* FindClass(int32_t code) {
  const auto entry = std::find_if(std::begin(kClassTable), std::end(kClassTable),
                                  [code](const ClassEntry& e) { return e.code == code; });
  return entry == std::end(kClassTable) ? nullptr : entry;
}

}  // namespace

std::string MessageForCode(int32_t code, SystemTextSource system_text) {
  const int32_t number = CatalogueNumber(code);
  const std::string_view text = CatalogueText(number);
  if (!text.empty()) return std::string(text);
  return CleanSystemText(system_text(static_cast<uint32_t>(number)));
}

std::string MessageForCode(int32_t code) { return MessageForCode(code, &SystemErrorText); }

// The lookup reads only the absolute value of the low 16 bits, so handing it the code as it is
// gives the text of the code's absolute value without negating INT32_MIN.
EAPDException::EAPDException(int32_t code) : Exception(MessageForCode(code)), error_code_(code) {}

EAPDException::EAPDException(const std::string& message) : Exception(message), error_code_(0) {}

int32_t RaiseOnError(int32_t code) {
  if (code >= 0) return code;
  if (const ClassEntry* entry = FindClass(code)) entry->raise(code);
  if (code == ecOutOfMemory) throw EOutOfMemory();
  if (code >= kFirstInOutError && code <= kLastInOutError) {
    throw EInOutError(MessageForCode(-code), -code);
  }
  throw EAPDException(std::string(kDefaultMessage));
}

int32_t TapiResultToCode(int32_t tapi_result) {
  if (tapi_result == 0) return 0;
  const uint32_t error_number = static_cast<uint32_t>(tapi_result) & 0x7FFFFFFFu;
  const uint32_t code = error_number + static_cast<uint32_t>(kTapiErrorOffset);
  // Only results that are not Telephony API errors can pass the limit. Saturating keeps them
  // positive, so the negated code still reports a failure instead of wrapping into a success.
  constexpr auto kLargest = static_cast<uint32_t>(std::numeric_limits<int32_t>::max());
  return static_cast<int32_t>(std::min(code, kLargest));
}

int32_t CheckTapiError(int32_t tapi_result) {
  const int32_t code = -TapiResultToCode(tapi_result);
  RaiseOnError(code);
  return code;
}

}  // namespace telvane
