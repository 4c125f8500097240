// The command line as plain data, and the dial plan it asks for.
//
//   const CommandLine command_line = ParseCommandLine(arguments);
//   const DialPlan plan(command_line);
//   for (int64_t attempt = 1; attempt <= plan.Attempts(); ++attempt) {
//     Dial(plan.NumberFor(attempt));
//   }
//
// Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace telvane {

// What the command line asked for.
struct CommandLine {
  std::string file_name;           // the message file; the last argument without a leading "-"
  std::string phone;               // "-phone:"
  std::string backup_phone;        // "-backupphone:"
  std::string retry_mode = "pab";  // "-retrymode:", as given
  int32_t retry_count = 1;         // "-retry:", as converted
  std::string tapi_device;         // "-tapidevice:"
  bool show_usage = false;         // no arguments at all
  bool debug = false;              // "-debug"
  bool skip_intro = false;         // "-skipintro"
  // Opt-in additions for scripts; without them the program behaves as it always did.
  bool use_exit_code = false;  // "-exitcode": the exit code tells the outcome
  bool require_ack = false;    // "-ack": a call completes only when the listener pressed a key
};

// Reads the process arguments (without the program name). Every argument is lower-cased
// before it is examined, except that a file name keeps its case where file names are
// case-sensitive and a phone number keeps its own. Option texts are found anywhere in an
// argument, the first in a fixed order wins; anything else is ignored.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The argument with the first occurrence of prefix replaced, or unchanged without one.
std::string ExtractOptionValue(const std::string& argument, const std::string& prefix,
                               const std::string& replacement);

// The numbers to dial, attempt by attempt: the retry count's attempts of the primary, and
// as many of a backup number, in turns (primary, backup, primary...) or, with retry mode
// "ptb", the primary's first. A retry count of 0 means 1; a negative one, no attempt.
class DialPlan {
 public:
  explicit DialPlan(const CommandLine& command_line);

  int64_t Attempts() const;
  // The number of attempt 1 ... Attempts().
  const std::string& NumberFor(int64_t attempt) const;

 private:
  std::string primary_;
  std::string backup_;
  int32_t rounds_;
  bool primary_first_;
};

}  // namespace telvane
