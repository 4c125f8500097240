// The lines file as the telephony service reads it: sections, keys and the drivers' own keys,
// with every simulated line's call scripts parsed (and its wave device registered and let go).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "linesvc/lines_file.h"
#include "linesvc/modem/modem_settings.h"
#include "linesvc/sim/sim_driver.h"
#include "linesvc/sip/sip_settings.h"

using namespace telvane::linesvc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const LinesConfig config =
      ParseLinesFile(std::string(reinterpret_cast<const char*>(data), size), "fuzz.ini");
  DWORD device_id = 0;
  for (const LineConfig& line : config.lines) {
    std::string error;
    if (line.driver == "sim") {
      std::unique_ptr<LineDriver> driver = CreateSimDriver(line.driver_keys, device_id, &error);
    } else if (line.driver == "modem") {
      ModemSettings settings;
      ParseModemSettings(line.driver_keys, device_id, &settings, &error);
    } else if (line.driver == "sip") {
      SipSettings settings;
      if (ParseSipSettings(line.driver_keys, device_id, &settings, &error)) {
        RequestUri(settings, line.name);
      }
    }
    ++device_id;
  }
  return 0;
}
