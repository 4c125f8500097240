// The simulated line driver: the scripts of the line's numbers, its calls and its sound.
#include "linesvc/sim/sim_driver.h"

#include <unordered_map>
#include <utility>

#include "linesvc/line_audio.h"
#include "linesvc/sim/sim_audio.h"
#include "linesvc/sim/sim_call.h"
#include "linesvc/sim/sim_script.h"
#include "platform/text.h"

namespace telvane::linesvc {

namespace {

// Numbers are matched without the blanks and punctuation people write them with, and
// regardless of the case of dial-string letters.
std::string NumberKey(std::string_view number) {
  std::string key;
  for (char c : number) {
    if (c == ' ' || c == '(' || c == ')' || c == '-' || c == '.') continue;
    key += platform::UpperAscii(c);
  }
  return key;
}

class SimDriver final : public LineDriver {
 public:
  SimDriver(Scenario default_scenario, std::unordered_map<std::string, Scenario> numbers,
            DWORD wave_id, std::shared_ptr<LineAudioPath> audio,
            std::unique_ptr<LineAudioDevice> device, std::string record_pattern)
      : default_(std::move(default_scenario)),
        numbers_(std::move(numbers)),
        wave_id_(wave_id),
        audio_(std::move(audio)),
        device_(std::move(device)),
        record_pattern_(std::move(record_pattern)) {}

  std::string ProviderInfo() const override { return "Telvane simulated line"; }

  LONG Open(platform::MessageLoop&, LineSink& sink) override {
    line_sink_ = &sink;
    audio_->SetUnheard([&sink](const LinePlay& play) { sink.OnEvent(SoundNotHeard(play)); });
    return 0;
  }

  void Close() override {
    audio_->SetUnheard({});
    line_sink_ = nullptr;
  }

  LONG CreateCall(const std::string& number, DWORD, platform::MessageLoop& loop, CallSink& sink,
                  std::unique_ptr<DriverCall>* call) override {
    const Scenario& scenario = ScenarioFor(number);
    if (scenario.outcome == Scenario::Outcome::kRefuse) {
      sink.OnEvent("dialling " + number + " refused");
      return scenario.error;
    }
    ++calls_;
    const std::string record_path =
        record_pattern_.empty() ? std::string() : RecordPath(record_pattern_, number, calls_);
    *call = std::make_unique<SimCall>(
        scenario, number, SimCallLine{wave_id_, line_sink_, audio_.get()}, loop, sink, record_path);
    return 0;
  }

  LONG GetDeviceId(std::string_view device_class, DWORD* id) override {
    if (!IsSimWaveClass(device_class)) return LINEERR_INVALDEVICECLASS;
    *id = wave_id_;
    return 0;
  }

 private:
  const Scenario& ScenarioFor(const std::string& number) const {
    const auto it = numbers_.find(NumberKey(number));
    return it == numbers_.end() ? default_ : it->second;
  }

  const Scenario default_;
  // By number key; of two keys that mean the same number, the first in the file.
  const std::unordered_map<std::string, Scenario> numbers_;
  const DWORD wave_id_;
  const std::shared_ptr<LineAudioPath> audio_;
  const std::unique_ptr<LineAudioDevice> device_;  // unregistered before the audio goes
  const std::string record_pattern_;
  LineSink* line_sink_ = nullptr;
  uint64_t calls_ = 0;  // calls placed on the line, for record file names
};

}  // namespace

std::unique_ptr<LineDriver> CreateSimDriver(const std::vector<DriverKey>& keys, DWORD device_id,
                                            std::string* error) {
  Scenario default_scenario;
  std::unordered_map<std::string, Scenario> numbers;
  DWORD wave_id = device_id;
  std::string record_pattern;
  for (const DriverKey& key : keys) {
    const std::string where = "line " + std::to_string(key.file_line) + ": ";
    std::string reason;
    if (key.key == "default") {
      if (!ParseScenario(key.value, &default_scenario, &reason)) {
        *error = where + "default: " + reason;
        return nullptr;
      }
    } else if (key.key.rfind("number.", 0) == 0 && key.key.size() > 7) {
      Scenario scenario;
      if (!ParseScenario(key.value, &scenario, &reason)) {
        *error = where + key.key + ": " + reason;
        return nullptr;
      }
      numbers.emplace(NumberKey(key.key.substr(7)), std::move(scenario));
    } else if (key.key == "wave") {
      if (!ParseWaveId(key.value, &wave_id, &reason)) {
        *error = where + reason;
        return nullptr;
      }
    } else if (key.key == "record") {
      if (key.value.empty()) {
        *error = where + "record takes a file name";
        return nullptr;
      }
      record_pattern = key.value;
    } else {
      *error = where + "unknown key '" + key.key + "' for the sim driver";
      return nullptr;
    }
  }
  auto audio = std::make_shared<LineAudioPath>();
  std::unique_ptr<LineAudioDevice> device = LineAudioDevice::Register(
      wave_id, "sim line wave " + std::to_string(wave_id), LinePacing::WholeWrites(), audio, error);
  if (!device) return nullptr;
  return std::make_unique<SimDriver>(std::move(default_scenario), std::move(numbers), wave_id,
                                     std::move(audio), std::move(device),
                                     std::move(record_pattern));
}

}  // namespace telvane::linesvc
