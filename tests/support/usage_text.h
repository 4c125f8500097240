// The usage text as the program must print it, line by line, shared by the tests that
// check the output of the program and of its printer.
#pragma once

#include <string>
#include <vector>

namespace telvane::testing {

inline const std::vector<std::string> kUsage = {
    " Usage: telvane.exe <filename> -phone:<phone_number> [-retry:<retry_count>] "
    "[-retrymode:PAB|PTB] [-backupphone:<phone_number>] [-debug] [-tapidevice:<device_name>]",
    "",
    " Parameters:",
    "  <filename>  : path to WAV file that should be played",
    "  -phone      : primary phone to call",
    "  -retry      : attempts count (e.g. if number is busy)",
    "  -retrymode  : retry mode PAB or PTB (see information below)",
    "  -backupphone: backup phone number to call (e.g. if primary number is busy)",
    "  -debug      : display debug information",
    "  -tapidevice : modem name",
    "  Retry mode PAB: calls primary, backup, primary, backup N times",
    "  Retry mode PTB: calls primary N times then backup N times",
    "",
    " Examples:",
    "  telvane c:\\tools\\sounds\\routerfailure.wav -phone:12068765412 -retry:2",
    "  telvane neterr.wav -phone:34567 -retry:2 -retrymode:PTB -backupphone:23555",
    "",
};

}  // namespace telvane::testing
