// The lines file: which line devices the telephony service offers and how each is driven.
//
// An INI file with one section per line device, in file order (which is also the order of the
// device identifiers), plus an optional [service] section:
//
//   [service]
//   log = /tmp/lines.log
//
//   [line Sim Voice 1]
//   driver = sim
//   media = voice,data
//   default = answer after=2000; keys=1500:5
//
// Reading never fails as a whole: a line section that cannot be used is left out and the
// reason is kept in `problems`, so one typo costs one line, not the service. The keys a
// driver understands are passed on to it unchecked; the driver checks them when it is made.
#pragma once

#include <string>
#include <vector>

#include "platform/tapi.h"

namespace telvane::linesvc {

// One key of a line section that the service itself does not interpret, with the file line it
// came from, for the driver. Keys are lower case; values are trimmed and unquoted.
struct DriverKey {
  std::string key;
  std::string value;
  int file_line = 0;
};

struct LineConfig {
  std::string name;    // the line name that lineGetDevCaps reports
  std::string driver;  // "sim"
  DWORD media_modes = LINEMEDIAMODE_AUTOMATEDVOICE;
  DWORD line_features = LINEFEATURE_MAKECALL;
  std::vector<DriverKey> driver_keys;
  int file_line = 0;  // the line of the section header
};

struct LinesConfig {
  std::string source;    // the file read, or "" when there was none
  std::string log_path;  // the event log file, or "" for none
  std::vector<LineConfig> lines;
  std::vector<std::string> problems;  // one sentence per thing left out or ignored
};

// Parses the text of a lines file; `source` names it in the problem texts.
LinesConfig ParseLinesFile(const std::string& text, const std::string& source);

// Reads and parses the file at path; a file that cannot be read is a problem, not an error.
LinesConfig ReadLinesFile(const std::string& path);

// The lines file of this process, read from the first place of the search order
// (platform/lines_file_location.h); an empty configuration when there is none.
// TELVANE_LINES_LOG, when set, names the event log and wins over the file's own setting.
LinesConfig LoadLinesConfig();

}  // namespace telvane::linesvc
