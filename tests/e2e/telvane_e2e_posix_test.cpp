// The built program's end-to-end cases that need Linux: settings in the user's folder, the
// loader's report of the libraries it loads, speech, and the monitoring integrations' scripts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/speech.h"
#include "tests/e2e/telvane_e2e.h"

namespace telvane::e2e {
namespace {

using ::testing::ElementsAre;

// A message or greeting the player would refuse stops the run before anyone is called, with
// one line that names the file and says what is wrong with it; an odd file the player takes
// (a data chunk claiming more than the file holds) is not refused.
TEST_F(TelvaneE2eTest, UnplayableFilesStopTheRunBeforeTheFirstDial) {
  using namespace testing_wave;
  WriteLines(VoiceLine("answer after=1000; keys=heard+1000:5"));
  const std::string fmt = Chunk("fmt ", PcmFormat(1, 8000, 16));
  const std::string long_dir(200, 'd');
  std::filesystem::create_directories(dir_ / long_dir);
  const struct {
    std::string name;
    std::string bytes;
    std::string reason;
  } rows[] = {
      {"garbage.wav", "this is not sound", "it is not a RIFF WAVE file"},
      {"nodata.wav", Riff("WAVE", fmt + Chunk("LIST", "info")),
       "it has no data chunk after its format chunk"},
      {"noformat.wav", Riff("WAVE", Chunk("data", "abcd")), "it has no format chunk"},
      {"cut.wav", LineWave(Ramp(100)).substr(0, 40), "it has no data chunk after its format chunk"},
      {"short-extensible.wav",
       Riff("WAVE", Chunk("fmt ", PcmFormat(1, 8000, 16).replace(0, 2, Le(0xFFFE, 2)) + Le(22, 2)) +
                        Chunk("data", "abcd")),
       "its format chunk claims more bytes than it holds"},
      {long_dir + "/" + std::string(60, 'n') + ".wav", LineWave(Ramp(100)),
       "its name is longer than 255 characters"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string file = dir_.Write(row.name, row.bytes);
    EXPECT_THAT(
        Run({file, "-phone:5551234"}).lines,
        ElementsAre("[T]	Error : Wave file " + file + " cannot be played: " + row.reason));
  }
  const std::string greeting = dir_.Write("greeting.wav", "RIFF");
  WriteSettings("[General]\nPressAnyKeyFile=" + greeting + "\n");
  EXPECT_THAT(Run({message_, "-phone:5551234"}).lines,
              ElementsAre("[T]	Error : Wave file " + greeting +
                          " cannot be played: it is not a RIFF WAVE file"));
  EXPECT_THAT(Run({message_, "-phone:5551234", "-skipintro"}).lines,
              ElementsAre("[T]	Dialing 5551234", "[T]	Result : Play message duration exceeded"));
  WriteSettings("");
  const std::string claims_more = dir_.Write(
      "claims-more.wav", Riff("WAVE", fmt + Chunk("data", Samples16(Ramp(8000)), 64000)));
  EXPECT_THAT(Run({claims_more, "-phone:5551234"}).lines,
              ElementsAre("[T]	Dialing 5551234", "[T]	Call Completed"));
}

// A whole call on a simulated line loads neither the sound card's library nor the SIP
// driver's, nor what they bring (the loader's own report of every library it loads says so).
TEST_F(TelvaneE2eTest, SimulatedCallLoadsNoSoundCardOrSipLibraries) {
  WriteLines(VoiceLine("answer after=1000; keys=heard+1000:5"));
  std::map<std::string, std::string> environment = Environment();
  environment["LD_DEBUG"] = "files";
  const ProgramRun run = RunProgram(TELVANE_PROGRAM, {message_, "-phone:1"}, environment);
  EXPECT_EQ(run.lines.back(), "[T]\tCall Completed");
  ASSERT_NE(run.standard_error.find("libTAPI32.so"), std::string::npos) << "no loader report";
  for (const char* library :
       {"libasound", "libtelvane_sip", "libre.so", "libcrypto", "libspandsp", "libtiff"}) {
    EXPECT_EQ(run.standard_error.find(library), std::string::npos) << library;
  }
}

// A text message and a text greeting (named in the user's settings) are spoken before the
// dial and played like WAV files; nothing is left in the temporary directory.
TEST_F(TelvaneE2eTest, SpokenTextMessageAndGreeting) {
  WriteLines(VoiceLine("answer after=1000; keys=heard+1000:5"));
  const std::string message_text = "Router one is down in rack four.";
  const std::string greeting_text = "This is an alert. Press any key.";
  const std::string alert = dir_.Write("alert.txt", message_text + "\n");
  WriteSettings("[General]\nPressAnyKeyFile=" + dir_.Write("greeting.txt", greeting_text) + "\n");
  EXPECT_THAT(Run({alert, "-phone:1", "-exitcode"}).lines,
              ElementsAre("[T]\tDialing 1", "[T]\tCall Completed"));
  // Spoken in the program's order (message, then greeting): the synthesiser's filters carry
  // over from one text to the next.
  const std::vector<int16_t> message = platform::SpeakText(message_text, "en");
  const std::vector<int16_t> greeting = platform::SpeakText(greeting_text, "en");
  EXPECT_THAT(Heard("1", 1, greeting, message), ElementsAre(kGreetingCut, kMessage));
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "tmp"));

  // A voice espeak-ng does not know, or a text with nothing to say: an error before any dial.
  WriteSettings("[General]\nSpeechVoice=no-such-voice\n");
  EXPECT_THAT(Run({alert, "-phone:1", "-exitcode"}, 3).lines,
              ElementsAre("[T]\tError : Speech voice not found: \"no-such-voice\" (see "
                          "SpeechVoice) (" +
                          alert + ")"));
  WriteSettings("");
  const std::string blank = dir_.Write("blank.txt", " \n\t\n");
  EXPECT_THAT(Run({blank, "-phone:1", "-exitcode"}, 3).lines,
              ElementsAre("[T]\tError : The text to speak is empty (" + blank + ")"));
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "tmp"));
}

// The monitoring integrations (examples/integrations), each run with a sample alert: the text
// it makes is what the callee hears, and nobody's key at the first number escalates to the
// second. Values from the alert never reach a shell.
class IntegrationTest : public TelvaneE2eTest {
 protected:
  IntegrationTest() {
    // 111: a voicemail (no key); every other number: a person who presses a key.
    WriteLines(
        VoiceLine("answer after=1000; keys=heard+1000:5").Number("111", "answer after=1000"));
  }

  ProgramRun RunExample(const std::string& script, const std::vector<std::string>& arguments) {
    return RunTool(std::string(TELVANE_EXAMPLES "/integrations/") + script, arguments);
  }

  // Runs a program that runs telvane, with telvane's environment for the test.
  ProgramRun RunTool(const std::string& program, const std::vector<std::string>& arguments) {
    std::map<std::string, std::string> environment = Environment();
    environment["TELVANE"] = TELVANE_PROGRAM;
    environment["TELVANE_OPTIONS"] = "-retry:1";
    ProgramRun run = RunProgram(program, arguments, environment);
    EXPECT_TRUE(std::filesystem::is_empty(dir_ / "tmp")) << "left behind";
    return run;
  }

  // The call heard the greeting until the key, then the whole text spoken.
  void ExpectHeard(const std::string& number, int call, const std::string& text) {
    EXPECT_THAT(Heard(number, call, testing_wave::DataChunkSamples(TELVANE_GREETING),
                      platform::SpeakText(text, "en")),
                ElementsAre(kGreetingCut, kMessage));
  }
};

TEST_F(IntegrationTest, NagiosNotificationEscalatesToTheSecondNumber) {
  const std::string output = "Connection refused; $(touch pwned) `touch pwned` \"quoted\"";
  const ProgramRun run =
      RunExample("nagios/notify-by-phone",
                 {"111", "222", "PROBLEM", "web-01.example.org", "HTTP", "CRITICAL", output});
  EXPECT_EQ(run.exit_code, 0) << run.standard_output << run.standard_error;
  EXPECT_THAT(run.lines, ::testing::Contains("[T]\tResult : No key pressed"));
  EXPECT_EQ(run.lines.back(), "[T]\tCall Completed");
  ExpectHeard("222", 1, "Problem. Service HTTP on host web 01 example org is CRITICAL. " + output);
  EXPECT_FALSE(std::filesystem::exists("pwned"));
}

TEST_F(IntegrationTest, ZabbixMediaScriptCallsTheSendToNumber) {
  const ProgramRun run =
      RunExample("zabbix/telvane-phone",
                 {"5551234,222", "PROBLEM: Disk full on db1", "Free space on /var is 2 percent."});
  EXPECT_EQ(run.exit_code, 0) << run.standard_output << run.standard_error;
  EXPECT_EQ(run.lines.back(), "[T]\tCall Completed");
  ExpectHeard("5551234", 1, "PROBLEM: Disk full on db1. Free space on /var is 2 percent.");
  // Nobody acknowledges at either number: not 0, so Zabbix tries again.
  EXPECT_EQ(RunExample("zabbix/telvane-phone", {"111,111", "PROBLEM", "x"}).exit_code, 1);
}

TEST_F(IntegrationTest, AlertmanagerWebhookPhonesFiringAlerts) {
  // The receiver on a free port; the sample notification posted to it, firing and then
  // resolved; then a stop, after which it finishes the queued call.
  const std::string script = R"(
    "$1" --number 5551234 --listen 127.0.0.1:0 > "$2/receiver.out" &
    receiver=$!
    until grep -q listening "$2/receiver.out"; do sleep 0.05; done
    port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$2/receiver.out")
    python3 - "$port" "$3" <<'PY'
import sys, urllib.request
body = open(sys.argv[2], "rb").read()
for status in ("firing", "resolved"):
    data = body if status == "firing" else body.replace(b'"firing"', b'"resolved"')
    request = urllib.request.Request("http://127.0.0.1:%s/" % sys.argv[1], data=data,
                                     headers={"Content-Type": "application/json"})
    print(urllib.request.urlopen(request, timeout=10).read().decode().strip())
PY
    kill -TERM "$receiver"
    wait "$receiver"
    cat "$2/receiver.out"
  )";
  const ProgramRun run = RunTool(
      "/bin/sh",
      {"-c", script, "sh", TELVANE_EXAMPLES "/integrations/alertmanager/telvane-webhook",
       dir_.Path().string(), TELVANE_EXAMPLES "/integrations/alertmanager/sample-alert.json"});
  EXPECT_EQ(run.exit_code, 0) << run.standard_error;
  EXPECT_NE(run.standard_output.find("queued 1 call(s)\nqueued 0 call(s)"), std::string::npos)
      << run.standard_output;
  EXPECT_THAT(run.lines, ::testing::Contains("[T]\tCall Completed"));
  EXPECT_THAT(run.lines, ::testing::Contains("telvane-webhook: call ended with exit code 0"));
  ExpectHeard(
      "5551234", 1,
      "Alert HostDown on db 2 9100. Severity critical. Database host db 2 does not answer.");
}

}  // namespace
}  // namespace telvane::e2e
