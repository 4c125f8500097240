// Measures how the telephony service's start-up grows with the lines file: reading and
// parsing it, and making a driver for each line, for files with many lines and for one line
// with many number scripts.
//
//   build/bench/lines_bench [scale]
//
// Prints, for a file of N lines and a line of N number keys at N, 2N and 4N (N = 1000 times
// the scale, 1 by default), the time the service takes to offer its lines, and the time per
// line. Time per line that stays flat as N grows means the loading is linear.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "linesvc/lines_file.h"
#include "linesvc/service.h"
#include "platform/message_loop.h"
#include "platform/tapi_binding.h"

namespace {

using telvane::linesvc::ParseLinesFile;
using telvane::linesvc::Service;

void IgnoreMessage(DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

std::string ManyLines(int count) {
  std::string text = "[service]\n";
  for (int i = 0; i < count; ++i) {
    text += "[line Sim " + std::to_string(i) +
            "]\ndriver = sim\nwave = " + std::to_string(100000 + i) +
            "\ndefault = answer after=2000; keys=1500:5\n";
  }
  return text;
}

std::string ManyNumbers(int count) {
  std::string text = "[line Sim]\ndriver = sim\n";
  for (int i = 0; i < count; ++i) {
    text += "number." + std::to_string(5550000 + i) + " = busy after=" + std::to_string(i) + "\n";
  }
  return text;
}

// Seconds from the first application's registration until the service offers its lines.
double LoadSeconds(const std::string& text, DWORD* devices) {
  telvane::platform::MessageLoop loop(telvane::platform::ClockMode::kVirtual);
  Service service([&text] { return ParseLinesFile(text, "bench.ini"); });
  HLINEAPP app = 0;
  const auto start = std::chrono::steady_clock::now();
  service.Initialize(&app, telvane::platform::LineAppInstance(loop), IgnoreMessage, "bench",
                     devices);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  service.Shutdown(app);
  return took.count();
}

void Measure(const char* what, std::string (*make)(int), int count) {
  DWORD devices = 0;
  const double seconds = LoadSeconds(make(count), &devices);
  std::printf("%-28s %7d  %8.3f s  %7.2f us each  (%u line devices)\n", what, count, seconds,
              seconds * 1e6 / count, devices);
}

}  // namespace

int main(int argc, char** argv) {
  const int scale = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
  const int n = 1000 * scale;
  for (int count : {n, 2 * n, 4 * n}) Measure("lines", ManyLines, count);
  for (int count : {n, 2 * n, 4 * n}) Measure("number keys in one line", ManyNumbers, count);
  return 0;
}
