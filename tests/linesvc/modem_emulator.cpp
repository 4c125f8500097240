// The pseudo-terminal voice modem: a thread that answers commands and plays out sound.
#include "tests/linesvc/modem_emulator.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "linesvc/modem/modem_protocol.h"
#include "platform/pcm_wave.h"

namespace telvane::linesvc {

namespace {

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

bool Starts(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

// The codec lists, with vendor numbers that differ between the dialects as they do between
// real chipsets, so only a driver that chooses by name gets them right.
const char* const kV253Codecs[] = {
    R"(0,"SIGNED PCM",8,0,(7200,8000,11025),(0),(0))",
    R"(1,"UNSIGNED PCM",8,0,(7200,8000,11025),(0),(0))",
    R"(4,"ULAW",8,0,(8000),(0),(0))",
    R"(5,"ALAW",8,0,(8000),(0),(0))",
    R"(129,"IMA ADPCM",4,0,(8000),(0),(0))",
    R"(133,"16-BIT LINEAR",16,0,(8000),(0),(0))",
};
const char* const kIs101Codecs[] = {
    R"(+VSM: 128,"8-BIT LINEAR",8,0,8000,0,0)",
    R"(+VSM: 130,"16-BIT LINEAR",16,0,8000,0,0)",
    R"(+VSM: 131,"ALAW",8,0,8000,0,0)",
    R"(+VSM: 132,"ULAW",8,0,8000,0,0)",
};
// Lucent/Agere: three fields, the width only in the name; 130/131 are A-law and mu-law,
// the opposite of Conexant's numbers.
const char* const kLucentCodecs[] = {
    R"(128,"8-BIT LINEAR",(7200,8000,11025))",
    R"(129,"16-BIT LINEAR",(7200,8000,11025))",
    R"(130,"8-BIT ALAW",(8000))",
    R"(131,"8-BIT ULAW",(8000))",
    R"(132,"IMA ADPCM",(7200,8000,11025))",
};

std::vector<std::string> CodecLines(ModemEmulator::Dialect dialect) {
  using Dialect = ModemEmulator::Dialect;
  if (dialect == Dialect::kIs101) return {std::begin(kIs101Codecs), std::end(kIs101Codecs)};
  if (dialect == Dialect::kLucent) return {std::begin(kLucentCodecs), std::end(kLucentCodecs)};
  return {std::begin(kV253Codecs), std::end(kV253Codecs)};
}

}  // namespace

ModemEmulator::ModemEmulator(Script script) : script_(std::move(script)) {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
  char name[128];
  if (::ptsname_r(master_, name, sizeof name) != 0) return;
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) return;
  termios tio{};
  ::tcgetattr(slave_, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(slave_, TCSANOW, &tio);
  path_ = name;
  thread_ = std::thread(&ModemEmulator::Run, this);
}

ModemEmulator::~ModemEmulator() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
}

std::vector<std::string> ModemEmulator::Commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

std::vector<int16_t> ModemEmulator::Recording() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return recording_;
}

bool ModemEmulator::WriteRecording(const std::string& path) const {
  return platform::WritePcmWave(path, static_cast<uint32_t>(rate_), Recording());
}

void ModemEmulator::Run() {
  while (!stop_) {
    pollfd p{master_, POLLIN, 0};
    ::poll(&p, 1, 5);
    if (master_ < 0) return;
    if (p.revents & POLLIN) {
      char buffer[4096];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n > 0) OnBytes(buffer, static_cast<size_t>(n));
    }
    if (master_ < 0) return;  // the port vanished
    Tick(NowUs());
  }
}

void ModemEmulator::OnBytes(const char* data, size_t size) {
  for (size_t i = 0; i < size && master_ >= 0; ++i) {
    const char c = data[i];
    if (transmit_) {
      OnTransmitByte(c);
      continue;
    }
    if (c == '\r') {
      const std::string command = line_;
      line_.clear();
      if (!command.empty()) OnCommand(command);
    } else if (c != '\n') {
      line_ += c;
      if (dial_due_us_ >= 0 && !connected_) {
        // A character while dialling stops the dialling.
        dial_due_us_ = -1;
        line_.clear();
        if (!muted_) Result("NO CARRIER");
      }
    }
  }
}

void ModemEmulator::OnCommand(const std::string& command) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back(command);
  }
  const std::string upper = Upper(command);
  if (!script_.mute_at.empty() && Starts(upper, Upper(script_.mute_at))) muted_ = true;
  if (!script_.vanish_at.empty() && Starts(upper, Upper(script_.vanish_at))) {
    ::close(master_);
    ::close(slave_);
    master_ = slave_ = -1;
    return;
  }
  if (!script_.ignore.empty() && Starts(upper, Upper(script_.ignore))) return;
  const std::string answer = Answer(upper);
  if (!muted_ && !answer.empty()) Result(answer);
}

// The answer to a command line, or "" when the answer comes later.
std::string ModemEmulator::Answer(const std::string& command) {
  if (!Starts(command, "AT")) return "ERROR";
  const std::string body = command.substr(2);
  if (body.empty() || body == "Z" || Starts(body, "E0")) {
    if (body == "Z") {
      voice_class_ = false;
      off_hook_ = false;
      connected_ = false;
      rate_ = 8000;
    }
    return "OK";
  }
  if (body == "I" || body == "I0" || body == "I3") {
    // Lucent refuses plain ATI; its model string is followed by a blank line.
    if (script_.dialect == Dialect::kLucent) {
      if (body == "I") return "ERROR";
      Emit("\r\nZoom FaxModem 56Kx (Agere)\r\n\r\n");
      return "OK";
    }
    Emit("\r\nTelvane modem emulator\r\n");
    return "OK";
  }
  if (body == "H0" || body == "H") {
    off_hook_ = false;
    connected_ = false;
    return "OK";
  }
  if (Starts(body, "D")) {
    off_hook_ = true;
    dial_due_us_ = NowUs() + script_.answer_ms * 1000LL;
    if (script_.outcome == Outcome::kAnswer || script_.outcome == Outcome::kNoAnswer) {
      Event('r');  // ringback heard
    }
    return "";
  }
  const bool hash = script_.dialect == Dialect::kHash || script_.dialect == Dialect::kRockwell;
  return hash ? HashAnswer(body) : VoiceAnswer(body);
}

std::string ModemEmulator::VoiceUp() const {
  return script_.dialect == Dialect::kV253 || script_.dialect == Dialect::kLucent ? "OK" : "VCON";
}

// The "#" command set.
std::string ModemEmulator::HashAnswer(const std::string& body) {
  const bool rockwell = script_.dialect == Dialect::kRockwell;
  if (body == "#CLS=?") {
    if (!script_.voice) {
      Emit("\r\n0,1,2\r\n");
    } else {
      Emit(rockwell ? "\r\n0, 1, 2, 8\r\n" : "\r\n0,1,2,8\r\n");
    }
    return "OK";
  }
  if (body == "#CLS=8") {
    voice_class_ = script_.voice;
    coding_ = static_cast<int>(ModemCoding::kUnsigned8);
    return script_.voice ? "OK" : "ERROR";
  }
  if (body == "#VTX") {
    if (!connected_) return "ERROR";
    transmit_ = true;
    return rockwell ? "CONNECT" : "OK";  // old "#" manuals answer OK
  }
  if (Starts(body, "#VSR=")) {
    // Older Rockwell chips take 7200 samples per second only.
    const int rate = std::atoi(body.c_str() + 5);
    if (!voice_class_ || rate != (rockwell ? 7200 : 8000)) return "ERROR";
    rate_ = rate;
    return "OK";
  }
  if (Starts(body, "#")) return voice_class_ ? "OK" : "ERROR";
  // A Rockwell "#" modem also knows +FCLASS, but lists its fax classes only.
  if (rockwell && body == "+FCLASS=?") {
    Emit("\r\n0,1,2\r\n");
    return "OK";
  }
  return Starts(body, "+") ? "ERROR" : "OK";  // X4&D2 and the like
}

// V.253, IS-101 and Lucent: the +V commands.
std::string ModemEmulator::VoiceAnswer(const std::string& body) {
  const bool is101 = script_.dialect == Dialect::kIs101;
  if (body == "+FCLASS=?") {
    Emit(script_.voice ? "\r\n0,1,8\r\n" : "\r\n0,1,2\r\n");
    return "OK";
  }
  if (body == "+FCLASS=8") {
    voice_class_ = script_.voice;
    return script_.voice ? "OK" : "ERROR";
  }
  if (body == "+FCLASS=0") {
    voice_class_ = false;
    return "OK";
  }
  if (Starts(body, "+V") && !voice_class_) return "ERROR";  // only in voice mode
  if (body == "+VSM=?") {
    for (const std::string& codec : CodecLines(script_.dialect)) Emit("\r\n" + codec + "\r\n");
    return "OK";
  }
  if (Starts(body, "+VSM=")) {
    const std::string args = body.substr(5);
    if (is101 && args.find(",0,0") == std::string::npos) return "ERROR";
    return SelectCodec(args);
  }
  if (body == "+VLS=?") {
    if (script_.dialect == Dialect::kLucent) {
      Emit(
          "\r\n0, \"\", 000000000, 000000000, 000000000\r\n"
          "1, \"T\", 00A3C0000, 00A3C0000, 00A3C0000\r\n");
    } else {
      Emit("\r\n0,\"\",00000000,00000000,00000000\r\n1,\"T\",0A3C0000,0A3C0000,0A3C0000\r\n");
    }
    return "OK";
  }
  if (body == "+VTX") {
    if (!connected_) return "ERROR";
    transmit_ = true;
    return "CONNECT";
  }
  if (Starts(body, "+IFC") && is101) return "ERROR";
  return "OK";  // +VLS=, +VRA=, +VRN=, +VIT=, +IFC=, X4&D2...
}

// "+VSM=cml,rate[,...]": the codec by its number, at one of the rates it lists.
std::string ModemEmulator::SelectCodec(const std::string& args) {
  const int cml = std::atoi(args.c_str());
  const auto comma = args.find(',');
  const int rate = comma == std::string::npos ? 8000 : std::atoi(args.c_str() + comma + 1);
  for (const ModemCodec& codec : ParseVsmList(CodecLines(script_.dialect))) {
    if (codec.cml != cml || !codec.coding) continue;
    if (!codec.rates.empty() &&
        std::find(codec.rates.begin(), codec.rates.end(), rate) == codec.rates.end()) {
      return "ERROR";
    }
    coding_ = static_cast<int>(*codec.coding);
    rate_ = rate;
    return "OK";
  }
  return "ERROR";
}

void ModemEmulator::OnTransmitByte(char c) {
  const auto coding = static_cast<ModemCoding>(coding_);
  auto sample_byte = [this, coding](char b) {
    partial_ += b;
    if (static_cast<int>(partial_.size()) < BytesPerSample(coding)) return;
    const std::vector<int16_t> samples = Decode(partial_, coding);
    partial_.clear();
    if (buffer_.empty() && play_clock_us_ < 0) {
      play_clock_us_ = NowUs();
      played_ = 0;
    }
    buffer_.insert(buffer_.end(), samples.begin(), samples.end());
  };
  if (!after_dle_) {
    if (c == kDle) {
      after_dle_ = true;
    } else {
      sample_byte(c);
    }
    return;
  }
  after_dle_ = false;
  if (c == kDle) {
    sample_byte(c);
  } else if (c == kCan) {
    buffer_.clear();
    partial_.clear();
    ++aborts_;
  } else if (c == kEtx) {
    // The modem plays out what it holds, then answers.
    PlayOut(NowUs(), true);
    partial_.clear();
    transmit_ = false;
    play_clock_us_ = -1;
    if (!muted_) Result(VoiceUp());
  }
}

void ModemEmulator::PlayOut(int64_t now_us, bool all) {
  if (buffer_.empty()) {
    play_clock_us_ = transmit_ ? now_us : -1;  // silence is not recorded
    played_ = 0;
    return;
  }
  size_t n = buffer_.size();
  if (!all) {
    const int64_t due = (now_us - play_clock_us_) * rate_ / 1000000 - played_;
    n = std::min<size_t>(n, static_cast<size_t>(std::max<int64_t>(0, due)));
  }
  if (n == 0) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    recording_.insert(recording_.end(), buffer_.begin(), buffer_.begin() + static_cast<long>(n));
  }
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(n));
  played_ += static_cast<int64_t>(n);
  if (connected_) heard_ += n;
}

void ModemEmulator::Emit(const std::string& bytes) {
  if (master_ < 0) return;
  [[maybe_unused]] const ssize_t ignored = ::write(master_, bytes.data(), bytes.size());
}

void ModemEmulator::Event(char event) { Emit(std::string(1, kDle) + event); }

void ModemEmulator::SendKey(char key) {
  if (script_.dialect == Dialect::kV253) {
    // Start marker, the digit repeated while the key is held, end marker.
    Emit(std::string{kDle, '/', kDle, key, kDle, key, kDle, key, kDle, '~'});
  } else {
    Event(key);
  }
}

void ModemEmulator::Tick(int64_t now_us) {
  if (transmit_ && play_clock_us_ >= 0) PlayOut(now_us, false);
  if (dial_due_us_ >= 0 && now_us >= dial_due_us_) {
    dial_due_us_ = -1;
    if (muted_) return;
    switch (script_.outcome) {
      case Outcome::kAnswer:
        connected_ = true;
        heard_ = 0;
        next_key_ = 0;
        hung_up_ = false;
        Result(VoiceUp());
        break;
      case Outcome::kBusy:
        Result("BUSY");
        break;
      case Outcome::kNoDialTone:
        Result("NO DIALTONE");
        break;
      case Outcome::kNoAnswer:
        Result("NO ANSWER");
        break;
      case Outcome::kError:
        Result("ERROR");
        break;
      case Outcome::kSilent:
        break;
    }
  }
  if (!connected_ || muted_ || hung_up_) return;
  const auto samples_in = [this](int ms) { return static_cast<size_t>(ms) * rate_ / 1000; };
  while (next_key_ < script_.keys.size() && heard_ >= samples_in(script_.keys[next_key_].first)) {
    SendKey(script_.keys[next_key_++].second);
  }
  if (script_.hangup_ms && heard_ >= samples_in(*script_.hangup_ms)) {
    hung_up_ = true;
    // Loop current drops on a V.253 line; the others hear the exchange's busy tone.
    Event(script_.dialect == Dialect::kV253 ? 'l' : 'b');
  }
}

}  // namespace telvane::linesvc
