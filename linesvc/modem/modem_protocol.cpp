// Parsing and coding for the voice modem driver and its emulator.
#include "linesvc/modem/modem_protocol.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "linesvc/dtmf_key.h"
#include "platform/text.h"

// Last, because spandsp's base header turns lrint and lrintf into truncating macros for
// C++, which would break any standard header included after it; the macros go again at once.
// clang-format off
#include <spandsp/telephony.h>
#include <spandsp/bit_operations.h>
#include <spandsp/g711.h>
#undef lrint
#undef lrintf
// clang-format on

namespace telvane::linesvc {

namespace {

// Splits at commas that are outside quotes and parentheses.
std::vector<std::string> SplitFields(std::string_view text) {
  std::vector<std::string> fields;
  std::string field;
  int depth = 0;
  bool quoted = false;
  for (char c : text) {
    if (c == '"') quoted = !quoted;
    if (!quoted && c == '(') ++depth;
    if (!quoted && c == ')') --depth;
    if (c == ',' && !quoted && depth <= 0) {
      fields.push_back(platform::Trim(field));
      field.clear();
      continue;
    }
    field += c;
  }
  fields.push_back(platform::Trim(field));
  return fields;
}

std::string StripPrefix(std::string_view line, std::string_view prefix) {
  std::string text = platform::Trim(line);
  if (platform::UpperCase(text).rfind(prefix, 0) == 0)
    text = platform::Trim(text.substr(prefix.size()));
  return text;
}

std::string Unquote(const std::string& text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

bool ParseInt(const std::string& text, int base, int64_t* value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value, base);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// The width a codec's name gives, for lists that have no width field; 0 when it gives none.
int BitsFromName(const std::string& name) {
  const std::string upper = platform::UpperCase(name);
  const auto has = [&upper](const char* word) { return upper.find(word) != std::string::npos; };
  if (has("16-BIT") || has("16 BIT")) return 16;
  if (has("ADPCM") || has("4-BIT")) return 4;
  if (has("8-BIT") || has("8 BIT") || has("LAW")) return 8;  // G.711 is 8-bit
  return 0;
}

// Rates a modem plays voice at: what a rate list may sensibly hold.
constexpr int64_t kMinModemRate = 4000;
constexpr int64_t kMaxModemRate = 48000;

// "(7200,8000,11025)", "8000" or "(7200-11025)"; entries that are not rates are skipped, and
// a range counts as its ends and, when it spans it, the line's 8000 Hz.
std::vector<int> ParseRates(const std::string& field) {
  std::string text = field;
  std::erase_if(text, [](char c) { return c == '(' || c == ')' || c == ' '; });
  std::vector<int> rates;
  for (const std::string& entry : SplitFields(text)) {
    const auto dash = entry.find('-');
    int64_t low = 0;
    int64_t high = 0;
    if (dash != std::string::npos) {
      if (!ParseInt(entry.substr(0, dash), 10, &low) ||
          !ParseInt(entry.substr(dash + 1), 10, &high)) {
        continue;
      }
      if (low <= 8000 && 8000 <= high) rates.push_back(8000);
    } else if (!ParseInt(entry, 10, &low)) {
      continue;
    } else {
      high = low;
    }
    for (int64_t rate : {low, high}) {
      if (rate >= kMinModemRate && rate <= kMaxModemRate &&
          std::find(rates.begin(), rates.end(), rate) == rates.end()) {
        rates.push_back(static_cast<int>(rate));
      }
    }
  }
  return rates;
}

std::optional<ModemCoding> CodingOf(const std::string& name, int bits) {
  const std::string upper = platform::UpperCase(name);
  const auto has = [&upper](const char* word) { return upper.find(word) != std::string::npos; };
  if (has("ADPCM")) return std::nullopt;
  if (bits == 8 && (has("ULAW") || has("U-LAW") || has("MU-LAW"))) return ModemCoding::kUlaw;
  if (bits == 8 && (has("ALAW") || has("A-LAW"))) return ModemCoding::kAlaw;
  if (bits == 8 && has("UNSIGNED")) return ModemCoding::kUnsigned8;
  if (bits == 8 && has("SIGNED")) return ModemCoding::kSigned8;
  // Conexant's "8-BIT LINEAR" is unsigned offset binary like its "UNSIGNED PCM".
  if (bits == 8 && has("LINEAR")) return ModemCoding::kUnsigned8;
  if (bits == 16 && (has("LINEAR") || has("PCM"))) return ModemCoding::kLinear16;
  return std::nullopt;
}

}  // namespace

std::vector<ModemReader::Item> ModemReader::Feed(std::string_view bytes) {
  std::vector<Item> items;
  for (char c : bytes) {
    if (after_dle_) {
      after_dle_ = false;
      items.push_back({std::string(), c});
      continue;
    }
    if (c == kDle) {
      after_dle_ = true;
    } else if (c == '\r' || c == '\n') {
      const std::string line = platform::Trim(line_);
      line_.clear();
      if (!line.empty()) items.push_back({line, 0});
    } else if (c != 0 && line_.size() < 1024) {
      line_ += c;
    }
  }
  return items;
}

std::optional<char> DigitTracker::OnEvent(char event) {
  if (event == '/') {
    in_tone_ = true;
    pending_ = 0;
    return std::nullopt;
  }
  if (event == '~' || event == 0x7F) {
    const char digit = pending_;
    in_tone_ = false;
    pending_ = 0;
    if (digit != 0) return digit;
    return std::nullopt;
  }
  if (!IsDtmfKey(event)) return std::nullopt;
  if (in_tone_) {
    pending_ = event;
    return std::nullopt;
  }
  return event;
}

ModemResult ClassifyLine(std::string_view line) {
  const std::string upper = platform::UpperCase(platform::Trim(line));
  if (upper == "OK") return ModemResult::kOk;
  if (upper.rfind("CONNECT", 0) == 0) return ModemResult::kConnect;
  if (upper == "VCON" || upper == "#VCON" || upper == "VOICE") return ModemResult::kVcon;
  if (upper == "ERROR") return ModemResult::kError;
  if (upper == "BUSY") return ModemResult::kBusy;
  if (upper == "NO DIALTONE" || upper == "NO DIAL TONE") return ModemResult::kNoDialTone;
  if (upper == "NO ANSWER") return ModemResult::kNoAnswer;
  if (upper == "NO CARRIER") return ModemResult::kNoCarrier;
  if (upper == "RINGING") return ModemResult::kRinging;
  return ModemResult::kOther;
}

bool IsFinal(ModemResult result) {
  return result != ModemResult::kRinging && result != ModemResult::kOther;
}

std::vector<ModemCodec> ParseVsmList(const std::vector<std::string>& lines) {
  std::vector<ModemCodec> codecs;
  for (const std::string& line : lines) {
    const std::vector<std::string> fields = SplitFields(StripPrefix(line, "+VSM:"));
    if (fields.size() < 3) continue;
    int64_t cml = 0;
    int64_t bits = 0;
    const std::string name = Unquote(fields[1]);
    if (!ParseInt(fields[0], 10, &cml) || cml < 0 || cml > 255 || name.empty()) continue;
    std::vector<int> rates;
    if (ParseInt(fields[2], 10, &bits)) {
      if (bits <= 0 || bits > 32) continue;
      if (fields.size() > 4) rates = ParseRates(fields[4]);
    } else {
      bits = BitsFromName(name);
      rates = ParseRates(fields[2]);
    }
    codecs.push_back({static_cast<int>(cml), name, static_cast<int>(bits),
                      CodingOf(name, static_cast<int>(bits)), std::move(rates)});
  }
  return codecs;
}

std::optional<ModemCodec> ChooseCodec(const std::vector<ModemCodec>& codecs,
                                      std::optional<ModemCoding> preferred) {
  std::vector<ModemCoding> order = {ModemCoding::kUlaw, ModemCoding::kAlaw, ModemCoding::kUnsigned8,
                                    ModemCoding::kSigned8, ModemCoding::kLinear16};
  if (preferred) order.insert(order.begin(), *preferred);
  for (ModemCoding coding : order) {
    for (const ModemCodec& codec : codecs) {
      if (codec.coding == coding) return codec;
    }
  }
  return std::nullopt;
}

std::vector<int> RatesToTry(const ModemCodec& codec) {
  std::vector<int> others;
  for (int rate : codec.rates) {
    if (rate != 8000) others.push_back(rate);
  }
  if (codec.rates.empty()) others.push_back(7200);
  std::stable_sort(others.begin(), others.end(),
                   [](int a, int b) { return std::abs(a - 8000) < std::abs(b - 8000); });
  others.insert(others.begin(), 8000);
  return others;
}

std::optional<ModemCoding> CodingByName(std::string_view name) {
  const std::string lower = platform::UpperCase(name);
  if (lower == "ULAW") return ModemCoding::kUlaw;
  if (lower == "ALAW") return ModemCoding::kAlaw;
  if (lower == "PCM8") return ModemCoding::kUnsigned8;
  if (lower == "SPCM8") return ModemCoding::kSigned8;
  if (lower == "LINEAR16") return ModemCoding::kLinear16;
  return std::nullopt;
}

const char* CodingName(ModemCoding coding) {
  switch (coding) {
    case ModemCoding::kUlaw:
      return "ulaw";
    case ModemCoding::kAlaw:
      return "alaw";
    case ModemCoding::kUnsigned8:
      return "pcm8";
    case ModemCoding::kSigned8:
      return "spcm8";
    case ModemCoding::kLinear16:
      return "linear16";
  }
  return "?";
}

int BytesPerSample(ModemCoding coding) { return coding == ModemCoding::kLinear16 ? 2 : 1; }

std::vector<ModemLineState> ParseVlsList(const std::vector<std::string>& lines) {
  std::vector<ModemLineState> states;
  for (const std::string& line : lines) {
    const std::vector<std::string> fields = SplitFields(StripPrefix(line, "+VLS:"));
    if (fields.size() < 5) continue;
    int64_t label = 0;
    int64_t tx = 0;
    int64_t rx = 0;
    int64_t idle = 0;
    if (!ParseInt(fields[0], 10, &label) || !ParseInt(fields[2], 16, &tx) ||
        !ParseInt(fields[3], 16, &rx) || !ParseInt(fields[4], 16, &idle)) {
      continue;
    }
    states.push_back({static_cast<int>(label), Unquote(fields[1]), static_cast<uint32_t>(tx),
                      static_cast<uint32_t>(rx), static_cast<uint32_t>(idle)});
  }
  return states;
}

std::set<std::string> ParseClassList(const std::vector<std::string>& lines) {
  std::set<std::string> classes;
  for (const std::string& line : lines) {
    std::string text = StripPrefix(StripPrefix(line, "+FCLASS:"), "#CLS:");
    text.erase(std::remove_if(text.begin(), text.end(),
                              [](char c) { return c == '(' || c == ')' || c == ' '; }),
               text.end());
    for (const std::string& field : SplitFields(text)) {
      const auto dash = field.find('-');
      int64_t low = 0;
      int64_t high = 0;
      if (dash != std::string::npos && ParseInt(field.substr(0, dash), 10, &low) &&
          ParseInt(field.substr(dash + 1), 10, &high) && high - low < 64) {
        for (int64_t c = low; c <= high; ++c) classes.insert(std::to_string(c));
      } else if (!field.empty()) {
        classes.insert(field);
      }
    }
  }
  return classes;
}

std::string Encode(std::span<const int16_t> samples, ModemCoding coding) {
  std::string bytes;
  bytes.reserve(samples.size() * static_cast<size_t>(BytesPerSample(coding)));
  for (int16_t s : samples) {
    switch (coding) {
      case ModemCoding::kUlaw:
        bytes += static_cast<char>(linear_to_ulaw(s));
        break;
      case ModemCoding::kAlaw:
        bytes += static_cast<char>(linear_to_alaw(s));
        break;
      case ModemCoding::kUnsigned8:
        bytes += static_cast<char>((s >> 8) + 128);
        break;
      case ModemCoding::kSigned8:
        bytes += static_cast<char>(s >> 8);
        break;
      case ModemCoding::kLinear16:
        bytes += static_cast<char>(s & 0xFF);
        bytes += static_cast<char>((s >> 8) & 0xFF);
        break;
    }
  }
  return bytes;
}

std::vector<int16_t> Decode(std::string_view bytes, ModemCoding coding) {
  std::vector<int16_t> samples;
  const size_t width = static_cast<size_t>(BytesPerSample(coding));
  for (size_t i = 0; i + width <= bytes.size(); i += width) {
    const auto b = static_cast<uint8_t>(bytes[i]);
    switch (coding) {
      case ModemCoding::kUlaw:
        samples.push_back(ulaw_to_linear(b));
        break;
      case ModemCoding::kAlaw:
        samples.push_back(alaw_to_linear(b));
        break;
      case ModemCoding::kUnsigned8:
        samples.push_back(static_cast<int16_t>((b - 128) * 256));
        break;
      case ModemCoding::kSigned8:
        samples.push_back(static_cast<int16_t>(static_cast<int8_t>(b) * 256));
        break;
      case ModemCoding::kLinear16:
        samples.push_back(static_cast<int16_t>(b | (static_cast<uint8_t>(bytes[i + 1]) << 8)));
        break;
    }
  }
  return samples;
}

std::string Shield(std::string_view bytes) {
  std::string shielded;
  shielded.reserve(bytes.size() + bytes.size() / 64);
  for (char c : bytes) {
    shielded += c;
    if (c == kDle) shielded += kDle;
  }
  return shielded;
}

std::optional<std::string> ModemDialString(std::string_view number) {
  static constexpr std::string_view kSeparators = " -()+.";
  static constexpr std::string_view kDial = "0123456789*#ABCD,W!@PT";
  std::string dial;
  for (char c : number) {
    if (kSeparators.find(c) != std::string_view::npos) continue;
    const char upper = platform::UpperAscii(c);
    if (kDial.find(upper) == std::string_view::npos) return std::nullopt;
    dial += upper;
  }
  if (dial.empty()) return std::nullopt;
  return dial;
}

}  // namespace telvane::linesvc
