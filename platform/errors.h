// Error codes, the message catalogue and the exception family of the whole program.
//
// A failure is first a signed 32-bit code: 0 is success, negative codes are errors,
// positive catalogue codes are status texts. MessageForCode gives the catalogue text of a
// code; RaiseOnError turns a negative code into the exception of its class, whose message
// is that text. Every layer reports with them: the platform's telephony binding returns the
// codes, its speech raises Exception, voice and telephony raise the family's classes. They
// sit at the bottom so that each layer can. The console program catches Exception and
// prints its message. Everything here reads constant data only and is thread-safe.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace telvane {

// The general exception class: it carries a message text.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// The general out-of-memory exception (raised for code -8).
class EOutOfMemory : public Exception {
 public:
  EOutOfMemory() : Exception("Out of memory") {}
};

// A file or device error of the range -2 ... -162; ErrorCode is the positive number.
class EInOutError : public Exception {
 public:
  EInOutError(std::string message, int32_t error_code)
      : Exception(std::move(message)), error_code_(error_code) {}
  int32_t ErrorCode() const { return error_code_; }

 private:
  int32_t error_code_;
};

// Root of the library's family. ErrorCode is the code the exception was raised for, with
// its sign, or 0 when it was built from a message text.
class EAPDException : public Exception {
 public:
  // Built from a code: the message is MessageForCode of the code's absolute value.
  explicit EAPDException(int32_t code);
  // Built from a ready message text; ErrorCode is 0.
  explicit EAPDException(const std::string& message);
  int32_t ErrorCode() const { return error_code_; }

 private:
  int32_t error_code_;
};

// Codes the telephony and wave code raises or returns by name.
constexpr int32_t ecOK = 0;
constexpr int32_t ecFileNotFound = -2;
constexpr int32_t ecOutOfMemory = -8;
constexpr int32_t ecPortNotAssigned = -1005;
constexpr int32_t ecTapiBusy = -13928;
constexpr int32_t ecTapiNotSet = -13929;
constexpr int32_t ecTapiNoSelect = -13930;
constexpr int32_t ecTapiLoadFail = -13931;
constexpr int32_t ecTapiGetAddrFail = -13932;
constexpr int32_t ecTapiUnexpected = -13934;
constexpr int32_t ecTapiVoiceNotSupported = -13935;
constexpr int32_t ecTapiWaveFail = -13936;
constexpr int32_t ecTapiCIDBlocked = -13937;
constexpr int32_t ecTapiCIDOutOfArea = -13938;
constexpr int32_t ecTapiNotWaveFile = -13939;
constexpr int32_t ecTapiWaveReadError = -13940;
constexpr int32_t ecTapiWaveBadFormat = -13941;
constexpr int32_t ecTapiTranslateFail = -13942;
constexpr int32_t ecTapiWaveDeviceInUse = -13943;
constexpr int32_t ecTapiWaveFileExists = -13944;
constexpr int32_t ecTapiWaveNoData = -13945;
constexpr int32_t ecRasLoadFail = -13980;

// A Telephony API error number n has the code -(kTapiErrorOffset + n) and its text at
// kTapiErrorOffset + n in the catalogue.
constexpr int32_t kTapiErrorOffset = 13800;

// Returns the catalogue text of a code, at most 255 characters. Only the low 16 bits count, read
// as a signed 16-bit number, and only their absolute value: -13930, 13930 and 51600 - 65536 all
// name the same entry. Callers rely on this to add an offset to a raw Telephony API result. When
// the catalogue has no text for the number, the result is the platform's system text for it with
// control characters turned into spaces and runs of spaces shortened to one (not trimmed), or
// empty when the platform has none. Thread-safe.
std::string MessageForCode(int32_t code);

// Raises the exception for a failure code, or returns the code when there is nothing to raise
// (0 and positive codes). A code listed for a class of the family raises that class, -8 raises
// EOutOfMemory, -162 ... -2 raise EInOutError with the positive number, and every other negative
// code raises a plain EAPDException "Vuvu exception" with ErrorCode 0. Callers apply it to an
// operation's result right after the operation returns. Thread-safe.
int32_t RaiseOnError(int32_t code);

// Turns a Telephony API result into a positive number: 0 for 0, otherwise the error number
// (the result without its top bit) plus kTapiErrorOffset. Results so large that the sum would
// overflow give INT32_MAX, so their negation is still an error. Thread-safe.
int32_t TapiResultToCode(int32_t tapi_result);

// Checks the result of a synchronous Telephony API request: raises as RaiseOnError does for
// the code -TapiResultToCode(tapi_result) and returns that code, so 0 passes silently.
// Thread-safe.
int32_t CheckTapiError(int32_t tapi_result);

// The family below only names kinds of failure: each class adds nothing and inherits both
// constructors of EAPDException, so it is built from a code or, with ErrorCode 0, from a ready
// message (the wave code does that for texts not in the catalogue). Catching a family class
// catches all of its members.
#define TELVANE_ERROR_CLASS(name, base) \
  class name : public base {            \
   public:                              \
    using base::base;                   \
  }

// The ten families.
TELVANE_ERROR_CLASS(EGeneral, EAPDException);
TELVANE_ERROR_CLASS(EOpenComm, EAPDException);
TELVANE_ERROR_CLASS(ESerialIO, EAPDException);
TELVANE_ERROR_CLASS(EModem, EAPDException);
TELVANE_ERROR_CLASS(ETrigger, EAPDException);
TELVANE_ERROR_CLASS(EProtocol, EAPDException);
TELVANE_ERROR_CLASS(EINI, EAPDException);
TELVANE_ERROR_CLASS(EFax, EAPDException);
TELVANE_ERROR_CLASS(ETapi, EAPDException);
TELVANE_ERROR_CLASS(ERas, EAPDException);

// General library errors.
TELVANE_ERROR_CLASS(EBadArgument, EGeneral);
TELVANE_ERROR_CLASS(EGotQuitMsg, EGeneral);
TELVANE_ERROR_CLASS(EBufferTooBig, EGeneral);
TELVANE_ERROR_CLASS(EPortNotAssigned, EGeneral);
TELVANE_ERROR_CLASS(EInternal, EGeneral);
TELVANE_ERROR_CLASS(EModemNotAssigned, EGeneral);
TELVANE_ERROR_CLASS(EPhonebookNotAssigned, EGeneral);
TELVANE_ERROR_CLASS(ECannotUseWithWinSock, EGeneral);

// Opening a port.
TELVANE_ERROR_CLASS(EBadId, EOpenComm);
TELVANE_ERROR_CLASS(EBaudRate, EOpenComm);
TELVANE_ERROR_CLASS(EByteSize, EOpenComm);
TELVANE_ERROR_CLASS(EDefault, EOpenComm);
TELVANE_ERROR_CLASS(EHardware, EOpenComm);
TELVANE_ERROR_CLASS(EMemory, EOpenComm);
TELVANE_ERROR_CLASS(ECommNotOpen, EOpenComm);
TELVANE_ERROR_CLASS(EAlreadyOpen, EOpenComm);
TELVANE_ERROR_CLASS(ENoHandles, EOpenComm);
TELVANE_ERROR_CLASS(ENoTimers, EOpenComm);
TELVANE_ERROR_CLASS(ENoPortSelected, EOpenComm);
TELVANE_ERROR_CLASS(ENotOpenedByTapi, EOpenComm);

// Serial input and output.
TELVANE_ERROR_CLASS(ENullApi, ESerialIO);
TELVANE_ERROR_CLASS(ERegisterHandlerFailed, ESerialIO);
TELVANE_ERROR_CLASS(EPutBlockFail, ESerialIO);
TELVANE_ERROR_CLASS(EGetBlockFail, ESerialIO);
TELVANE_ERROR_CLASS(EOutputBufferTooSmall, ESerialIO);
TELVANE_ERROR_CLASS(EBufferIsEmpty, ESerialIO);
TELVANE_ERROR_CLASS(ETracingNotEnabled, ESerialIO);
TELVANE_ERROR_CLASS(ELoggingNotEnabled, ESerialIO);
TELVANE_ERROR_CLASS(EBaseAddressNotSet, ESerialIO);

// Modem and dialer.
TELVANE_ERROR_CLASS(EModemNotStarted, EModem);
TELVANE_ERROR_CLASS(EModemBusy, EModem);
TELVANE_ERROR_CLASS(EModemNotDialing, EModem);
TELVANE_ERROR_CLASS(EModemNotResponding, EModem);
TELVANE_ERROR_CLASS(EModemRejectedCommand, EModem);
TELVANE_ERROR_CLASS(EModemStatusMismatch, EModem);
TELVANE_ERROR_CLASS(EAlreadyDialing, EModem);
TELVANE_ERROR_CLASS(ENotDialing, EModem);

// Data triggers.
TELVANE_ERROR_CLASS(ENoMoreTriggers, ETrigger);
TELVANE_ERROR_CLASS(ETriggerTooLong, ETrigger);
TELVANE_ERROR_CLASS(EBadTriggerHandle, ETrigger);

// Settings database.
TELVANE_ERROR_CLASS(EKeyTooLong, EINI);
TELVANE_ERROR_CLASS(EDataTooLarge, EINI);
TELVANE_ERROR_CLASS(EIniWrite, EINI);
TELVANE_ERROR_CLASS(EIniRead, EINI);
TELVANE_ERROR_CLASS(ERecordExists, EINI);
TELVANE_ERROR_CLASS(ERecordNotFound, EINI);
TELVANE_ERROR_CLASS(EDatabaseFull, EINI);
TELVANE_ERROR_CLASS(EDatabaseEmpty, EINI);
TELVANE_ERROR_CLASS(EBadFieldList, EINI);
TELVANE_ERROR_CLASS(EBadFieldForIndex, EINI);

// Fax conversion and fax sessions.
TELVANE_ERROR_CLASS(EFaxBadFormat, EFax);
TELVANE_ERROR_CLASS(EBadGraphicsFormat, EFax);
TELVANE_ERROR_CLASS(EConvertAbort, EFax);
TELVANE_ERROR_CLASS(EUnpackAbort, EFax);
TELVANE_ERROR_CLASS(ECantMakeBitmap, EFax);
TELVANE_ERROR_CLASS(EInvalidPageNumber, EFax);
TELVANE_ERROR_CLASS(EFaxBadMachine, EFax);
TELVANE_ERROR_CLASS(EFaxBadModemResult, EFax);
TELVANE_ERROR_CLASS(EFaxTrainError, EFax);
TELVANE_ERROR_CLASS(EFaxInitError, EFax);
TELVANE_ERROR_CLASS(EFaxBusy, EFax);
TELVANE_ERROR_CLASS(EFaxVoiceCall, EFax);
TELVANE_ERROR_CLASS(EFaxDataCall, EFax);
TELVANE_ERROR_CLASS(EFaxNoDialTone, EFax);
TELVANE_ERROR_CLASS(EFaxNoCarrier, EFax);
TELVANE_ERROR_CLASS(EFaxSessionError, EFax);
TELVANE_ERROR_CLASS(EFaxPageError, EFax);

// Telephony API errors, one class per error number (codes -13801 ... -13886).
TELVANE_ERROR_CLASS(ETapiAllocated, ETapi);
TELVANE_ERROR_CLASS(ETapiBadDeviceID, ETapi);
TELVANE_ERROR_CLASS(ETapiBearerModeUnavail, ETapi);
TELVANE_ERROR_CLASS(ETapiCallUnavail, ETapi);
TELVANE_ERROR_CLASS(ETapiCompletionOverrun, ETapi);
TELVANE_ERROR_CLASS(ETapiConferenceFull, ETapi);
TELVANE_ERROR_CLASS(ETapiDialBilling, ETapi);
TELVANE_ERROR_CLASS(ETapiDialDialtone, ETapi);
TELVANE_ERROR_CLASS(ETapiDialPrompt, ETapi);
TELVANE_ERROR_CLASS(ETapiDialQuiet, ETapi);
TELVANE_ERROR_CLASS(ETapiIncompatibleApiVersion, ETapi);
TELVANE_ERROR_CLASS(ETapiIncompatibleExtVersion, ETapi);
TELVANE_ERROR_CLASS(ETapiIniFileCorrupt, ETapi);
TELVANE_ERROR_CLASS(ETapiInUse, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalAddress, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalAddressID, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalAddressMode, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalAddressState, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalAppHandle, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalAppName, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalBearerMode, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalCallComplMode, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalCallHandle, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalCallParams, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalCallPrivilege, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalCallSelect, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalCallState, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalCallStatelist, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalCard, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalCompletionID, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalConfCallHandle, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalConsultCallHandle, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalCountryCode, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalDeviceClass, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalDeviceHandle, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalDialParams, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalDigitList, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalDigitMode, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalDigits, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalExtVersion, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalGroupID, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalLineHandle, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalLineState, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalLocation, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalMediaList, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalMediaMode, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalMessageID, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalParam, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalParkID, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalParkMode, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalPointer, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalPrivSelect, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalRate, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalRequestMode, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalTerminalID, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalTerminalMode, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalTimeout, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalTone, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalToneList, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalToneMode, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalTransferMode, ETapi);
TELVANE_ERROR_CLASS(ETapiLineMapperFailed, ETapi);
TELVANE_ERROR_CLASS(ETapiNoConference, ETapi);
TELVANE_ERROR_CLASS(ETapiNoDevice, ETapi);
TELVANE_ERROR_CLASS(ETapiNoDriver, ETapi);
TELVANE_ERROR_CLASS(ETapiNoMem, ETapi);
TELVANE_ERROR_CLASS(ETapiNoRequest, ETapi);
TELVANE_ERROR_CLASS(ETapiNotOwner, ETapi);
TELVANE_ERROR_CLASS(ETapiNotRegistered, ETapi);
TELVANE_ERROR_CLASS(ETapiOperationFailed, ETapi);
TELVANE_ERROR_CLASS(ETapiOperationUnavail, ETapi);
TELVANE_ERROR_CLASS(ETapiRateUnavail, ETapi);
TELVANE_ERROR_CLASS(ETapiResourceUnavail, ETapi);
TELVANE_ERROR_CLASS(ETapiRequestOverrun, ETapi);
TELVANE_ERROR_CLASS(ETapiStructureTooSmall, ETapi);
TELVANE_ERROR_CLASS(ETapiTargetNotFound, ETapi);
TELVANE_ERROR_CLASS(ETapiTargetSelf, ETapi);
TELVANE_ERROR_CLASS(ETapiUninitialized, ETapi);
TELVANE_ERROR_CLASS(ETapiUserUserInfoTooBig, ETapi);
TELVANE_ERROR_CLASS(ETapiReinit, ETapi);
TELVANE_ERROR_CLASS(ETapiAddressBlocked, ETapi);
TELVANE_ERROR_CLASS(ETapiBillingRejected, ETapi);
TELVANE_ERROR_CLASS(ETapiInvalFeature, ETapi);
TELVANE_ERROR_CLASS(ETapiNoMultipleInstance, ETapi);

// The library's own telephony errors. ETapiUnexpected is raised directly, never by RaiseOnError.
TELVANE_ERROR_CLASS(ETapiBusy, ETapi);
TELVANE_ERROR_CLASS(ETapiNotSet, ETapi);
TELVANE_ERROR_CLASS(ETapiNoSelect, ETapi);
TELVANE_ERROR_CLASS(ETapiLoadFail, ETapi);
TELVANE_ERROR_CLASS(ETapiGetAddrFail, ETapi);
TELVANE_ERROR_CLASS(ETapiUnexpected, ETapi);
TELVANE_ERROR_CLASS(ETapiVoiceNotSupported, ETapi);
TELVANE_ERROR_CLASS(ETapiWaveFail, ETapi);
TELVANE_ERROR_CLASS(ETapiTranslateFail, ETapi);

// Remote access.
TELVANE_ERROR_CLASS(ERasLoadFail, ERas);

#undef TELVANE_ERROR_CLASS

}  // namespace telvane
