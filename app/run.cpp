#include "app/run.h"

#include <optional>

#include "app/call_controller.h"
#include "app/console.h"
#include "app/options.h"
#include "app/run_plan.h"
#include "app/settings.h"
#include "app/spoken_messages.h"
#include "platform/os.h"
#include "telephony/line_device.h"

namespace telvane {

namespace {

// The message file of a command line that can be run, made absolute; nothing (after
// printing why and the usage) when the run cannot go on.
std::optional<std::string> CheckCommandLine(const CommandLine& command_line) {
  const std::string message_file = command_line.file_name.empty()
                                       ? std::string()
                                       : platform::ExpandFileName(command_line.file_name);
  if (message_file.empty() || !platform::FileExists(message_file)) {
    PrintLine("Error. File name is required.");
    PrintUsage(false);
    return std::nullopt;
  }
  if (command_line.phone.empty()) {
    PrintLine("Error. Primary phone number is required.");
    PrintUsage(false);
    return std::nullopt;
  }
  return message_file;
}

RunExitCode RunDialPlan(CallController& controller, const DialPlan& plan) {
  for (int64_t attempt = 1; attempt <= plan.Attempts(); ++attempt) {
    const std::string& number = plan.NumberFor(attempt);
    PrintLine("Dialing " + number);
    controller.Call(number);
    if (controller.ResultCode == kResultCompleted) {
      PrintLine("Call Completed");
      return controller.KeyPressed() ? RunExitCode::kCompleted : RunExitCode::kCompletedWithoutKey;
    }
    PrintLine("Result : " + controller.ResultText);
  }
  return RunExitCode::kAllAttemptsFailed;
}

RunExitCode SetUpAndDial(const CommandLine& command_line, const std::string& message_file,
                         const std::string& program_dir) {
  // Neither raises: without a settings file the defaults hold, without a telephony system
  // the device lists no line.
  const Settings settings = ReadSettings(program_dir);
  LineDevice device;
  // A failure inside a telephony notification has no caller to return to: it is reported as
  // the program reports every error.
  device.on_error = [](const std::exception& error) {
    PrintLine("Error : " + std::string(error.what()));
  };
  try {
    SpokenMessages spoken(settings.speech_voice);
    const RunPlan plan =
        ReadRunPlan(command_line, message_file, settings, program_dir, device, spoken);
    CallController controller(device, plan.call,
                              command_line.debug ? DebugWriter(PrintDebugLine) : nullptr);
    return RunDialPlan(controller, plan.dial);
  } catch (const std::exception& error) {
    // The library's failures are Exceptions; anything else (memory exhausted, say) is
    // reported the same way, so the program still ends with its line and its exit code.
    PrintLine("Error : " + std::string(error.what()));
  }
  return RunExitCode::kCouldNotStart;
}

}  // namespace

int RunTelvane(const std::vector<std::string>& arguments, const std::string& program_dir) {
  PrintBanner();
  const CommandLine command_line = ParseCommandLine(arguments);
  // The exit code tells the outcome only when the command line asked for it.
  auto exit_code = [&command_line](RunExitCode outcome) {
    return command_line.use_exit_code ? static_cast<int>(outcome) : 0;
  };
  if (command_line.show_usage) {
    PrintUsage(true);
    return exit_code(RunExitCode::kCommandLineRefused);
  }
  const std::optional<std::string> message_file = CheckCommandLine(command_line);
  if (!message_file) return exit_code(RunExitCode::kCommandLineRefused);
  return exit_code(SetUpAndDial(command_line, *message_file, program_dir));
}

}  // namespace telvane
