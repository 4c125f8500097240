#include "app/run.h"

#include <memory>

#include "app/spoken_messages.h"
#include "app/telvane_utils.h"
#include "platform/errors.h"
#include "platform/os.h"
#include "platform/text.h"
#include "voice/wave_player.h"

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

void ApplyArgument(const std::string& argument, RunOptions& options) {
  const std::string lowered = platform::LowerCase(argument);
  if (lowered.empty() || lowered[0] != '-') {
    options.FileName = platform::CaseSensitiveFileNames() ? argument : lowered;
  } else if (Contains(lowered, "-phone:")) {
    options.Phone = PhoneValue(argument, lowered, "-phone:");
  } else if (Contains(lowered, "-backupphone:")) {
    options.BackupPhone = PhoneValue(argument, lowered, "-backupphone:");
  } else if (Contains(lowered, "-retrymode:")) {
    options.RetryMode = ExtractOptionValue(lowered, "-retrymode:", "");
  } else if (Contains(lowered, "-retry:")) {
    options.RetryCount = RetryCountValue(ExtractOptionValue(lowered, "-retry:", ""));
  } else if (Contains(lowered, "-debug")) {
    options.Debug = true;
  } else if (Contains(lowered, "-skipintro")) {
    options.SkipIntro = true;
  } else if (Contains(lowered, "-tapidevice:")) {
    options.TapiDevice = ExtractOptionValue(lowered, "-tapidevice:", "");
  } else if (Contains(lowered, "-exitcode")) {
    // The additions come last, so every argument the options above took keeps its meaning.
    options.UseExitCode = true;
  } else if (Contains(lowered, "-ack")) {
    options.RequireAck = true;
  }
  // Anything else is ignored without a word.
}

// Validation: false (after printing why and the usage) when the run cannot go on.
bool ValidateOptions(const RunOptions& options) {
  if (options.FileName.empty() ||
      !platform::FileExists(platform::ExpandFileName(options.FileName))) {
    PrintLine("Error. File name is required.");
    PrintUsage(false);
    return false;
  }
  if (options.Phone.empty()) {
    PrintLine("Error. Primary phone number is required.");
    PrintUsage(false);
    return false;
  }
  return true;
}

RunExitCode RunDialPlan(CallController& controller, RunOptions& options) {
  const int64_t attempts = AttemptCount(options);
  for (int64_t attempt = 1; attempt <= attempts && !options.CallCompleted; ++attempt) {
    const std::string& number = NumberForAttempt(options, attempt);
    PrintLine("Dialing " + number);
    controller.Call(number);
    if (controller.ResultCode == kResultCompleted) {
      PrintLine("Call Completed");
      options.CallCompleted = true;
    } else {
      PrintLine("Result : " + controller.ResultText);
    }
  }
  if (!options.CallCompleted) return RunExitCode::kAllAttemptsFailed;
  return controller.KeyPressed() ? RunExitCode::kCompleted : RunExitCode::kCompletedWithoutKey;
}

// A file the player would refuse is found before anyone is called, not after the callee has
// answered and heard the greeting.
void CheckPlayable(const std::string& file_name) {
  const std::string why = WhyUnplayable(file_name);
  if (!why.empty()) throw Exception("Wave file " + file_name + " cannot be played: " + why);
}

RunExitCode SetUpAndDial(RunOptions& options) {
  std::unique_ptr<QoPlayLogger> logger;
  std::unique_ptr<CallController> controller;
  RunExitCode outcome = RunExitCode::kCouldNotStart;
  try {
    logger = std::make_unique<QoPlayLogger>();
    controller = std::make_unique<CallController>(options.TapiDevice);
    if (options.Debug) {
      controller->OnDebug = [&logger](const std::string& message) { logger->LogDebug(message); };
    }
    controller->MessageFile = platform::ExpandFileName(options.FileName);
    if (!controller->FindDevice()) throw Exception("Tapi device not found");
    if (!controller->CheckVoice()) throw Exception("Modem does not support voice calls");
    if (!options.SkipIntro && !controller->GreetingExists()) {
      throw Exception("PressAnyKey.wav file does not exist.");
    }
    controller->SkipIntro = options.SkipIntro;
    controller->RequireKey = options.RequireAck;
    // Text is spoken before the first dial, so a failure to speak it calls nobody.
    SpokenMessages spoken(CallOptions.SpeechVoice);
    controller->MessageFile = spoken.Prepare(controller->MessageFile);
    if (!options.SkipIntro) controller->SetGreetingFile(spoken.Prepare(controller->GreetingFile()));
    CheckPlayable(controller->MessageFile);
    if (!options.SkipIntro) CheckPlayable(controller->GreetingFile());
    outcome = RunDialPlan(*controller, options);
  } catch (const std::exception& error) {
    // The library's failures are Exceptions; anything else (memory exhausted, say) is
    // reported the same way, so the program still ends with its line and its exit code.
    PrintLine("Error : " + std::string(error.what()));
  }
  controller.reset();
  logger.reset();
  return outcome;
}

}  // namespace

void ParseCommandLine(const std::vector<std::string>& arguments, RunOptions& options) {
  if (arguments.empty()) {
    options.ShowUsage = true;
    return;
  }
  try {
    for (const std::string& argument : arguments) ApplyArgument(argument, options);
  } catch (const Exception& error) {
    PrintLine("Error. " + error.Message());
    options.ShowUsage = true;
  }
}

void NormaliseOptions(RunOptions& options) {
  if (options.RetryCount == 0) options.RetryCount = 1;
  if (options.RetryMode != "ptb") options.RetryMode = "pab";
  if (!options.BackupPhone.empty()) options.UseBackup = true;
}

int64_t AttemptCount(const RunOptions& options) {
  const int64_t count = options.RetryCount;
  if (count <= 0) return 0;
  return options.UseBackup ? 2 * count : count;
}

const std::string& NumberForAttempt(const RunOptions& options, int64_t attempt) {
  if (!options.UseBackup) return options.Phone;
  if (options.RetryMode == "ptb") {
    return attempt <= options.RetryCount ? options.Phone : options.BackupPhone;
  }
  return attempt % 2 == 1 ? options.Phone : options.BackupPhone;
}

int RunTelvane(const std::vector<std::string>& arguments) {
  RunOptions options;
  PrintBanner();
  ParseCommandLine(arguments, options);
  // The exit code tells the outcome only when the command line asked for it.
  auto exit_code = [&options](RunExitCode outcome) {
    return options.UseExitCode ? static_cast<int>(outcome) : 0;
  };
  if (options.ShowUsage) {
    PrintUsage(true);
    return exit_code(RunExitCode::kCommandLineRefused);
  }
  if (!ValidateOptions(options)) return exit_code(RunExitCode::kCommandLineRefused);
  NormaliseOptions(options);
  return exit_code(SetUpAndDial(options));
}

}  // namespace telvane
