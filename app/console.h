// Everything the program shows the user goes through here: the banner, the usage text, the
// time-stamped progress, result and debug lines, and the few plain lines ("busy").
//
//   PrintBanner();
//   PrintLine("Dialing 555");                  // "[date time]" TAB "Dialing 555"
//   PrintPlainLine("busy");                    // as it is
//   PrintUsage(/*start_directly=*/false);      // after a validation error
//
// Lines go to standard output, each flushed at once, so a monitoring script reads them as
// they come. The time stamp is the wall time of the calling thread's message loop.
// Loop thread only.
#pragma once

#include <string>

namespace telvane {

// "[" date and time "]" tab message, as every progress, result and debug line starts, with
// the message's control characters shown escaped (platform::EscapeControls). The calling
// thread's message loop must exist.
std::string TimeStamped(const std::string& message);

// Writes one time-stamped line; an empty message writes an empty line.
void PrintLine(const std::string& message);

// Writes one line as it is, without time stamp: a fixed word ("busy") or a TimeStamped line.
void PrintPlainLine(const std::string& text);

// Writes one debug line: time-stamped like PrintLine, even when the message is empty.
void PrintDebugLine(const std::string& message);

// Writes the usage text; without start_directly it is preceded by two empty lines.
void PrintUsage(bool start_directly);

// Writes the banner: the framed title, the purpose line and an empty line.
void PrintBanner();

// The banner's lines as code page 437 bytes; when utf8 is set, with the box characters
// written as the same characters in UTF-8.
std::string BannerText(bool utf8);

}  // namespace telvane
