#include "app/run_plan.h"

#include "platform/errors.h"
#include "platform/os.h"
#include "platform/text.h"
#include "voice/wave_player.h"

namespace telvane {

namespace {

bool TakesVoice(LineDevice& device, const std::string& line) {
  device.SetSelectedDevice(line);
  try {
    device.CheckVoiceSupport();
    return true;
  } catch (const Exception&) {
    return false;
  }
}

// A file the player would refuse is found before anyone is called, not after the callee has
// answered and heard the greeting.
void CheckPlayable(const std::string& file_name) {
  const std::string why = WhyUnplayable(file_name);
  if (!why.empty()) throw Exception("Wave file " + file_name + " cannot be played: " + why);
}

}  // namespace

std::string ChooseLine(LineDevice& device, const std::string& wanted) {
  for (const std::string& line : device.DeviceList()) {
    if (!platform::EqualsIgnoringCase(line, wanted)) continue;
    if (!TakesVoice(device, line)) throw Exception("Modem does not support voice calls");
    return line;
  }
  // The device list saw which lines take voice calls: no line is looked up again.
  if (device.VoiceLines().empty()) throw Exception("Tapi device not found");
  return device.VoiceLines().front();
}

RunPlan ReadRunPlan(const CommandLine& command_line, const std::string& message_file,
                    const Settings& settings, const std::string& program_dir, LineDevice& device,
                    SpokenMessages& spoken) {
  CallPlan call;
  call.line = ChooseLine(device, command_line.tapi_device.empty() ? settings.tapi_device_name
                                                                  : command_line.tapi_device);
  call.skip_intro = command_line.skip_intro;
  call.require_key = command_line.require_ack;
  // A greeting named in the settings is taken as written, so a relative name is found from
  // the current directory, and errors name it as the user wrote it.
  std::string greeting = settings.press_any_key_file.empty()
                             ? platform::ExpandFileName(DefaultGreetingFile(program_dir))
                             : settings.press_any_key_file;
  if (!call.skip_intro && !platform::FileExists(platform::ExpandFileName(greeting))) {
    throw Exception("PressAnyKey.wav file does not exist.");
  }
  // Text is spoken before the first dial, so a failure to speak it calls nobody.
  call.message_file = spoken.Prepare(message_file);
  if (!call.skip_intro) call.greeting_file = spoken.Prepare(greeting);
  CheckPlayable(call.message_file);
  if (!call.skip_intro) CheckPlayable(call.greeting_file);
  call.max_greetings = settings.max_greetings_count;
  call.connect_timeout_ms = settings.connect_timeout_ms;
  call.after_connect_pause_ms = settings.after_connect_pause_ms;
  call.message_duration_s = settings.play_message_duration_s;
  return RunPlan{DialPlan(command_line), std::move(call)};
}

}  // namespace telvane
