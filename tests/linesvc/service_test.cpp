// The service's line requests outside a call: registration, version negotiation, device
// capabilities, opening, device identifiers; and the exported entry points of the library.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "service_fixture.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/sim_lines.h"

extern "C" {
LONG lineInitialize(LPHLINEAPP, HINSTANCE, LINECALLBACK, LPCSTR, LPDWORD);
LONG lineShutdown(HLINEAPP);
LONG lineGetDevCaps(HLINEAPP, DWORD, DWORD, DWORD, LPLINEDEVCAPS);
LONG lineOpen(HLINEAPP, DWORD, LPHLINE, DWORD, DWORD, DWORD_PTR, DWORD, DWORD,
              const LINECALLPARAMS*);
LONG lineMakeCall(HLINE, LPHCALL, LPCSTR, DWORD, const LINECALLPARAMS*);
}

namespace telvane::linesvc {
namespace {

using ServiceTest = ServiceFixture;

// For applications that open no line and so get no message.
void IgnoreMessage(DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

// Reads a device's capabilities into a buffer of the size the service asks for.
std::vector<char> DevCaps(Service& service, HLINEAPP app, DWORD device) {
  LINEDEVCAPS fixed{};
  fixed.dwTotalSize = sizeof fixed;
  EXPECT_EQ(service.GetDevCaps(app, device, kTapiVersion14, 0, &fixed), 0);
  std::vector<char> buffer(std::max<size_t>(fixed.dwNeededSize, sizeof fixed));
  auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
  caps->dwTotalSize = static_cast<DWORD>(buffer.size());
  EXPECT_EQ(service.GetDevCaps(app, device, kTapiVersion14, 0, caps), 0);
  return buffer;
}

std::string LineName(const std::vector<char>& buffer) {
  const auto* caps = reinterpret_cast<const LINEDEVCAPS*>(buffer.data());
  if (caps->dwLineNameSize == 0) return "<none>";
  // The size counts the terminating NUL.
  EXPECT_EQ(buffer[caps->dwLineNameOffset + caps->dwLineNameSize - 1], '\0');
  return std::string(buffer.data() + caps->dwLineNameOffset, caps->dwLineNameSize - 1);
}

// The lines of the file become devices in file order with their names, media and features.
TEST_F(ServiceTest, LinesOfTheFileAreListedInOrderWithTheirCapabilities) {
  ASSERT_EQ(Initialize(), 3u);
  struct Expected {
    const char* name;
    DWORD media;
    DWORD features;
  };
  const Expected expected[] = {
      {"Sim Voice 1", LINEMEDIAMODE_AUTOMATEDVOICE, LINEFEATURE_MAKECALL},
      {"Sim Data", LINEMEDIAMODE_DATAMODEM, LINEFEATURE_MAKECALL},
      {"No Dialling", LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_INTERACTIVEVOICE, 0},
  };
  for (DWORD device = 0; device < 3; ++device) {
    SCOPED_TRACE(device);
    const std::vector<char> buffer = DevCaps(*service_, app_, device);
    const auto* caps = reinterpret_cast<const LINEDEVCAPS*>(buffer.data());
    EXPECT_EQ(LineName(buffer), expected[device].name);
    EXPECT_EQ(caps->dwLineNameSize, std::string(expected[device].name).size() + 1);
    EXPECT_EQ(caps->dwMediaModes, expected[device].media);
    EXPECT_EQ(caps->dwLineFeatures, expected[device].features);
    EXPECT_EQ(caps->dwBearerModes, LINEBEARERMODE_VOICE);
    EXPECT_EQ(caps->dwNumAddresses, 1u);
    EXPECT_EQ(caps->dwUsedSize, caps->dwNeededSize);
    EXPECT_GT(caps->dwProviderInfoSize, 1u);
    EXPECT_EQ(caps->dwStringFormat, STRINGFORMAT_ASCII);
  }
}

// The structure rules: too small for the fixed part fails; fixed part only when the strings
// do not fit, with the needed size told.
TEST_F(ServiceTest, DevCapsFollowsTheStructureSizeRules) {
  Initialize();
  LINEDEVCAPS caps{};
  caps.dwTotalSize = sizeof caps - 1;
  EXPECT_EQ(service_->GetDevCaps(app_, 0, kTapiVersion14, 0, &caps), LINEERR_STRUCTURETOOSMALL);
  caps.dwTotalSize = sizeof caps;
  ASSERT_EQ(service_->GetDevCaps(app_, 0, kTapiVersion14, 0, &caps), 0);
  EXPECT_EQ(caps.dwTotalSize, sizeof caps);
  EXPECT_EQ(caps.dwUsedSize, sizeof caps);
  EXPECT_GT(caps.dwNeededSize, sizeof caps);
  EXPECT_EQ(caps.dwLineNameSize, 0u);
  EXPECT_EQ(caps.dwMediaModes, LINEMEDIAMODE_AUTOMATEDVOICE) << "fixed fields are filled";
  // One byte short of the needed size still gets no strings, and nothing is written past it.
  std::vector<char> buffer(caps.dwNeededSize + 16, '\x7f');
  auto* short_caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
  short_caps->dwTotalSize = caps.dwNeededSize - 1;
  ASSERT_EQ(service_->GetDevCaps(app_, 0, kTapiVersion14, 0, short_caps), 0);
  EXPECT_EQ(short_caps->dwLineNameSize, 0u);
  for (size_t i = sizeof(LINEDEVCAPS); i < buffer.size(); ++i) ASSERT_EQ(buffer[i], '\x7f');
  EXPECT_EQ(service_->GetDevCaps(app_, 3, kTapiVersion14, 0, &caps), LINEERR_BADDEVICEID);
  EXPECT_EQ(service_->GetDevCaps(app_, 0, 0x00020000, 0, &caps), LINEERR_INCOMPATIBLEAPIVERSION);
  EXPECT_EQ(service_->GetDevCaps(app_ + 99, 0, kTapiVersion14, 0, &caps), LINEERR_INVALAPPHANDLE);
}

// Version 1.4 is agreed when the range holds it; other ranges and devices are refused.
TEST_F(ServiceTest, NegotiatesExactlyVersionOnePointFour) {
  Initialize();
  DWORD version = 0;
  LINEEXTENSIONID extension{1, 2, 3, 4};
  EXPECT_EQ(
      service_->NegotiateAPIVersion(app_, 0, kTapiVersion14, kTapiVersion14, &version, &extension),
      0);
  EXPECT_EQ(version, kTapiVersion14);
  EXPECT_EQ(extension.dwExtensionID0, 0u);
  EXPECT_EQ(service_->NegotiateAPIVersion(app_, 0, 0x00010003, 0x00020000, &version, &extension),
            0);
  EXPECT_EQ(service_->NegotiateAPIVersion(app_, 0, 0x00020000, 0x00030000, &version, &extension),
            LINEERR_INCOMPATIBLEAPIVERSION);
  EXPECT_EQ(service_->NegotiateAPIVersion(app_, 0, 0x00010000, 0x00010003, &version, &extension),
            LINEERR_INCOMPATIBLEAPIVERSION);
  EXPECT_EQ(
      service_->NegotiateAPIVersion(app_, 3, kTapiVersion14, kTapiVersion14, &version, &extension),
      LINEERR_BADDEVICEID);
}

// Opening checks privileges and media modes, and one owner per line across applications.
TEST_F(ServiceTest, OpenChecksPrivilegesMediaAndOwnership) {
  Initialize();
  HLINE line = 0;
  EXPECT_EQ(service_->Open(app_, 1, &line, kTapiVersion14, 0, 0, LINECALLPRIVILEGE_OWNER,
                           LINEMEDIAMODE_AUTOMATEDVOICE, nullptr),
            LINEERR_INVALMEDIAMODE);
  EXPECT_EQ(service_->Open(app_, 0, &line, kTapiVersion14, 0, 0, 0x8, 0, nullptr),
            LINEERR_INVALPRIVSELECT);
  EXPECT_EQ(
      service_->Open(app_, 9, &line, kTapiVersion14, 0, 0, LINECALLPRIVILEGE_NONE, 0, nullptr),
      LINEERR_BADDEVICEID);
  ASSERT_EQ(service_->Open(app_, 0, &line, kTapiVersion14, 0, 0, LINECALLPRIVILEGE_OWNER,
                           LINEMEDIAMODE_AUTOMATEDVOICE, nullptr),
            0);
  HLINEAPP other = 0;
  DWORD devices = 0;
  ASSERT_EQ(
      service_->Initialize(&other, platform::LineAppInstance(loop_), Callback, "other", &devices),
      0);
  HLINE other_line = 0;
  EXPECT_EQ(service_->Open(other, 0, &other_line, kTapiVersion14, 0, 0, LINECALLPRIVILEGE_OWNER,
                           LINEMEDIAMODE_AUTOMATEDVOICE, nullptr),
            LINEERR_ALLOCATED);
  EXPECT_EQ(service_->Open(other, 0, &other_line, kTapiVersion14, 0, 0, LINECALLPRIVILEGE_NONE, 0,
                           nullptr),
            0);
  EXPECT_EQ(service_->Close(line), 0);
  EXPECT_EQ(service_->Open(other, 0, &line, kTapiVersion14, 0, 0, LINECALLPRIVILEGE_OWNER,
                           LINEMEDIAMODE_AUTOMATEDVOICE, nullptr),
            0);
  EXPECT_EQ(service_->Shutdown(other), 0);
}

// Status messages take only defined state bits.
TEST_F(ServiceTest, SetStatusMessagesChecksTheMasks) {
  Initialize();
  const HLINE line = OpenLine(0);
  EXPECT_EQ(service_->SetStatusMessages(line, 0x01FFFFFF, 0x1FF), 0);
  EXPECT_EQ(service_->SetStatusMessages(line, 0x02000000, 0), LINEERR_INVALLINESTATE);
  EXPECT_EQ(service_->SetStatusMessages(line, 0, 0x200), LINEERR_INVALADDRESSSTATE);
  EXPECT_EQ(service_->SetStatusMessages(line + 99, 0, 0), LINEERR_INVALLINEHANDLE);
}

VARSTRING* IdBuffer(std::vector<char>& buffer, size_t size) {
  buffer.assign(size, 0);
  auto* id = reinterpret_cast<VARSTRING*>(buffer.data());
  id->dwTotalSize = static_cast<DWORD>(size);
  return id;
}

DWORD IdValue(const std::vector<char>& buffer) {
  const auto* id = reinterpret_cast<const VARSTRING*>(buffer.data());
  DWORD value = 0;
  std::memcpy(&value, buffer.data() + id->dwStringOffset, sizeof value);
  return value;
}

// lineGetID names the wave device of a voice line and of its call, in a binary VARSTRING
// under the size rules; other classes and data lines have none.
TEST_F(ServiceTest, GetIdNamesWaveDevicesUnderTheSizeRules) {
  Initialize();
  const HLINE voice = OpenLine(0);
  std::vector<char> buffer;
  VARSTRING* id = IdBuffer(buffer, sizeof(VARSTRING) + 4);
  ASSERT_EQ(service_->GetID(voice, 0, 0, LINECALLSELECT_LINE, id, "wave/out"), 0);
  EXPECT_EQ(id->dwStringFormat, STRINGFORMAT_BINARY);
  EXPECT_EQ(id->dwStringSize, 4u);
  EXPECT_EQ(id->dwUsedSize, sizeof(VARSTRING) + 4);
  EXPECT_EQ(IdValue(buffer), 0u) << "the line's wave device defaults to its device id";

  id = IdBuffer(buffer, sizeof(VARSTRING));
  ASSERT_EQ(service_->GetID(voice, 0, 0, LINECALLSELECT_LINE, id, "WAVE/IN"), 0);
  EXPECT_EQ(id->dwNeededSize, sizeof(VARSTRING) + 4);
  EXPECT_EQ(id->dwUsedSize, sizeof(VARSTRING));
  EXPECT_EQ(id->dwStringSize, 0u);

  id = IdBuffer(buffer, sizeof(VARSTRING) - 1);
  EXPECT_EQ(service_->GetID(voice, 0, 0, LINECALLSELECT_LINE, id, "wave/out"),
            LINEERR_STRUCTURETOOSMALL);

  HCALL call = 0;
  ASSERT_GT(MakeCall(voice, "5551234", &call), 0);
  id = IdBuffer(buffer, 64);
  ASSERT_EQ(service_->GetID(0, 0, call, LINECALLSELECT_CALL, id, "wave/out"), 0);
  EXPECT_EQ(id->dwStringOffset, sizeof(VARSTRING));
  EXPECT_EQ(IdValue(buffer), 0u);

  EXPECT_EQ(service_->GetID(voice, 0, 0, LINECALLSELECT_LINE, id, "comm/datamodem"),
            LINEERR_INVALDEVICECLASS);
  EXPECT_EQ(service_->GetID(voice, 0, 0, LINECALLSELECT_LINE, id, "tapi/line"),
            LINEERR_INVALDEVICECLASS);
  EXPECT_EQ(service_->GetID(voice, 1, 0, LINECALLSELECT_ADDRESS, id, "wave/out"),
            LINEERR_INVALADDRESSID);
  EXPECT_EQ(service_->GetID(voice, 0, call + 99, LINECALLSELECT_CALL, id, "wave/out"),
            LINEERR_INVALCALLHANDLE);
  EXPECT_EQ(service_->GetID(voice, 0, 0, 0x8, id, "wave/out"), LINEERR_INVALCALLSELECT);

  const HLINE data = OpenLine(1);
  EXPECT_EQ(service_->GetID(data, 0, 0, LINECALLSELECT_LINE, id, "wave/out"),
            LINEERR_INVALDEVICECLASS);
  // The simulated line has no serial port to hand over.
  EXPECT_EQ(service_->GetID(data, 0, 0, LINECALLSELECT_LINE, id, "comm/datamodem"),
            LINEERR_INVALDEVICECLASS);
}

// Digit monitoring takes DTMF modes only, on a live call.
TEST_F(ServiceTest, MonitorDigitsChecksModesAndHandles) {
  ASSERT_GT(Dial(), 0);
  EXPECT_EQ(service_->MonitorDigits(call_, LINEDIGITMODE_PULSE), LINEERR_INVALDIGITMODE);
  EXPECT_EQ(service_->MonitorDigits(call_, 0x80), LINEERR_INVALDIGITMODE);
  EXPECT_EQ(service_->MonitorDigits(call_ + 99, LINEDIGITMODE_DTMF), LINEERR_INVALCALLHANDLE);
  EXPECT_EQ(service_->MonitorDigits(call_, LINEDIGITMODE_DTMF | LINEDIGITMODE_DTMFEND), 0);
  EXPECT_EQ(service_->MonitorDigits(call_, 0), 0);
}

// A line the service cannot drive is left out, the others keep their order, and the reason is
// in the event log; the service writes nothing to the console.
TEST(ServiceConfigTest, BadLinesAreLeftOutWithTheReasonLogged) {
  platform::MessageLoop loop(platform::ClockMode::kVirtual);
  const std::string text = R"(
[line First]
driver = sim
[line Modem]
driver = hayes
[line Typo]
driver = sim
defualt = busy
[line Bad Script]
driver = sim
default = answer after=soon
[line Second]
driver = sim
)";
  Service service([&] { return ParseLinesFile(text, "lines.ini"); });
  HLINEAPP app = 0;
  DWORD devices = 0;
  ASSERT_EQ(service.Initialize(&app, platform::LineAppInstance(loop), IgnoreMessage, "t", &devices),
            0);
  EXPECT_EQ(devices, 2u);
  EXPECT_EQ(LineName(DevCaps(service, app, 1)), "Second");
  EXPECT_TRUE(service.Events().Contains("service", "unknown driver 'hayes'"));
  EXPECT_TRUE(service.Events().Contains("service", "unknown key 'defualt'"));
  EXPECT_TRUE(service.Events().Contains("service", "[line Bad Script] left out"));
  EXPECT_EQ(service.Shutdown(app), 0);
}

// Registration needs the application's message loop and valid pointers.
TEST(ServiceConfigTest, InitializeNeedsALoopAndPointers) {
  Service service([] { return LinesConfig{}; });
  HLINEAPP app = 0;
  DWORD devices = 7;
  EXPECT_EQ(service.Initialize(&app, nullptr, IgnoreMessage, "t", &devices),
            LINEERR_OPERATIONFAILED);
  platform::MessageLoop loop(platform::ClockMode::kVirtual);
  const HINSTANCE instance = platform::LineAppInstance(loop);
  EXPECT_EQ(service.Initialize(nullptr, instance, IgnoreMessage, "t", &devices),
            LINEERR_INVALPOINTER);
  EXPECT_EQ(service.Initialize(&app, instance, nullptr, "t", &devices), LINEERR_INVALPOINTER);
  ASSERT_EQ(service.Initialize(&app, instance, IgnoreMessage, "t", &devices), 0);
  EXPECT_EQ(devices, 0u) << "no lines file, no line devices";
  EXPECT_TRUE(service.Events().Contains("service", "no lines file"));
  EXPECT_EQ(service.Shutdown(app), 0);
}

// The exported entry points read the lines file named by TELVANE_LINES, write the event log
// named by TELVANE_LINES_LOG (each line with the process id), and run a call through the process's
// service.
TEST(ExportsTest, EntryPointsServeTheLinesFileOfTheEnvironment) {
  const testing::ScratchDir dir = testing::ScratchDir::ForCurrentTest();
  const std::string log = (dir / "events.log").string();
  testing::SetEnvironment(
      "TELVANE_LINES",
      dir.Write("lines.ini", testing::SimLines().Line("Exported").Default("busy").Text()));
  testing::SetEnvironment("TELVANE_LINES_LOG", log);

  platform::MessageLoop loop(platform::ClockMode::kVirtual);
  struct Seen {
    std::vector<DWORD> messages;
  } seen;
  const LINECALLBACK callback = [](DWORD, DWORD message, DWORD_PTR instance, DWORD_PTR, DWORD_PTR,
                                   DWORD_PTR) {
    reinterpret_cast<Seen*>(instance)->messages.push_back(message);
  };
  HLINEAPP app = 0;
  DWORD devices = 0;
  ASSERT_EQ(lineInitialize(&app, platform::LineAppInstance(loop), callback, "exports", &devices),
            0);
  EXPECT_EQ(devices, 1u);
  LINEDEVCAPS caps{};
  caps.dwTotalSize = sizeof caps;
  EXPECT_EQ(lineGetDevCaps(app, 0, kTapiVersion14, 0, &caps), 0);
  HLINE line = 0;
  ASSERT_EQ(lineOpen(app, 0, &line, kTapiVersion14, 0, reinterpret_cast<DWORD_PTR>(&seen),
                     LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_AUTOMATEDVOICE, nullptr),
            0);
  HCALL call = 0;
  ASSERT_GT(lineMakeCall(line, &call, "5551234", 0, nullptr), 0);
  loop.RunUntil([&] { return loop.QueuedCount() == 0 && loop.DelayedCount() == 0; },
                loop.DeadlineAfter(60000));
  EXPECT_EQ(seen.messages.front(), LINE_REPLY);
  EXPECT_EQ(seen.messages.size(), 5u);  // reply, dial tone, dialling, proceeding, busy
  EXPECT_EQ(lineShutdown(app), 0);
  testing::UnsetEnvironment("TELVANE_LINES");
  testing::UnsetEnvironment("TELVANE_LINES_LOG");

  std::ifstream file(log);
  std::stringstream text;
  text << file.rdbuf();
  // Each line names the process, so runs sharing the file can be told apart.
  EXPECT_NE(text.str().find("[" + std::to_string(::getpid()) + "] Exported: state BUSY"),
            std::string::npos)
      << text.str();
}

}  // namespace
}  // namespace telvane::linesvc
