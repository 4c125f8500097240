// What the telephony service and its lines did, one entry per event: the time on the loop's
// clock, the line (or "service"), and a short text. Kept in memory (the latest entries) and,
// when a file is named, appended to it line by line, so a test or a user can see how a call
// went and why a line of the lines file was left out. Each line of the file carries the
// process id ("  3500 ms  [4711] SIP: ..."), so a file that several runs share stays
// readable. The service never writes to the program's standard output or error.
//
// Not thread-safe: used on the thread of the service's requests.
#pragma once

#include <cstdint>
#include <deque>
#include <fstream>
#include <string>
#include <string_view>

namespace telvane::platform {
class MessageLoop;
}

namespace telvane::linesvc {

struct Event {
  int64_t ms = 0;  // the clock of the loop set by SetClock, or 0 without one
  std::string source;
  std::string text;
};

class EventLog {
 public:
  // Appends to the file at path from now on ("" stops); an unwritable file is noted in memory.
  void SetFile(const std::string& path);
  // Entries are stamped with this loop's clock from now on (null: 0). The loop must stay while
  // it is set: the service sets the loop of an application it serves, and unsets it when the
  // last application leaves.
  void SetClock(const platform::MessageLoop* loop) { clock_ = loop; }
  void Add(std::string_view source, std::string_view text);
  const std::deque<Event>& Entries() const { return entries_; }
  // True if an entry of the source contains the text; for tests and diagnostics.
  bool Contains(std::string_view source, std::string_view text) const;

 private:
  static constexpr size_t kMaxEntries = 4096;
  const platform::MessageLoop* clock_ = nullptr;
  std::deque<Event> entries_;
  std::string path_;
  std::ofstream file_;
};

}  // namespace telvane::linesvc
