// Where the lines file of the telephony service is: the file that says which line devices the
// service offers. The service reads the file it names; on Windows the telephony binding asks
// the same question to decide between the service (simulated lines, when there is a lines file)
// and the system's TAPI32 (when there is none).
//
//   const std::string path = platform::FindLinesFile();   // "" when there is none
//
// The search order: $TELVANE_LINES when it is set and not empty, lines.ini next to the program,
// then lines.ini in each of LinesFileDirectories (os.h): on POSIX the user's and the system's
// configuration folders, on Windows %APPDATA%\telvane\. The first that exists as a file wins.
// Thread-safe.
#pragma once

#include <string>
#include <vector>

#include "platform/os.h"

namespace telvane::platform {

// The places in search order; `environment` gives the variables, `executable_path` is the
// program's full path.
std::vector<std::string> LinesFileCandidates(const EnvironmentLookup& environment,
                                             const std::string& executable_path);

// The first candidate that exists as a file, or "" when none does.
std::string FindLinesFile(const EnvironmentLookup& environment, const std::string& executable_path);

// The lines file of this process, from its own environment and executable.
std::string FindLinesFile();

}  // namespace telvane::platform
