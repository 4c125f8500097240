// The line device's public face: defaults, the voice check and the contracts that hold
// without a telephony service.
#include "telephony/tapi_device.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/message_loop.h"

namespace telvane {
namespace {

// A device that stands in for the telephony system and answers the voice check from a set of
// line names, counting the checks, so that a test sees when the check runs.
class VoiceLinesDevice : public TApdTapiDevice {
 public:
  explicit VoiceLinesDevice(std::set<std::string> voice_lines)
      : TApdTapiDevice(nullptr, std::vector<std::string>()), voice_lines_(std::move(voice_lines)) {}
  int Checks() const { return checks_; }

 protected:
  void CheckVoiceSupport() override {
    ++checks_;
    if (voice_lines_.count(SelectedDevice()) == 0) {
      throw ETapiVoiceNotSupported(ecTapiVoiceNotSupported);
    }
  }

 private:
  std::set<std::string> voice_lines_;
  int checks_ = 0;
};

// The device lives on a thread with a message loop, on the virtual clock.
class TapiDeviceTest : public ::testing::Test {
 protected:
  platform::MessageLoop loop_{platform::ClockMode::kVirtual};
};

// Counts every event the device fires.
struct EventCounter {
  explicit EventCounter(TApdCustomTapiDevice& device) {
    device.OnTapiStatus = [this](TObject&, bool, bool, int32_t, int32_t, int32_t, int32_t,
                                 int32_t) { ++fired; };
    device.OnTapiLog = [this](TObject&, TTapiLogCode code) { logged.push_back(code); };
    device.OnTapiPortOpen = [this](TObject&) { ++fired; };
    device.OnTapiPortClose = [this](TObject&) { ++fired; };
    device.OnTapiConnect = [this](TObject&) { ++fired; };
    device.OnTapiFail = [this](TObject&) { ++fired; };
    device.OnTapiDTMF = [this](TObject&, char, int32_t) { ++fired; };
    device.OnTapiCallerID = [this](TObject&, const std::string&, const std::string&) { ++fired; };
    device.OnTapiWaveNotify = [this](TObject&, TWaveMessage) { ++fired; };
    device.OnTapiWaveSilence = [this](TObject&, bool&, bool&) { ++fired; };
  }
  int fired = 0;                     // every event but the call-history log
  std::vector<TTapiLogCode> logged;  // the call-history log
};

// A new device carries the documented defaults and constructing it does not raise.
TEST_F(TapiDeviceTest, DefaultsAsConstructed) {
  std::unique_ptr<TApdTapiDevice> made;
  ASSERT_NO_THROW(made = std::make_unique<TApdTapiDevice>(nullptr));
  const TApdTapiDevice& device = *made;
  EXPECT_EQ(device.Owner(), nullptr);
  EXPECT_EQ(device.SelectedDevice(), "");
  EXPECT_EQ(device.ComPort(), nullptr);
  EXPECT_EQ(device.StatusDisplay(), nullptr);
  EXPECT_EQ(device.TapiLog(), nullptr);
  EXPECT_EQ(device.AnswerOnRing(), 2);
  EXPECT_EQ(device.RetryWait(), 60);
  EXPECT_EQ(device.MaxAttempts(), 3);
  EXPECT_TRUE(device.ShowTapiDevices());
  EXPECT_TRUE(device.ShowPorts());
  EXPECT_FALSE(device.EnableVoice());
  EXPECT_TRUE(device.FilterUnsupportedDevices());
  EXPECT_TRUE(device.InterruptPlayback());
  EXPECT_FALSE(device.UseWaveMapper());
  EXPECT_FALSE(device.CallCancelled());
  EXPECT_FALSE(device.CallPlaced());
  EXPECT_EQ(device.FailureCode(), 0);
  // No telephony service is present here, so no line device is listed.
  EXPECT_TRUE(device.DeviceList().empty());
}

// Version reads the library's version whatever is written to it.
TEST_F(TapiDeviceTest, VersionIgnoresWrites) {
  TApdTapiDevice device(nullptr);
  EXPECT_EQ(device.Version(), "v4.06");
  device.SetVersion("v9.99");
  EXPECT_EQ(device.Version(), "v4.06");
}

// Turning voice on with no device selected checks nothing and reads on.
TEST_F(TapiDeviceTest, EnableVoiceWithoutSelectedDeviceChecksNothing) {
  VoiceLinesDevice device({});
  EXPECT_NO_THROW(device.SetEnableVoice(true));
  EXPECT_TRUE(device.EnableVoice());
  EXPECT_EQ(device.Checks(), 0);
}

// A selected device without voice makes the setter raise and voice read off.
TEST_F(TapiDeviceTest, EnableVoiceOnDeviceWithoutVoiceRaisesAndReadsOff) {
  TApdTapiDevice device(nullptr);
  device.SetSelectedDevice("Data Only Modem");
  try {
    device.SetEnableVoice(true);
    FAIL() << "no ETapiVoiceNotSupported";
  } catch (const ETapiVoiceNotSupported& error) {
    EXPECT_EQ(error.Message(), "TAPI device does not support voice extensions");
    EXPECT_EQ(error.ErrorCode(), -13935);
  }
  EXPECT_FALSE(device.EnableVoice());
}

// Selecting another device while voice is on checks the new one, each time.
TEST_F(TapiDeviceTest, SelectingDeviceWithVoiceOnRechecksIt) {
  VoiceLinesDevice device({"Voice Modem"});
  device.SetEnableVoice(true);
  EXPECT_NO_THROW(device.SetSelectedDevice("Voice Modem"));
  EXPECT_EQ(device.Checks(), 1);
  EXPECT_TRUE(device.EnableVoice());

  EXPECT_THROW(device.SetSelectedDevice("Data Modem"), ETapiVoiceNotSupported);
  EXPECT_EQ(device.Checks(), 2);
  EXPECT_EQ(device.SelectedDevice(), "Data Modem");
  EXPECT_FALSE(device.EnableVoice());

  // Voice is off now, so a further selection is not checked.
  EXPECT_NO_THROW(device.SetSelectedDevice("Voice Modem"));
  EXPECT_EQ(device.Checks(), 2);
  EXPECT_FALSE(device.EnableVoice());
}

// Turning voice off never checks and never raises.
TEST_F(TapiDeviceTest, DisablingVoiceChecksNothing) {
  VoiceLinesDevice device({});
  device.SetSelectedDevice("Data Modem");
  EXPECT_NO_THROW(device.SetEnableVoice(false));
  EXPECT_FALSE(device.EnableVoice());
  EXPECT_EQ(device.Checks(), 0);
}

// Dialling without a serial-port component is refused first of all.
TEST_F(TapiDeviceTest, DialWithoutComPortRaisesPortNotAssigned) {
  TApdTapiDevice device(nullptr);
  EventCounter events(device);
  try {
    device.Dial("5551234");
    FAIL() << "no EPortNotAssigned";
  } catch (const EPortNotAssigned& error) {
    EXPECT_EQ(error.ErrorCode(), ecPortNotAssigned);
    EXPECT_EQ(error.Message(), "ComPort component not assigned");
  }
  EXPECT_FALSE(device.CallPlaced());
  EXPECT_EQ(events.fired, 0);
  EXPECT_TRUE(events.logged.empty());
}

// Stopping when nothing plays changes nothing and fires nothing.
TEST_F(TapiDeviceTest, StopWaveFileWithNothingPlayingFiresNothing) {
  TApdTapiDevice device(nullptr);
  EventCounter events(device);
  EXPECT_NO_THROW(device.StopWaveFile());
  EXPECT_NO_THROW(device.StopWaveFile());
  loop_.RunUntilIdle();
  EXPECT_EQ(events.fired, 0);
  EXPECT_TRUE(events.logged.empty());
  EXPECT_FALSE(device.CallCancelled());
  EXPECT_FALSE(device.CallPlaced());
}

// CallCancelled starts false; a CancelCall with no line ever opened sets it, logs only the
// cancel and reports nothing else.
TEST_F(TapiDeviceTest, CancelCallWithoutLineLogsCancelOnly) {
  TApdTapiDevice device(nullptr);
  EventCounter events(device);
  EXPECT_FALSE(device.CallCancelled());
  EXPECT_TRUE(device.CancelCall());
  EXPECT_TRUE(device.CallCancelled());
  EXPECT_EQ(events.logged, std::vector<TTapiLogCode>{TTapiLogCode::ltapiCancel});
  EXPECT_EQ(events.fired, 0);
  // Deferred notices would arrive through the loop; none may be waiting.
  loop_.RunUntilIdle();
  EXPECT_EQ(events.fired, 0);
  EXPECT_FALSE(device.CallPlaced());
}

}  // namespace
}  // namespace telvane
