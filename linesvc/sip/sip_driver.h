// The SIP line: calls placed through a SIP account (a PBX or a provider) over libre.
//
//   [line SIP Alerts]
//   driver = sip
//   uri = sip:alerts@pbx.example.org
//   password_file = ~/.config/telvane/alerts.password
//
// A call reports dial tone and dialling at once, then follows the SIP responses (100:
// proceeding, 180/183: ringback, 2xx: connected; final responses and failures as disconnect
// modes, busy as busy). The call's wave device takes line sound and sends it as G.711 in 20 ms
// RTP packets, silence while nothing is queued; the remote side's keys come by RFC 4733, SIP
// INFO or in-band tones. Hanging up sends CANCEL or BYE and reports idle once the transaction
// has ended, or after a few seconds at most. docs/lines-file.md lists the keys.
//
// SIP runs in real time: use the line on a loop with the real clock.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "linesvc/driver.h"
#include "linesvc/lines_file.h"

namespace telvane::linesvc {

// Makes the driver of a SIP line from its keys; null with the reason in *error. The driver
// registers its wave-output device for as long as it exists.
std::unique_ptr<LineDriver> CreateSipDriver(const std::vector<DriverKey>& keys, DWORD device_id,
                                            std::string* error);

}  // namespace telvane::linesvc
