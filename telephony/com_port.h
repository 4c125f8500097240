// The serial-port component that the line device requires before it dials.
//
// In voice mode the port is never opened: the line device only checks that one is assigned
// and closes it, harmlessly, at every hang-up. In data mode the line device would hand the
// call's communications handle to the port and open it. This is the least of the component
// that the line device and the call controller rely on. Loop thread only.
#pragma once

#include <cstdint>

#include "platform/component.h"

namespace telvane {

// How the port works with the telephony line: tmOn means its handle comes from the line.
enum class TTapiMode { tmNone, tmAuto, tmOn, tmOff };

class TApdCustomComPort : public TApdBaseComponent {
 public:
  explicit TApdCustomComPort(TApdBaseComponent* owner = nullptr) : TApdBaseComponent(owner) {}

  int32_t Baud() const { return baud_; }
  void SetBaud(int32_t baud) { baud_ = baud; }

  // Whether the port opens itself when it is first used.
  bool AutoOpen() const { return auto_open_; }
  void SetAutoOpen(bool auto_open) { auto_open_ = auto_open; }

  TTapiMode TapiMode() const { return tapi_mode_; }
  void SetTapiMode(TTapiMode mode) { tapi_mode_ = mode; }

  // Opening needs a communications handle from the telephony line; there is no serial
  // hardware behind this component, so a port without one stays closed.
  bool Open() const { return open_; }
  void SetOpen(bool open) { open_ = open && tapi_handle_ != 0; }

  // The communications handle handed over by the telephony line; the port keeps 16 bits.
  uint16_t TapiCid() const { return tapi_handle_; }
  void SetTapiCid(uint32_t handle) { tapi_handle_ = static_cast<uint16_t>(handle & 0xFFFF); }

 private:
  int32_t baud_ = 19200;
  bool auto_open_ = true;
  TTapiMode tapi_mode_ = TTapiMode::tmAuto;
  bool open_ = false;
  uint16_t tapi_handle_ = 0;
};

class TApdComPort : public TApdCustomComPort {
 public:
  using TApdCustomComPort::TApdCustomComPort;
};

}  // namespace telvane
