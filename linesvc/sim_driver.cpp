// The simulated line driver: scenario parsing and the scripted calls.
#include "linesvc/sim_driver.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <functional>
#include <sstream>

#include "linesvc/sim_audio.h"
#include "platform/wave_devices.h"

namespace telvane::linesvc {

namespace {

// Modes that go with the progress states (LINEDIALTONEMODE_NORMAL, LINEBUSYMODE_STATION).
constexpr DWORD kDialToneNormal = 0x1;
constexpr DWORD kBusyStation = 0x1;

// Outcome delays used when a clause gives none.
constexpr int64_t kDefaultAnswerMs = 3000;
constexpr int64_t kDefaultBusyMs = 500;
constexpr int64_t kDefaultNoAnswerMs = 30000;
constexpr int64_t kDefaultRejectMs = 2000;
constexpr int64_t kDefaultUnreachableMs = 500;
constexpr int64_t kDefaultNoDialToneMs = 3000;

std::string Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return std::string(text.substr(first, last - first + 1));
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::vector<std::string> Split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(Trim(text.substr(start, end - start)));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

bool ParseMs(const std::string& text, int64_t* ms) {
  int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0) return false;
  *ms = value;
  return true;
}

// "1500", "answer+1500", "dial+1500" or "heard+1500".
bool ParseTime(const std::string& text, SimTime* time) {
  const auto plus = text.find('+');
  SimTime result;
  std::string number = text;
  if (plus != std::string::npos) {
    const std::string anchor = Lower(Trim(text.substr(0, plus)));
    if (anchor == "dial") {
      result.anchor = SimTime::Anchor::kDial;
    } else if (anchor == "heard") {
      result.anchor = SimTime::Anchor::kHeard;
    } else if (anchor != "answer") {
      return false;
    }
    number = Trim(text.substr(plus + 1));
  }
  if (!ParseMs(number, &result.ms)) return false;
  *time = result;
  return true;
}

// A LINEERR_* value: hexadecimal or decimal with the top bit set.
bool ParseError(const std::string& text, LONG* error) {
  uint64_t value = 0;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* begin = text.data() + (hex ? 2 : 0);
  const auto [end, ec] = std::from_chars(begin, text.data() + text.size(), value, hex ? 16 : 10);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0x80000000u ||
      value > 0xFFFFFFFFu) {
    return false;
  }
  *error = static_cast<LONG>(static_cast<uint32_t>(value));
  return true;
}

bool IsKeyDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'D') || c == '*' || c == '#';
}

// "1500:5,dial+4000:#".
bool ParseKeys(const std::string& list, std::vector<SimKey>* keys, std::string* error) {
  for (const std::string& entry : Split(list, ',')) {
    const auto colon = entry.rfind(':');
    SimKey key;
    const std::string digit =
        colon == std::string::npos ? std::string() : Trim(entry.substr(colon + 1));
    if (colon == std::string::npos || !ParseTime(Trim(entry.substr(0, colon)), &key.at) ||
        digit.size() != 1 || !IsKeyDigit(static_cast<char>(std::toupper(digit[0])))) {
      *error = "bad key '" + entry + "' (TIME:KEY, KEY one of 0-9 A-D * #)";
      return false;
    }
    key.digit = static_cast<char>(std::toupper(digit[0]));
    keys->push_back(key);
  }
  return true;
}

struct Clause {
  std::string verb;
  std::vector<std::pair<std::string, std::string>> params;
};

bool ParseClause(const std::string& text, Clause* clause, std::string* error) {
  std::stringstream stream(text);
  std::string word;
  stream >> clause->verb;
  clause->verb = Lower(clause->verb);
  if (clause->verb.find('=') != std::string::npos) {
    // "keys=..." is a clause of its own; a list may hold blanks after its commas.
    const auto equals = text.find('=');
    clause->params.emplace_back(Lower(Trim(text.substr(0, equals))), Trim(text.substr(equals + 1)));
    clause->verb.clear();
    return true;
  }
  while (stream >> word) {
    const auto equals = word.find('=');
    if (equals == std::string::npos || equals == 0) {
      *error = "'" + word + "' is not name=value";
      return false;
    }
    clause->params.emplace_back(Lower(word.substr(0, equals)), word.substr(equals + 1));
  }
  return true;
}

// The outcome verbs with their default delay and the name of their delay parameter.
struct OutcomeVerb {
  const char* verb;
  Scenario::Outcome outcome;
  const char* delay_param;  // null: the outcome takes error= instead
  int64_t default_ms;
};
constexpr OutcomeVerb kOutcomes[] = {
    {"answer", Scenario::Outcome::kAnswer, "after", kDefaultAnswerMs},
    {"busy", Scenario::Outcome::kBusy, "after", kDefaultBusyMs},
    {"noanswer", Scenario::Outcome::kNoAnswer, "ring", kDefaultNoAnswerMs},
    {"reject", Scenario::Outcome::kReject, "after", kDefaultRejectMs},
    {"unreachable", Scenario::Outcome::kUnreachable, "after", kDefaultUnreachableMs},
    {"nodialtone", Scenario::Outcome::kNoDialTone, "after", kDefaultNoDialToneMs},
    {"refuse", Scenario::Outcome::kRefuse, nullptr, LINEERR_CALLUNAVAIL},
    {"fail", Scenario::Outcome::kFail, nullptr, LINEERR_OPERATIONFAILED},
};

class ScenarioParser {
 public:
  explicit ScenarioParser(Scenario* scenario) : scenario_(scenario) {}

  bool Apply(const Clause& clause, std::string* error) {
    if (clause.verb.empty()) {
      const auto& [name, value] = clause.params.front();
      if (name != "keys") {
        *error = "unknown clause '" + name + "='";
        return false;
      }
      return ParseKeys(value, &scenario_->keys, error);
    }
    for (const OutcomeVerb& verb : kOutcomes) {
      if (clause.verb == verb.verb) return ApplyOutcome(verb, clause, error);
    }
    if (clause.verb == "hangup") {
      return TimeParam(clause, "after", Heard::kAllowed, &scenario_->hangup, error);
    }
    if (clause.verb == "outofservice") {
      return TimeParam(clause, "after", Heard::kRefused, &scenario_->out_of_service, error);
    }
    if (clause.verb == "lineclose") {
      return TimeParam(clause, "after", Heard::kRefused, &scenario_->line_close, error);
    }
    if (clause.verb == "nodigits") {
      return ErrorParam(clause, LINEERR_OPERATIONUNAVAIL, &scenario_->refuse_digits, error);
    }
    if (clause.verb == "nowave") {
      return ErrorParam(clause, LINEERR_INVALDEVICECLASS, &scenario_->refuse_wave, error);
    }
    *error = "unknown clause '" + clause.verb + "'";
    return false;
  }

 private:
  bool ApplyOutcome(const OutcomeVerb& verb, const Clause& clause, std::string* error) {
    if (have_outcome_) {
      *error = "more than one outcome ('" + clause.verb + "')";
      return false;
    }
    have_outcome_ = true;
    scenario_->outcome = verb.outcome;
    if (verb.delay_param == nullptr) {
      std::optional<LONG> value;
      if (!ErrorParam(clause, static_cast<LONG>(verb.default_ms), &value, error)) return false;
      scenario_->error = *value;
      return true;
    }
    scenario_->outcome_ms = verb.default_ms;
    for (const auto& [name, value] : clause.params) {
      if (name != verb.delay_param || !ParseMs(value, &scenario_->outcome_ms)) {
        *error = "'" + clause.verb + "' takes " + verb.delay_param + "=MS, not '" + name + "=" +
                 value + "'";
        return false;
      }
    }
    return true;
  }

  // Line events happen whether or not anybody listens, so they cannot wait for sound.
  enum class Heard { kAllowed, kRefused };

  static bool TimeParam(const Clause& clause, const char* param, Heard heard,
                        std::optional<SimTime>* time, std::string* error) {
    SimTime value;
    if (clause.params.size() != 1 || clause.params[0].first != param ||
        !ParseTime(clause.params[0].second, &value) ||
        (heard == Heard::kRefused && value.anchor == SimTime::Anchor::kHeard)) {
      *error = "'" + clause.verb + "' takes " + param + "=TIME (MS, answer+MS or dial+MS" +
               (heard == Heard::kAllowed ? ", heard+MS)" : ")");
      return false;
    }
    *time = value;
    return true;
  }

  static bool ErrorParam(const Clause& clause, LONG default_error, std::optional<LONG>* result,
                         std::string* error) {
    LONG value = default_error;
    for (const auto& [name, text] : clause.params) {
      if (name != "error" || !ParseError(text, &value)) {
        *error = "'" + clause.verb + "' takes error=LINEERR (e.g. 0x80000048), not '" + name + "=" +
                 text + "'";
        return false;
      }
    }
    *result = value;
    return true;
  }

  Scenario* scenario_;
  bool have_outcome_ = false;
};

// Numbers are matched without the blanks and punctuation people write them with, and
// regardless of the case of dial-string letters.
std::string NumberKey(std::string_view number) {
  std::string key;
  for (char c : number) {
    if (c == ' ' || c == '(' || c == ')' || c == '-' || c == '.') continue;
    key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return key;
}

bool IsWaveClass(std::string_view device_class) {
  const std::string lower = Lower(std::string(device_class));
  return lower == "wave/out" || lower == "wave/in";
}

class SimDriver;

// One scripted call. Every step is a delayed task guarded by alive_, so a step never runs on a
// destroyed call even where cancelling was not possible. While it exists the call is the
// line's listener: it hears the line's sound while connected, records it and counts it for
// the keys and the hang-up scripted by heard sound.
class SimCall final : public DriverCall, private SimListener {
 public:
  SimCall(const Scenario& scenario, std::string number, DWORD wave_id, LineSink* line_sink,
          platform::MessageLoop& loop, CallSink& sink, SimLineAudio* audio, std::string record_path)
      : scenario_(scenario),
        number_(std::move(number)),
        wave_id_(wave_id),
        line_sink_(line_sink),
        loop_(loop),
        sink_(sink),
        audio_(audio),
        record_path_(std::move(record_path)) {
    if (audio_ != nullptr) audio_->SetListener(this);
  }

  ~SimCall() override {
    if (audio_ != nullptr) audio_->RemoveListener(this);
    // Use the loop only on its own thread while it is current: a loop that is gone cannot be
    // asked, and its tasks are guarded anyway.
    if (platform::MessageLoop::Current() == &loop_) {
      StopHearing();
      for (platform::TaskId id : tasks_) loop_.CancelDelayedTask(id);
    }
    recorder_.Close();
  }

  void Start() override {
    if (scenario_.outcome == Scenario::Outcome::kFail) {
      sink_.OnEvent("dialling " + number_ + " fails");
      sink_.OnDialResult(scenario_.error);
      return;
    }
    sink_.OnDialResult(0);
    ScheduleProgress();
    ScheduleLineEvents(SimTime::Anchor::kDial);
    ScheduleCallEvents(SimTime::Anchor::kDial);
  }

  void Drop() override {
    CancelAll();
    StopHearing();
    connected_ = false;
    ended_ = true;
    sink_.OnDropResult(0);
    sink_.OnCallState(LINECALLSTATE_IDLE, 0);
  }

  LONG MonitorDigits(DWORD digit_modes) override {
    if (digit_modes != 0 && scenario_.refuse_digits) return *scenario_.refuse_digits;
    return 0;
  }

  LONG GetDeviceId(std::string_view device_class, DWORD* id) override {
    if (!IsWaveClass(device_class)) return LINEERR_INVALDEVICECLASS;
    if (scenario_.refuse_wave) return *scenario_.refuse_wave;
    *id = wave_id_;
    return 0;
  }

 private:
  void At(int64_t delay_ms, std::function<void()> step) {
    std::weak_ptr<char> alive = alive_;
    tasks_.push_back(loop_.PostDelayedTask(delay_ms, [alive, step = std::move(step)] {
      if (alive.lock()) step();
    }));
  }

  void CancelAll() {
    for (platform::TaskId id : tasks_) loop_.CancelDelayedTask(id);
    tasks_.clear();
    alive_ = std::make_shared<char>();
  }

  void State(DWORD state, DWORD mode) {
    if (ended_) return;
    sink_.OnCallState(state, mode);
  }

  void End(DWORD state, DWORD mode) {
    StopHearing();
    connected_ = false;
    State(state, mode);
    ended_ = true;
  }

  void ScheduleProgress() {
    using Outcome = Scenario::Outcome;
    const int64_t wait = scenario_.outcome_ms;
    if (scenario_.outcome == Outcome::kNoDialTone) {
      At(wait, [this] { End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NODIALTONE); });
      return;
    }
    At(0, [this] { State(LINECALLSTATE_DIALTONE, kDialToneNormal); });
    At(kSimDialingMs, [this] { State(LINECALLSTATE_DIALING, 0); });
    At(kSimProceedingMs, [this] { State(LINECALLSTATE_PROCEEDING, 0); });
    switch (scenario_.outcome) {
      case Outcome::kBusy:
        At(kSimProceedingMs + wait, [this] { End(LINECALLSTATE_BUSY, kBusyStation); });
        return;
      case Outcome::kUnreachable:
        At(kSimProceedingMs + wait,
           [this] { End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNREACHABLE); });
        return;
      default:
        break;
    }
    At(kSimRingbackMs, [this] { State(LINECALLSTATE_RINGBACK, 0); });
    const int64_t end_ms = kSimRingbackMs + wait;
    if (scenario_.outcome == Outcome::kAnswer) {
      At(end_ms, [this] { Answer(); });
    } else if (scenario_.outcome == Outcome::kNoAnswer) {
      At(end_ms, [this] { End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NOANSWER); });
    } else if (scenario_.outcome == Outcome::kReject) {
      At(end_ms, [this] { End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_REJECT); });
    }
  }

  void Answer() {
    if (ended_) return;
    connected_ = true;
    StartRecording();
    State(LINECALLSTATE_CONNECTED, 0);
    ScheduleLineEvents(SimTime::Anchor::kAnswer);
    ScheduleCallEvents(SimTime::Anchor::kAnswer);
    ArmHeardEvents();
  }

  // Keys and the remote hang-up: they happen only while the call is connected.
  void ScheduleCallEvents(SimTime::Anchor anchor) {
    for (const SimKey& key : scenario_.keys) {
      if (key.at.anchor != anchor) continue;
      const char digit = key.digit;
      At(key.at.ms, [this, digit] {
        if (!connected_) return;
        sink_.OnEvent(std::string("remote side presses ") + digit);
        sink_.OnDigit(digit);
      });
    }
    if (scenario_.hangup && scenario_.hangup->anchor == anchor) {
      At(scenario_.hangup->ms, [this] {
        if (!connected_) return;
        sink_.OnEvent("remote side hangs up");
        End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
      });
    }
  }

  // Line events happen while the call exists, whatever its state.
  void ScheduleLineEvents(SimTime::Anchor anchor) {
    if (line_sink_ == nullptr) return;
    if (scenario_.out_of_service && scenario_.out_of_service->anchor == anchor) {
      At(scenario_.out_of_service->ms,
         [this] { line_sink_->OnLineDevState(LINEDEVSTATE_OUTOFSERVICE); });
    }
    if (scenario_.line_close && scenario_.line_close->anchor == anchor) {
      At(scenario_.line_close->ms, [this] {
        StopHearing();
        ended_ = true;
        connected_ = false;
        line_sink_->OnLineClosed();
      });
    }
  }

  // --- What the callee hears ---------------------------------------------------------------

  // A key or the hang-up that waits until the callee has heard `at` samples.
  struct HeardEvent {
    uint64_t at = 0;
    std::function<void()> action;
    uint64_t generation = 0;  // a scheduled run counts only if it is still the latest
    bool scheduled = false;
    bool done = false;
  };

  static uint64_t MsToSamples(int64_t ms) {
    return static_cast<uint64_t>(ms) * platform::kLineSampleRate / 1000;
  }

  void StartRecording() {
    if (record_path_.empty()) return;
    if (recorder_.Open(record_path_)) {
      sink_.OnEvent("audio: recording to " + record_path_);
    } else {
      sink_.OnEvent("audio: cannot record to " + record_path_);
    }
  }

  void ArmHeardEvents() {
    for (const SimKey& key : scenario_.keys) {
      if (key.at.anchor != SimTime::Anchor::kHeard) continue;
      const char digit = key.digit;
      heard_events_.push_back({MsToSamples(key.at.ms), [this, digit] {
                                 if (!connected_) return;
                                 sink_.OnEvent(std::string("remote side presses ") + digit);
                                 sink_.OnDigit(digit);
                               }});
    }
    if (scenario_.hangup && scenario_.hangup->anchor == SimTime::Anchor::kHeard) {
      heard_events_.push_back({MsToSamples(scenario_.hangup->ms), [this] {
                                 if (!connected_) return;
                                 sink_.OnEvent("remote side hangs up");
                                 End(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
                               }});
    }
  }

  bool OnPlayStart(const SimPlay& play) override {
    if (!connected_) return false;
    playing_ = play;
    // Each waiting event whose amount of sound this write reaches happens at the moment
    // that sample is heard, unless the write is cut short before.
    const int64_t now = loop_.NowMs();
    for (size_t i = 0; i < heard_events_.size(); ++i) {
      HeardEvent& event = heard_events_[i];
      if (event.done || event.scheduled || event.at > heard_ + play.Size()) continue;
      const uint64_t k = event.at > heard_ ? event.at - heard_ : 0;
      event.scheduled = true;
      const uint64_t generation = ++event.generation;
      At(play.TimeOf(k) - now, [this, i, generation] {
        HeardEvent& due = heard_events_[i];
        if (due.generation != generation || due.done) return;
        due.done = true;
        due.action();
      });
    }
    return true;
  }

  void OnPlayEnd(uint64_t id) override {
    if (playing_ && playing_->id == id) Heard(playing_->Size());
  }

  void OnPlayCut(uint64_t id) override {
    if (playing_ && playing_->id == id) Heard(playing_->HeardBy(loop_.NowMs()));
  }

  // The call ends or the line goes: the rest of the write being played is not heard.
  void StopHearing() {
    if (playing_) Heard(playing_->HeardBy(loop_.NowMs()));
    recorder_.Close();
  }

  // The write being played has been heard up to `count` samples and no further.
  void Heard(uint64_t count) {
    const SimPlay play = *playing_;
    playing_.reset();
    recorder_.Append(play.samples->data(), static_cast<size_t>(count));
    heard_ += count;
    const int64_t from = play.TimeOf(0);
    const int64_t to = play.TimeOf(count);
    std::string text = "audio: buffer of " + std::to_string(play.Size()) + " samples ";
    if (count < play.Size()) text += "cut after " + std::to_string(count) + ", ";
    text += "heard from " + std::to_string(from) + " to " + std::to_string(to) + " ms, ";
    if (!last_heard_end_ms_) {
      text += "first of the call";
    } else if (from == *last_heard_end_ms_) {
      text += "no gap";
    } else {
      text += "after a gap of " + std::to_string(from - *last_heard_end_ms_) + " ms";
    }
    sink_.OnEvent(text);
    last_heard_end_ms_ = to;
    // Events scheduled for sound that was never heard wait for the next write.
    for (HeardEvent& event : heard_events_) {
      if (event.scheduled && !event.done && event.at > heard_) {
        event.scheduled = false;
        ++event.generation;
      }
    }
  }

  const Scenario scenario_;
  const std::string number_;
  const DWORD wave_id_;
  LineSink* const line_sink_;
  platform::MessageLoop& loop_;
  CallSink& sink_;
  SimLineAudio* const audio_;
  const std::string record_path_;
  std::vector<platform::TaskId> tasks_;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
  bool connected_ = false;
  bool ended_ = false;
  std::vector<HeardEvent> heard_events_;
  std::optional<SimPlay> playing_;  // the write being heard
  uint64_t heard_ = 0;              // samples heard in this call
  std::optional<int64_t> last_heard_end_ms_;
  WavRecorder recorder_;
};

class SimDriver final : public LineDriver {
 public:
  SimDriver(Scenario default_scenario, std::vector<std::pair<std::string, Scenario>> numbers,
            DWORD wave_id, std::shared_ptr<SimLineAudio> audio, std::string record_pattern)
      : default_(std::move(default_scenario)),
        numbers_(std::move(numbers)),
        wave_id_(wave_id),
        audio_(std::move(audio)),
        record_pattern_(std::move(record_pattern)) {}

  std::string ProviderInfo() const override { return "Telvane simulated line"; }

  LONG Open(platform::MessageLoop&, LineSink& sink) override {
    line_sink_ = &sink;
    audio_->SetLog([&sink](std::string_view text) { sink.OnEvent(text); });
    return 0;
  }

  void Close() override {
    audio_->SetLog({});
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
    *call = std::make_unique<SimCall>(scenario, number, wave_id_, line_sink_, loop, sink,
                                      audio_.get(), record_path);
    return 0;
  }

  LONG GetDeviceId(std::string_view device_class, DWORD* id) override {
    if (!IsWaveClass(device_class)) return LINEERR_INVALDEVICECLASS;
    *id = wave_id_;
    return 0;
  }

 private:
  const Scenario& ScenarioFor(const std::string& number) const {
    const std::string key = NumberKey(number);
    for (const auto& [scripted, scenario] : numbers_) {
      if (scripted == key) return scenario;
    }
    return default_;
  }

  const Scenario default_;
  const std::vector<std::pair<std::string, Scenario>> numbers_;
  const DWORD wave_id_;
  const std::shared_ptr<SimLineAudio> audio_;
  const std::string record_pattern_;
  LineSink* line_sink_ = nullptr;
  uint64_t calls_ = 0;  // calls placed on the line, for record file names
};

}  // namespace

bool ParseScenario(std::string_view text, Scenario* scenario, std::string* error) {
  Scenario result;
  result.outcome_ms = kDefaultAnswerMs;
  ScenarioParser parser(&result);
  for (const std::string& part : Split(text, ';')) {
    if (part.empty()) continue;
    Clause clause;
    if (!ParseClause(part, &clause, error) || !parser.Apply(clause, error)) return false;
  }
  *scenario = std::move(result);
  return true;
}

std::unique_ptr<LineDriver> CreateSimDriver(const std::vector<DriverKey>& keys, DWORD device_id,
                                            std::string* error) {
  Scenario default_scenario;
  default_scenario.outcome_ms = kDefaultAnswerMs;
  std::vector<std::pair<std::string, Scenario>> numbers;
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
      numbers.emplace_back(NumberKey(key.key.substr(7)), std::move(scenario));
    } else if (key.key == "wave") {
      int64_t value = 0;
      if (!ParseMs(key.value, &value) || value > 0xFFFFFFFF) {
        *error = where + "wave takes a device number, not '" + key.value + "'";
        return nullptr;
      }
      wave_id = static_cast<DWORD>(value);
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
  std::shared_ptr<SimLineAudio> audio = SimLineAudio::Create(wave_id, error);
  if (!audio) return nullptr;
  return std::make_unique<SimDriver>(std::move(default_scenario), std::move(numbers), wave_id,
                                     std::move(audio), std::move(record_pattern));
}

}  // namespace telvane::linesvc
