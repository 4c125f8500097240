// The modem's answers as the driver reads them: bytes in pieces of any size split into result
// lines and DLE events, digits counted, the capability lists parsed and chosen from, sound
// decoded; and a dial string, which must never carry anything but dial characters.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "linesvc/modem/modem_protocol.h"

using namespace telvane::linesvc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // The first byte chooses how the port's reads split the bytes.
  const size_t piece = size == 0 ? 1 : 1 + data[0] % 64;
  ModemReader reader;
  DigitTracker digits;
  std::vector<std::string> lines;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    for (const ModemReader::Item& item : reader.Feed(bytes.substr(at, piece))) {
      if (item.line.empty()) {
        digits.OnEvent(item.event);
        continue;
      }
      ClassifyLine(item.line);
      lines.push_back(item.line);
    }
  }
  const std::vector<ModemCodec> codecs = ParseVsmList(lines);
  for (const ModemCodec& codec : codecs) {
    for (int rate : RatesToTry(codec)) {
      if (rate < 4000 || rate > 48000) __builtin_trap();
    }
  }
  ChooseCodec(codecs, std::nullopt);
  ParseVlsList(lines);
  ParseClassList(lines);
  for (ModemCoding coding : {ModemCoding::kUlaw, ModemCoding::kAlaw, ModemCoding::kUnsigned8,
                             ModemCoding::kSigned8, ModemCoding::kLinear16}) {
    Shield(Encode(Decode(bytes, coding), coding));
  }
  if (const std::optional<std::string> dial = ModemDialString(bytes)) {
    if (dial->find_first_not_of("0123456789*#ABCD,W!@PT") != std::string::npos) __builtin_trap();
  }
  return 0;
}
