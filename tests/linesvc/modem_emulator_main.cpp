// The voice modem emulator as a program: prints the modem's device path, answers calls until
// interrupted, then writes what it played to a WAV file.
//
//   modem_emulator [v253|is101|hash|lucent|rockwell] [KEY_AFTER_MS:KEY] [recording.wav]
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/linesvc/modem_emulator.h"

namespace {
volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }
}  // namespace

int main(int argc, char** argv) {
  using telvane::linesvc::ModemEmulator;
  ModemEmulator::Script script;
  std::string recording = "modem-heard.wav";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "v253") {
      script.dialect = ModemEmulator::Dialect::kV253;
    } else if (arg == "is101") {
      script.dialect = ModemEmulator::Dialect::kIs101;
    } else if (arg == "hash") {
      script.dialect = ModemEmulator::Dialect::kHash;
    } else if (arg == "lucent") {
      script.dialect = ModemEmulator::Dialect::kLucent;
    } else if (arg == "rockwell") {
      script.dialect = ModemEmulator::Dialect::kRockwell;
    } else if (arg.find(':') != std::string::npos && arg.size() > 2) {
      script.keys.emplace_back(std::atoi(arg.c_str()), arg.back());
    } else {
      recording = arg;
    }
  }
  ModemEmulator modem(script);
  if (modem.Path().empty()) {
    std::fprintf(stderr, "cannot make a pseudo-terminal\n");
    return 1;
  }
  std::printf("modem on %s; Ctrl-C ends and writes %s\n", modem.Path().c_str(), recording.c_str());
  std::fflush(stdout);
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  while (!g_stop) ::usleep(100 * 1000);
  return modem.WriteRecording(recording) ? 0 : 1;
}
