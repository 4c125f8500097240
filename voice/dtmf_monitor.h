// DTMF keys pressed by the listener: the line device asks the line to report them when the
// call connects, and hands each key the line reports to the application, stopping a running
// playback first: a key is the listener's answer, and the sound that asked for it ends.
//
//   DigitMonitor digits(player, [&](char key) { ... });
//   digits.Start(call);        // at LINECALLSTATE_CONNECTED
//   digits.ReportKey('5');     // at LINE_MONITORDIGITS
//
// Threads: loop thread only.
#pragma once

#include <functional>

#include "platform/tapi.h"
#include "voice/wave_player.h"

namespace telvane {

class DigitMonitor {
 public:
  using KeyHandler = std::function<void(char key)>;

  // Keys stop `player`; on_key hears them, when it holds a handler. Both are the owner's and
  // outlive the monitor.
  DigitMonitor(WavePlayer& player, const KeyHandler& on_key);

  // Asks the line to report the call's DTMF keys. A line that refuses says so once, as a
  // blank key; with nobody to hear it, ETapiVoiceNotSupported is raised instead.
  void Start(HCALL call);

  // A key from the line: the running playback ends with it, then on_key hears it. A NUL or
  // blank is no key and is dropped.
  void ReportKey(char key);

 private:
  WavePlayer& player_;
  const KeyHandler& on_key_;
};

}  // namespace telvane
