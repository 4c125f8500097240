#include "app/options.h"

#include "app/integer_text.h"
#include "platform/os.h"
#include "platform/text.h"

namespace telvane {

namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The value of a phone option with the letters as the user wrote them: the option's name is
// found case-blind, but the user part of a SIP URI is case-sensitive ("sip:Bob.Smith@host").
// Lower-casing keeps every position, so the name found in `lowered` is cut from `argument`.
std::string PhoneValue(const std::string& argument, const std::string& lowered,
                       const std::string& option) {
  std::string value = argument;
  value.erase(lowered.find(option), option.size());
  return value;
}

void ApplyArgument(const std::string& argument, CommandLine& command_line) {
  const std::string lowered = platform::LowerCase(argument);
  if (lowered.empty() || lowered[0] != '-') {
    command_line.file_name = platform::CaseSensitiveFileNames() ? argument : lowered;
  } else if (Contains(lowered, "-phone:")) {
    command_line.phone = PhoneValue(argument, lowered, "-phone:");
  } else if (Contains(lowered, "-backupphone:")) {
    command_line.backup_phone = PhoneValue(argument, lowered, "-backupphone:");
  } else if (Contains(lowered, "-retrymode:")) {
    command_line.retry_mode = ExtractOptionValue(lowered, "-retrymode:", "");
  } else if (Contains(lowered, "-retry:")) {
    command_line.retry_count = RetryCountValue(ExtractOptionValue(lowered, "-retry:", ""));
  } else if (Contains(lowered, "-debug")) {
    command_line.debug = true;
  } else if (Contains(lowered, "-skipintro")) {
    command_line.skip_intro = true;
  } else if (Contains(lowered, "-tapidevice:")) {
    command_line.tapi_device = ExtractOptionValue(lowered, "-tapidevice:", "");
  } else if (Contains(lowered, "-exitcode")) {
    // The additions come last, so every argument the options above took keeps its meaning.
    command_line.use_exit_code = true;
  } else if (Contains(lowered, "-ack")) {
    command_line.require_ack = true;
  }
  // Anything else is ignored without a word.
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine command_line;
  command_line.show_usage = arguments.empty();
  for (const std::string& argument : arguments) ApplyArgument(argument, command_line);
  return command_line;
}

std::string ExtractOptionValue(const std::string& argument, const std::string& prefix,
                               const std::string& replacement) {
  const size_t at = argument.find(prefix);
  if (prefix.empty() || at == std::string::npos) return argument;
  std::string result = argument;
  result.replace(at, prefix.size(), replacement);
  return result;
}

DialPlan::DialPlan(const CommandLine& command_line)
    : primary_(command_line.phone),
      backup_(command_line.backup_phone),
      rounds_(command_line.retry_count == 0 ? 1 : command_line.retry_count),
      primary_first_(command_line.retry_mode == "ptb") {}

int64_t DialPlan::Attempts() const {
  const int64_t rounds = rounds_;
  if (rounds <= 0) return 0;
  return backup_.empty() ? rounds : 2 * rounds;
}

const std::string& DialPlan::NumberFor(int64_t attempt) const {
  if (backup_.empty()) return primary_;
  if (primary_first_) return attempt <= rounds_ ? primary_ : backup_;
  return attempt % 2 == 1 ? primary_ : backup_;
}

}  // namespace telvane
