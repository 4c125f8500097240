// The language of the simulated line's call scripts: what happens on a call to a number.
//
//   default = answer after=2000; keys=1500:5
//   number.5551234 = busy
//
// A script (a "scenario") is a list of clauses separated by ';'. One clause says how the
// call ends up (answer, busy, noanswer, reject, unreachable, nodialtone, refuse, fail); the
// others add keys pressed, a remote hang-up, refusals of digit monitoring or of the wave
// device, and line events. docs/lines-file.md describes them for users; sim_call.h plays them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/tapi.h"

namespace telvane::linesvc {

// A call to a number that no script names is answered after this long.
inline constexpr int64_t kSimDefaultAnswerMs = 3000;

// The fixed progress of a simulated call, in milliseconds after the dialling request: dial
// tone at once, dialling, the number dialled (proceeding), then ringback.
inline constexpr int64_t kSimDialingMs = 100;
inline constexpr int64_t kSimProceedingMs = 1000;
inline constexpr int64_t kSimRingbackMs = 1500;

// When something happens: milliseconds after a point of the call. Times written without a
// point count from the answer; "dial+N" counts from the dialling request; "heard+N" is the
// moment the callee has heard N ms of sound in the call (keys and the hang-up only).
struct SimTime {
  enum class Anchor { kDial, kAnswer, kHeard };
  Anchor anchor = Anchor::kAnswer;
  int64_t ms = 0;
};

struct SimKey {
  SimTime at;
  char digit = 0;
};

struct Scenario {
  enum class Outcome {
    kAnswer,
    kBusy,
    kNoAnswer,
    kReject,
    kUnreachable,
    kNoDialTone,
    kRefuse,
    kFail
  };
  Outcome outcome = Outcome::kAnswer;
  // The outcome's delay: ringing before an answer or a rejection (from ringback), ringing
  // before giving up (noanswer), or the wait before busy, unreachable or no dial tone.
  int64_t outcome_ms = kSimDefaultAnswerMs;
  LONG error = 0;  // the LINEERR_* of refuse and fail
  std::vector<SimKey> keys;
  std::optional<SimTime> hangup;
  std::optional<LONG> refuse_digits;  // the LINEERR_* lineMonitorDigits answers
  std::optional<LONG> refuse_wave;    // the LINEERR_* lineGetID "wave/out" answers on the call
  int64_t refuse_wave_from = 1;       // from the call's Nth request for its wave device on
  std::optional<SimTime> out_of_service;
  std::optional<SimTime> line_close;
};

// Parses a scenario; on failure returns false with a sentence in *error.
bool ParseScenario(std::string_view text, Scenario* scenario, std::string* error);

}  // namespace telvane::linesvc
