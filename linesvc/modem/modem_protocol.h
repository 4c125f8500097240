// What a voice modem says and how to speak to it, with no port and no clock: result lines and
// DLE events split out of the byte stream, DTMF digits counted once whatever the modem's style,
// the codec lists of +VSM=? and +VLS=?, audio coded in the modem's codec and DLE-shielded, and
// dial strings cleaned of the separators people type.
//
//   ModemReader reader;
//   for (const ModemReader::Item& item : reader.Feed(bytes)) { ... item.line / item.event ... }
//
// The modem driver and the modem emulator of the tests both use these pieces, each from its
// own side of the line. Nothing here is thread-safe; each user keeps its own objects.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace telvane::linesvc {

inline constexpr char kDle = 0x10;
inline constexpr char kEtx = 0x03;
inline constexpr char kCan = 0x18;

// Splits what a modem sends in command state (and its events during transmit) into result
// lines and DLE events. Events may come anywhere, also in the middle of a result line.
class ModemReader {
 public:
  struct Item {
    std::string line;  // a non-empty line without CR/LF, or empty for an event
    char event = 0;    // the character after DLE, or 0 for a line
  };
  std::vector<Item> Feed(std::string_view bytes);

 private:
  std::string line_;
  bool after_dle_ = false;
};

// Counts DTMF digits once from DLE events: one code per key press on older modems, or a start
// marker '/', the digit repeated while the key is held and an end marker '~' (or DEL).
class DigitTracker {
 public:
  // The digit pressed, when this event completes one.
  std::optional<char> OnEvent(char event);

 private:
  bool in_tone_ = false;
  char pending_ = 0;
};

bool IsDtmfEvent(char event);

// What a line of the modem means as the end of a command.
enum class ModemResult {
  kOk,
  kConnect,
  kVcon,  // VCON, #VCON, VOICE: the voice call is up (IS-101, "#" set)
  kError,
  kBusy,
  kNoDialTone,
  kNoAnswer,
  kNoCarrier,
  kRinging,  // an intermediate line, not an end
  kOther,    // information (ATI, lists) or an echo
};
ModemResult ClassifyLine(std::string_view line);
// Whether the line ends a command.
bool IsFinal(ModemResult result);

// The sample codings the driver can send.
enum class ModemCoding { kUlaw, kAlaw, kUnsigned8, kSigned8, kLinear16 };

struct ModemCodec {
  int cml = 0;  // the modem's number for it, which differs between vendors
  std::string name;
  int bits = 0;
  std::optional<ModemCoding> coding;  // none: a coding the driver does not speak (ADPCM...)
  std::vector<int> rates;             // the sample rates listed for it; empty when none are
};

// The codecs of a +VSM=? answer, one per line, with or without a "+VSM: " prefix and with
// or without parentheses: V.253's "cml,name,bits,tm,(rates),(sds),(sel)", and the three
// fields "cml,name,(rates)" of Lucent/Agere chips, whose width is read from the name ("8-BIT
// LINEAR", "8-BIT ULAW"). Lines that are not codec entries are skipped.
std::vector<ModemCodec> ParseVsmList(const std::vector<std::string>& lines);

// The sample rates to ask a modem for, in order: the line's 8000 Hz first, then the others
// the codec lists, nearest first (7200 Hz when it lists none, the rate older chips take).
std::vector<int> RatesToTry(const ModemCodec& codec);

// The codec to use: the preferred coding when the modem has it, otherwise mu-law, A-law,
// 8-bit unsigned, 8-bit signed, 16-bit linear in that order. Chosen by name and width, never
// by number.
std::optional<ModemCodec> ChooseCodec(const std::vector<ModemCodec>& codecs,
                                      std::optional<ModemCoding> preferred);

// "ulaw", "alaw", "pcm8" (unsigned), "spcm8" (signed), "linear16"; nullopt for other names.
std::optional<ModemCoding> CodingByName(std::string_view name);
const char* CodingName(ModemCoding coding);
int BytesPerSample(ModemCoding coding);

// One +VLS=? entry: the line state, and the events it reports (bit n from the most
// significant bit of the 32-bit masks is event n of V.253's list).
struct ModemLineState {
  int label = 0;
  std::string primitives;
  uint32_t tx_events = 0;
  uint32_t rx_events = 0;
  uint32_t idle_events = 0;
};
std::vector<ModemLineState> ParseVlsList(const std::vector<std::string>& lines);

// The classes of a +FCLASS=? (or #CLS=?) answer: "0,1,2.0,8" or "(0-2,8)".
std::set<std::string> ParseClassList(const std::vector<std::string>& lines);

// Line samples in the modem's coding; Decode is the reverse (a trailing odd byte of 16-bit
// sound is left out).
std::string Encode(std::span<const int16_t> samples, ModemCoding coding);
std::vector<int16_t> Decode(std::string_view bytes, ModemCoding coding);

// Every DLE byte doubled, so sound can never be taken for a command.
std::string Shield(std::string_view bytes);

// The number as the modem dials it: the separators people type (blanks, '-', '(', ')', '+',
// '.') left out, letters in upper case. Returns nullopt when anything else than a dial
// character remains (digits, '*', '#', A-D, ',', 'W', '!', '@', 'P', 'T'), so no command
// text can ever reach the modem through a number.
std::optional<std::string> ModemDialString(std::string_view number);

}  // namespace telvane::linesvc
