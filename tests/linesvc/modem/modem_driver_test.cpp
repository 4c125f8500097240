// The modem line driven through the telephony service against the pseudo-terminal modem
// emulator: start-up probe, call states of every outcome in each dialect, keys, sound,
// stop, hang-up, faults, and the port lock. A pty answers in real time, so these tests run on
// the real clock with short, bounded waits.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "linesvc/modem/modem_protocol.h"
#include "linesvc/service.h"
#include "platform/message_loop.h"
#include "platform/tapi_binding.h"
#include "platform/wave_devices.h"
#include "tests/linesvc/modem_emulator.h"

namespace telvane::linesvc {
namespace {

using Emulator = ModemEmulator;

struct Message {
  DWORD device, message;
  DWORD_PTR p1, p2;
};

class ModemDriverTest : public testing::Test {
 protected:
  ModemDriverTest() {
    lock_dir_ = std::filesystem::temp_directory_path() /
                ("telvane_modem_" + std::to_string(::getpid()) + "_" +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(lock_dir_);
    std::filesystem::create_directories(lock_dir_);
  }
  ~ModemDriverTest() override {
    service_.reset();
    std::filesystem::remove_all(lock_dir_);
  }

  // Starts the emulator and the service with one modem line on it.
  void Start(Emulator::Script script, const std::string& extra = "codec = linear16\n") {
    modem_ = std::make_unique<Emulator>(std::move(script));
    Launch(extra);
  }

  // Starts the service with one modem line on the emulator there is.
  void Launch(const std::string& extra = "codec = linear16\n") {
    ASSERT_FALSE(modem_->Path().empty());
    lines_ = "[line Modem]\ndriver = modem\ndevice = " + modem_->Path() +
             "\nlockdir = " + lock_dir_.string() + "\ntimeout = 300\nwave = 4100\n" + extra;
    service_ = std::make_unique<Service>([this] { return ParseLinesFile(lines_, "test"); });
    ASSERT_EQ(service_->Initialize(&app_, platform::LineAppInstance(loop_), Callback, "modem test",
                                   &devices_),
              0);
  }

  static void Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2,
                       DWORD_PTR) {
    reinterpret_cast<ModemDriverTest*>(instance)->received_.push_back({device, message, p1, p2});
  }

  HLINE Open() {
    HLINE line = 0;
    EXPECT_EQ(service_->Open(app_, 0, &line, kTapiVersion14, 0, reinterpret_cast<DWORD_PTR>(this),
                             LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_AUTOMATEDVOICE, nullptr),
              0);
    return line;
  }

  HCALL Dial(HLINE line, const char* number = "555-1234") {
    LINECALLPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwMediaMode = LINEMEDIAMODE_AUTOMATEDVOICE;
    HCALL call = 0;
    EXPECT_GT(service_->MakeCall(line, &call, number, 0, &params), 0);
    return call;
  }

  // Runs the loop until the predicate holds or limit_ms of real time have passed.
  bool RunUntil(const std::function<bool()>& done, int64_t limit_ms = 3000) {
    return loop_.RunUntil(done, loop_.DeadlineAfter(limit_ms)) == platform::WaitResult::kReached;
  }

  std::vector<DWORD> States() const {
    std::vector<DWORD> states;
    for (const Message& m : received_) {
      if (m.message == LINE_CALLSTATE) states.push_back(static_cast<DWORD>(m.p1));
    }
    return states;
  }
  bool HasState(DWORD state) const {
    const std::vector<DWORD> states = States();
    return std::find(states.begin(), states.end(), state) != states.end();
  }
  DWORD ModeOf(DWORD state) const {
    for (const Message& m : received_) {
      if (m.message == LINE_CALLSTATE && m.p1 == state) return static_cast<DWORD>(m.p2);
    }
    return 0;
  }
  std::vector<char> Digits() const {
    std::vector<char> digits;
    for (const Message& m : received_) {
      if (m.message == LINE_MONITORDIGITS && m.p2 == LINEDIGITMODE_DTMF) {
        digits.push_back(static_cast<char>(m.p1));
      }
    }
    return digits;
  }
  bool SawCommand(const std::string& prefix) const {
    for (const std::string& c : modem_->Commands()) {
      if (c.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }

  // Hangs up and checks the call goes idle with the modem on hook.
  void DropAndExpectIdle(HCALL call) {
    ASSERT_GT(service_->Drop(call, nullptr, 0), 0);
    EXPECT_TRUE(RunUntil([&] { return HasState(LINECALLSTATE_IDLE); }));
    EXPECT_EQ(service_->DeallocateCall(call), 0);
  }

  static std::vector<int16_t> Tone(size_t count) {
    std::vector<int16_t> samples(count);
    for (size_t i = 0; i < count; ++i) {
      // Includes 0x10 bytes often, so the shielding is exercised.
      samples[i] = static_cast<int16_t>(8000 * std::sin(static_cast<double>(i) * 0.3) + 16);
    }
    return samples;
  }

  platform::MessageLoop loop_{platform::ClockMode::kReal};
  std::filesystem::path lock_dir_;
  std::unique_ptr<Emulator> modem_;
  std::string lines_;
  std::unique_ptr<Service> service_;
  HLINEAPP app_ = 0;
  DWORD devices_ = 0;
  std::vector<Message> received_;
};

Emulator::Script Script(const std::function<void(Emulator::Script&)>& set) {
  Emulator::Script script;
  set(script);
  return script;
}

DWORD MediaOf(Service& service, HLINEAPP app) {
  std::vector<char> buffer(4096);
  auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
  caps->dwTotalSize = static_cast<DWORD>(buffer.size());
  EXPECT_EQ(service.GetDevCaps(app, 0, kTapiVersion14, 0, caps), 0);
  return caps->dwMediaModes;
}

// The probe asks the modem for its classes and codecs: a voice modem is a voice line, a
// data-only modem is offered for data only.
TEST_F(ModemDriverTest, ProbeOffersVoiceOnlyWhenTheModemHasIt) {
  Start({});
  ASSERT_EQ(devices_, 1u);
  EXPECT_TRUE(MediaOf(*service_, app_) & LINEMEDIAMODE_AUTOMATEDVOICE);
  EXPECT_TRUE(SawCommand("ATI"));
  EXPECT_TRUE(SawCommand("AT+VSM=?"));
  EXPECT_TRUE(SawCommand("AT+VLS=?"));
  service_.reset();

  Start(Script([&](Emulator::Script& s) { s.voice = false; }));
  ASSERT_EQ(devices_, 1u);
  EXPECT_EQ(MediaOf(*service_, app_), static_cast<DWORD>(LINEMEDIAMODE_DATAMODEM));
  EXPECT_TRUE(service_->Events().Contains("Modem", "offered for data only: no voice class"));
}

// Each dialect: the call is set up, answered, a key pressed during the sound reaches the
// application once, the sound reaches the line intact and is reported played only once it
// has been heard, and the hang-up puts the modem on hook and back in data mode.
TEST_F(ModemDriverTest, AnsweredCallCarriesSoundAndKeysInEveryDialect) {
  for (Emulator::Dialect dialect : {Emulator::Dialect::kV253, Emulator::Dialect::kIs101,
                                    Emulator::Dialect::kHash, Emulator::Dialect::kLucent}) {
    SCOPED_TRACE(static_cast<int>(dialect));
    received_.clear();
    const bool hash = dialect == Emulator::Dialect::kHash;
    Start(Script([&](Emulator::Script& s) {
            s.dialect = dialect;
            s.answer_ms = 50;
            s.keys = {{100, '7'}};
          }),
          hash ? "" : "codec = linear16\n");
    const HLINE line = Open();
    const HCALL call = Dial(line);
    ASSERT_TRUE(RunUntil([&] { return HasState(LINECALLSTATE_CONNECTED); }));
    EXPECT_TRUE(HasState(LINECALLSTATE_DIALING));
    EXPECT_TRUE(SawCommand("ATDT5551234"));
    ASSERT_EQ(service_->MonitorDigits(call, LINEDIGITMODE_DTMF), 0);

    std::unique_ptr<platform::WaveSink> sink = platform::OpenWaveOutDevice(4100);
    ASSERT_TRUE(sink);
    const std::vector<int16_t> sound = Tone(2400);  // 300 ms
    const int64_t start = loop_.NowMs();
    int64_t played_at = -1;
    sink->Write(sound, [&] { played_at = loop_.NowMs(); });
    ASSERT_TRUE(RunUntil([&] { return played_at >= 0 && !Digits().empty(); }));
    EXPECT_GE(played_at - start, 280) << "reported before it was heard";
    EXPECT_EQ(Digits(), std::vector<char>{'7'});
    DropAndExpectIdle(call);
    EXPECT_FALSE(modem_->OffHook());
    EXPECT_TRUE(SawCommand("ATH0"));
    const std::vector<int16_t> heard = modem_->Recording();
    EXPECT_EQ(heard, hash ? Decode(Encode(sound, ModemCoding::kUnsigned8), ModemCoding::kUnsigned8)
                          : sound);
    ASSERT_EQ(service_->Close(line), 0);
    service_.reset();
  }
}

// A Rockwell "#" modem that lists only its fax classes under +FCLASS=? is a voice modem all
// the same, and one that plays 7200 samples a second only gets its sound at that rate: a
// second of sound is a second there, to its last milliseconds, not 11% more.
TEST_F(ModemDriverTest, RockwellHashModemGetsSoundAtItsOwnRate) {
  Start(Script([&](Emulator::Script& s) {
          s.dialect = Emulator::Dialect::kRockwell;
          s.answer_ms = 30;
        }),
        "");
  ASSERT_EQ(devices_, 1u);
  ASSERT_TRUE(MediaOf(*service_, app_) & LINEMEDIAMODE_AUTOMATEDVOICE);
  const HCALL call = Dial(Open());
  ASSERT_TRUE(RunUntil([&] { return HasState(LINECALLSTATE_CONNECTED); }));
  std::unique_ptr<platform::WaveSink> sink = platform::OpenWaveOutDevice(4100);
  bool played = false;
  sink->Write(Tone(8000), [&] { played = true; });
  ASSERT_TRUE(RunUntil([&] { return played; }));
  EXPECT_EQ(modem_->RateHz(), 7200);
  DropAndExpectIdle(call);
  EXPECT_NEAR(static_cast<double>(modem_->Recording().size()), 7200.0, 2.0);
}

// IS-101 refuses the short +VSM form and +IFC: the driver falls back and carries on; the
// codec is chosen by name although its number differs from V.253's.
TEST_F(ModemDriverTest, Is101FallbacksAndCodecByName) {
  Start(Script([&](Emulator::Script& s) { s.dialect = Emulator::Dialect::kIs101; }),
        "codec = ulaw\n");
  const HCALL call = Dial(Open());
  ASSERT_TRUE(RunUntil([&] { return HasState(LINECALLSTATE_CONNECTED); }));
  EXPECT_TRUE(SawCommand("AT+VSM=132,8000,0,0"));
  DropAndExpectIdle(call);
}

// Busy, no dial tone, no answer and an ERROR to the dial end the call with TAPI's state and
// disconnect mode.
TEST_F(ModemDriverTest, DialOutcomesMapToStatesAndModes) {
  struct Case {
    Emulator::Outcome outcome;
    DWORD state, mode;
  };
  for (const Case& c :
       {Case{Emulator::Outcome::kBusy, LINECALLSTATE_BUSY, 0x1},
        Case{Emulator::Outcome::kNoDialTone, LINECALLSTATE_DISCONNECTED,
             LINEDISCONNECTMODE_NODIALTONE},
        Case{Emulator::Outcome::kNoAnswer, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NOANSWER},
        Case{Emulator::Outcome::kError, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL}}) {
    SCOPED_TRACE(static_cast<int>(c.outcome));
    received_.clear();
    Start(Script([&](Emulator::Script& s) {
      s.outcome = c.outcome;
      s.answer_ms = 30;
    }));
    const HCALL call = Dial(Open());
    ASSERT_TRUE(RunUntil([&] { return HasState(c.state); }));
    EXPECT_EQ(ModeOf(c.state), c.mode);
    EXPECT_FALSE(HasState(LINECALLSTATE_CONNECTED));
    DropAndExpectIdle(call);
    service_.reset();
  }
}

// The remote side hangs up (loss of loop current on V.253, busy tone on IS-101) after some
// sound: the call is disconnected normally.
TEST_F(ModemDriverTest, RemoteHangUpDisconnectsNormally) {
  for (Emulator::Dialect dialect : {Emulator::Dialect::kV253, Emulator::Dialect::kIs101}) {
    received_.clear();
    Start(Script([&](Emulator::Script& s) {
      s.dialect = dialect;
      s.answer_ms = 30;
      s.hangup_ms = 100;
    }));
    const HCALL call = Dial(Open());
    ASSERT_TRUE(RunUntil([&] { return HasState(LINECALLSTATE_CONNECTED); }));
    std::unique_ptr<platform::WaveSink> sink = platform::OpenWaveOutDevice(4100);
    sink->Write(Tone(1600), nullptr);
    ASSERT_TRUE(RunUntil([&] { return HasState(LINECALLSTATE_DISCONNECTED); }));
    EXPECT_EQ(ModeOf(LINECALLSTATE_DISCONNECTED), LINEDISCONNECTMODE_NORMAL);
    DropAndExpectIdle(call);
    sink.reset();
    service_.reset();
  }
}

// Stopping the sound aborts it at once with the shielded abort: the rest is never heard and
// the write is reported at once.
TEST_F(ModemDriverTest, StopAbortsTheSoundAtOnce) {
  Start(Script([&](Emulator::Script& s) { s.answer_ms = 30; }));
  const HCALL call = Dial(Open());
  ASSERT_TRUE(RunUntil([&] { return HasState(LINECALLSTATE_CONNECTED); }));
  std::unique_ptr<platform::WaveSink> sink = platform::OpenWaveOutDevice(4100);
  bool played = false;
  sink->Write(Tone(16000), [&] { played = true; });  // 2 s
  const int64_t start = loop_.NowMs();
  loop_.RunFor(300);
  sink->Reset();
  ASSERT_TRUE(RunUntil([&] { return played && modem_->Aborts() == 1; }));
  EXPECT_LT(loop_.NowMs() - start, 1000);
  loop_.RunFor(100);
  EXPECT_LT(modem_->Recording().size(), 8000u);
  // Sound after a stop starts a new transmission.
  bool again = false;
  sink->Write(Tone(800), [&] { again = true; });
  ASSERT_TRUE(RunUntil([&] { return again; }));
  DropAndExpectIdle(call);
}

// A modem that stops answering, and one whose port disappears, fail the call cleanly; the
// hang-up still completes.
TEST_F(ModemDriverTest, SilentOrVanishingModemFailsTheCall) {
  for (const char* at : {"ATE0V1Q0X4", "ATD"}) {
    SCOPED_TRACE(at);
    for (bool vanish : {false, true}) {
      received_.clear();
      Emulator::Script script;
      (vanish ? script.vanish_at : script.mute_at) = at;
      Start(script, "codec = linear16\ndialtimeout = 1\n");
      // The probe knew nothing of the fault to come; the call meets it.
      const HCALL call = Dial(Open());
      ASSERT_TRUE(RunUntil([&] { return HasState(LINECALLSTATE_DISCONNECTED); }));
      EXPECT_EQ(ModeOf(LINECALLSTATE_DISCONNECTED), vanish || std::string(at) != "ATD"
                                                        ? LINEDISCONNECTMODE_UNAVAIL
                                                        : LINEDISCONNECTMODE_NOANSWER);
      DropAndExpectIdle(call);
      service_.reset();
    }
  }
}

// A modem that does not answer the command to start the sound cannot carry it: the call
// ends as unavailable rather than play into nothing, and the hang-up still completes.
TEST_F(ModemDriverTest, ModemThatTakesNoSoundEndsTheCall) {
  Start(Script([&](Emulator::Script& s) {
    s.answer_ms = 30;
    s.mute_at = "AT+VTX";
  }));
  const HCALL call = Dial(Open());
  ASSERT_TRUE(RunUntil([&] { return HasState(LINECALLSTATE_CONNECTED); }));
  std::unique_ptr<platform::WaveSink> sink = platform::OpenWaveOutDevice(4100);
  sink->Write(Tone(8000), nullptr);
  ASSERT_TRUE(RunUntil([&] { return HasState(LINECALLSTATE_DISCONNECTED); }));
  EXPECT_EQ(ModeOf(LINECALLSTATE_DISCONNECTED), LINEDISCONNECTMODE_UNAVAIL);
  DropAndExpectIdle(call);
}

// Hanging up while the modem still dials aborts the dial and ends within a few seconds, also
// when the modem never answers the dial command.
TEST_F(ModemDriverTest, DropWhileDialingEndsSoon) {
  Start(Script([&](Emulator::Script& s) { s.mute_at = "ATD"; }));
  const HCALL call = Dial(Open());
  ASSERT_TRUE(RunUntil([&] { return SawCommand("ATD"); }));
  const int64_t start = loop_.NowMs();
  ASSERT_GT(service_->Drop(call, nullptr, 0), 0);
  ASSERT_TRUE(RunUntil([&] { return HasState(LINECALLSTATE_IDLE); }, 5000));
  EXPECT_LT(loop_.NowMs() - start, 2000);
  EXPECT_TRUE(SawCommand("ATH0"));
}

// Anything but dial characters is refused before the modem: no command can be injected.
TEST_F(ModemDriverTest, NumbersWithCommandTextAreRefused) {
  Start({});
  const HLINE line = Open();
  const size_t probed = modem_->Commands().size();
  LINECALLPARAMS params{};
  params.dwTotalSize = sizeof params;
  params.dwMediaMode = LINEMEDIAMODE_AUTOMATEDVOICE;
  for (const char* bad : {"555;H0", "555\rATZ", "5$55", "555&F", ""}) {
    HCALL call = 0;
    EXPECT_EQ(service_->MakeCall(line, &call, bad, 0, &params), LINEERR_INVALADDRESS) << bad;
  }
  loop_.RunFor(50);
  EXPECT_EQ(modem_->Commands().size(), probed) << "nothing reached the modem";
}

// A port locked by a live process makes the line unavailable with the reason once the line's
// lock wait has passed; a stale lock of a dead process is taken over.
TEST_F(ModemDriverTest, PortLockHeldOrStale) {
  modem_ = std::make_unique<Emulator>(Emulator::Script{});
  const std::string lock =
      (lock_dir_ / ("LCK.." + std::filesystem::path(modem_->Path()).filename().string())).string();
  std::ofstream(lock) << "         1\n";  // init: always alive
  Launch("codec = linear16\nlockwait = 1\n");
  EXPECT_EQ(devices_, 0u);
  EXPECT_TRUE(service_->Events().Contains("Modem", "waiting up to 1 s for it"));
  EXPECT_TRUE(service_->Events().Contains("service", "still locked after waiting 1 s"));
  EXPECT_TRUE(service_->Events().Contains("service", "in use by process 1"));
  service_.reset();

  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  std::ofstream(lock) << std::string(10 - std::to_string(child).size(), ' ') << child << "\n";
  Launch();
  EXPECT_EQ(devices_, 1u);
  const HLINE line = Open();
  EXPECT_NE(line, 0u);
  // While the line is open the port is ours; a second holder is refused.
  std::ifstream held(lock);
  int owner = 0;
  held >> owner;
  EXPECT_EQ(owner, ::getpid());
  service_->Close(line);
  EXPECT_FALSE(std::filesystem::exists(lock));
}

}  // namespace
}  // namespace telvane::linesvc
