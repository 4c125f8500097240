#include "linesvc/event_log.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>

#include "platform/message_loop.h"

namespace telvane::linesvc {

void EventLog::SetFile(const std::string& path) {
  if (path == path_ && (path.empty() || file_.is_open())) return;
  file_.close();
  path_ = path;
  if (path.empty()) return;
  file_.open(path, std::ios::app);
  if (!file_) Add("service", "event log file " + path + " cannot be written");
}

void EventLog::Add(std::string_view source, std::string_view text) {
  Event event{clock_ ? clock_->NowMs() : 0, std::string(source), std::string(text)};
  if (file_.is_open()) {
    // The process id tells apart the runs that share one log; the line goes out in one write,
    // so lines of runs appending at the same time do not mix.
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%10" PRId64 " ms  [%ld] ", event.ms,
                  static_cast<long>(::getpid()));
    file_ << std::string(stamp) + event.source + ": " + event.text + '\n';
    file_.flush();
  }
  entries_.push_back(std::move(event));
  if (entries_.size() > kMaxEntries) entries_.pop_front();
}

bool EventLog::Contains(std::string_view source, std::string_view text) const {
  for (const Event& event : entries_) {
    if (event.source == source && event.text.find(text) != std::string::npos) return true;
  }
  return false;
}

}  // namespace telvane::linesvc
