// The simulated line's script language: clauses, times, keys and errors parsed into a
// Scenario.
#include "linesvc/sim/sim_script.h"

#include <charconv>
#include <cstdint>
#include <sstream>
#include <utility>

#include "linesvc/dtmf_key.h"
#include "platform/text.h"

namespace telvane::linesvc {

namespace {

// Outcome delays used when a clause gives none.
constexpr int64_t kDefaultBusyMs = 500;
constexpr int64_t kDefaultNoAnswerMs = 30000;
constexpr int64_t kDefaultRejectMs = 2000;
constexpr int64_t kDefaultUnreachableMs = 500;
constexpr int64_t kDefaultNoDialToneMs = 3000;

// What separates words: every kind of white space a file may hold, as the word reader of
// ParseClause sees it, so a clause of vertical tabs or carriage returns is as empty as one of
// blanks.
constexpr std::string_view kSpace = " \t\r\n\v\f";

bool ParseMs(std::string_view text, int64_t* ms) {
  return platform::ParseInteger(text, 0, INT64_MAX, ms);
}

std::vector<std::string> Split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(platform::Trim(text.substr(start, end - start), kSpace));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// "1500", "answer+1500", "dial+1500" or "heard+1500".
bool ParseTime(const std::string& text, SimTime* time) {
  const auto plus = text.find('+');
  SimTime result;
  std::string number = text;
  if (plus != std::string::npos) {
    const std::string anchor = platform::LowerCase(platform::Trim(text.substr(0, plus), kSpace));
    if (anchor == "dial") {
      result.anchor = SimTime::Anchor::kDial;
    } else if (anchor == "heard") {
      result.anchor = SimTime::Anchor::kHeard;
    } else if (anchor != "answer") {
      return false;
    }
    number = platform::Trim(text.substr(plus + 1), kSpace);
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

// "1500:5,dial+4000:#".
bool ParseKeys(const std::string& list, std::vector<SimKey>* keys, std::string* error) {
  for (const std::string& entry : Split(list, ',')) {
    const auto colon = entry.rfind(':');
    SimKey key;
    const std::string digit =
        colon == std::string::npos
            ? std::string()
            : platform::UpperCase(platform::Trim(entry.substr(colon + 1), kSpace));
    if (colon == std::string::npos ||
        !ParseTime(platform::Trim(entry.substr(0, colon), kSpace), &key.at) || digit.size() != 1 ||
        !IsDtmfKey(digit[0])) {
      *error = "bad key '" + entry + "' (TIME:KEY, KEY one of 0-9 A-D * #)";
      return false;
    }
    key.digit = digit[0];
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
  if (!(stream >> clause->verb)) {
    *error = "an empty clause";
    return false;
  }
  clause->verb = platform::LowerCase(clause->verb);
  if (clause->verb.find('=') != std::string::npos) {
    // "keys=..." is a clause of its own; a list may hold blanks after its commas.
    const auto equals = text.find('=');
    clause->params.emplace_back(platform::LowerCase(platform::Trim(text.substr(0, equals), kSpace)),
                                platform::Trim(text.substr(equals + 1), kSpace));
    clause->verb.clear();
    return true;
  }
  while (stream >> word) {
    const auto equals = word.find('=');
    if (equals == std::string::npos || equals == 0) {
      *error = "'" + word + "' is not name=value";
      return false;
    }
    clause->params.emplace_back(platform::LowerCase(word.substr(0, equals)),
                                word.substr(equals + 1));
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
    {"answer", Scenario::Outcome::kAnswer, "after", kSimDefaultAnswerMs},
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
      return ErrorParam(clause, LINEERR_INVALDEVICECLASS, &scenario_->refuse_wave, error,
                        &scenario_->refuse_wave_from);
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

  // error=LINEERR, and with `from` also from=N: the refusal starts at the Nth request.
  static bool ErrorParam(const Clause& clause, LONG default_error, std::optional<LONG>* result,
                         std::string* error, int64_t* from = nullptr) {
    LONG value = default_error;
    for (const auto& [name, text] : clause.params) {
      const bool ok = name == "error" ? ParseError(text, &value)
                      : name == "from"
                          ? from != nullptr && platform::ParseInteger(text, 1, INT32_MAX, from)
                          : false;
      if (!ok) {
        *error = "'" + clause.verb + "' takes error=LINEERR (e.g. 0x80000048)" +
                 (from != nullptr ? " and from=N" : "") + ", not '" + name + "=" + text + "'";
        return false;
      }
    }
    *result = value;
    return true;
  }

  Scenario* scenario_;
  bool have_outcome_ = false;
};

}  // namespace

bool ParseScenario(std::string_view text, Scenario* scenario, std::string* error) {
  Scenario result;
  ScenarioParser parser(&result);
  for (const std::string& part : Split(text, ';')) {
    if (part.empty()) continue;
    Clause clause;
    if (!ParseClause(part, &clause, error) || !parser.Apply(clause, error)) return false;
  }
  *scenario = std::move(result);
  return true;
}

}  // namespace telvane::linesvc
