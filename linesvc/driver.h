// The interface between the telephony service and the drivers that run its line devices.
//
// The service speaks TAPI to applications: handles, request identifiers, LINE_REPLY, the order
// of messages, structure sizes. A driver speaks to the line: it places a call, hangs up,
// reports how the call goes and which keys the remote side pressed, and names the wave device
// that carries the call's sound. Drivers know nothing of TAPI messages and handles.
//
// The service finds a line's driver by name in the registry (driver_registry.h), the one
// place that knows the drivers; each lives in a folder of its own below linesvc/, and one with
// heavy libraries is a module loaded only for a lines file that has a line of it
// (driver_module.h). A driver that carries sound registers its line's audio path with the
// line-audio timeline (line_audio.h) and adds only how the samples reach its line.
//
// Threads: every member of these interfaces is called on, and every report is made on, the
// thread of the message loop that was handed to the driver. A driver that runs threads of its
// own (serial reader, network) posts to that loop and reports from the posted task.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "linesvc/driver_kit.h"
#include "platform/message_loop.h"
#include "platform/tapi.h"

namespace telvane::linesvc {

// The media modes of a call that carries sound.
inline constexpr DWORD kVoiceMediaModes =
    LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_INTERACTIVEVOICE;
// LINEBUSYMODE_STATION: the mode every driver reports with LINECALLSTATE_BUSY.
inline constexpr DWORD kBusyStation = 0x1;

// What a call reports back. The service turns each report into the TAPI messages of the
// applications concerned and posts them; a report never calls into the application directly,
// so a driver may report from inside any of its members.
class CallSink {
 public:
  // Completes the dialling request: 0 once the call is under way, or a LINEERR_* value when it
  // could not be placed (the call then ends; the driver reports nothing more for it).
  virtual void OnDialResult(LONG result) = 0;
  // The call changed to a LINECALLSTATE_* value; `mode` is the state's mode, e.g. the
  // LINEDISCONNECTMODE_* value with LINECALLSTATE_DISCONNECTED.
  virtual void OnCallState(DWORD state, DWORD mode) = 0;
  // Completes a Drop: the call is on hook (0) or could not be dropped (a LINEERR_* value).
  // A successful drop is followed by OnCallState(LINECALLSTATE_IDLE).
  virtual void OnDropResult(LONG result) = 0;
  // The remote side pressed a DTMF key ('0'-'9', 'A'-'D', '*', '#'); `path` says how it came
  // on a line that hears keys more than one way ("RFC 4733"), empty otherwise. The service
  // logs the key: the driver does not.
  virtual void OnDigit(char digit, std::string_view path) = 0;
  // A line for the service's event log.
  virtual void OnEvent(std::string_view text) = 0;

 protected:
  ~CallSink() = default;
};

// What a line device reports outside any one call.
class LineSink {
 public:
  // The line device changed to a LINEDEVSTATE_* state (for example out of service).
  virtual void OnLineDevState(DWORD state) = 0;
  // The line device has gone: every open of it is closed by force (LINE_CLOSE).
  virtual void OnLineClosed() = 0;
  virtual void OnEvent(std::string_view text) = 0;

 protected:
  ~LineSink() = default;
};

// One call on a line. Destroying it hangs up at once, cancels everything the driver scheduled
// for it, and nothing more is reported. It is destroyed on its loop's thread while that loop
// lives (the service frees its calls when the application closes its lines or shuts down).
class DriverCall {
 public:
  virtual ~DriverCall() = default;

  // Starts dialling. Reports OnDialResult (perhaps at once), then the call states.
  virtual void Start() = 0;
  // Hangs up; reports OnDropResult and then LINECALLSTATE_IDLE.
  virtual void Drop() = 0;
  // Asks for the remote side's keys in the LINEDIGITMODE_* modes (0 stops): 0 or a LINEERR_*.
  // The service filters the reported digits by the modes itself.
  virtual LONG MonitorDigits(DWORD digit_modes) = 0;
  // The identifier of the call's device of a class ("wave/out", "wave/in",
  // "comm/datamodem", always in lower case), or LINEERR_INVALDEVICECLASS when the call has
  // none.
  virtual LONG GetDeviceId(std::string_view device_class, DWORD* id) = 0;
};

// One line device.
// Where a driver tells the event log what it is doing before it has a line to report to (while
// it is made); loop thread only.
using DriverLog = std::function<void(std::string_view text)>;

class TELVANE_DRIVER_KIT LineDriver {
 public:
  virtual ~LineDriver() = default;

  // A short text for LINEDEVCAPS' provider info.
  virtual std::string ProviderInfo() const = 0;
  // The media modes the line offers, given those of the lines file: a driver that learns
  // what its device can do (a modem without voice) narrows them.
  virtual DWORD MediaModes(DWORD configured) const { return configured; }
  // Whether `number` may be dialled on this line (lineMakeCall answers LINEERR_INVALADDRESS
  // otherwise, before the driver sees it). By default only what a dial string may hold:
  // digits, A-D, '*', '#', '+', the dial modifiers ',', '!', 'W', '@', '$', 'P', 'T', and the
  // blanks, parentheses, dashes and dots people write numbers with; anything else could reach
  // a modem's command line.
  virtual bool IsDialable(const std::string& number) const;
  // The first application opened the line: the driver may take its port now. Reports of line
  // events go to `sink` until Close. Returns 0 or a LINEERR_* value (e.g. LINEERR_ALLOCATED
  // when the port is held by another program).
  virtual LONG Open(platform::MessageLoop& loop, LineSink& sink) = 0;
  // The last application closed the line; every call of it has been destroyed before.
  virtual void Close() = 0;
  // Makes a call to `number` (already checked to be dialable) in one LINEMEDIAMODE_* mode.
  // Returns 0 and the call, not yet started, or a LINEERR_* value to refuse at once. The call
  // reports to `sink` on `loop`.
  virtual LONG CreateCall(const std::string& number, DWORD media_mode, platform::MessageLoop& loop,
                          CallSink& sink, std::unique_ptr<DriverCall>* call) = 0;
  // The identifier of the line's device of a class, as DriverCall::GetDeviceId.
  virtual LONG GetDeviceId(std::string_view device_class, DWORD* id) = 0;
};

}  // namespace telvane::linesvc
