// The serial-port component that the line device requires before it dials.
//
// In voice mode the port is never opened: the line device only checks that one is assigned
// and would hand the call's port over to it in data mode. This is the least of the
// component that the line device relies on: its baud rate and the automatic-open switch.
#pragma once

#include <cstdint>

#include "platform/component.h"

namespace telvane {

class TApdCustomComPort : public TApdBaseComponent {
 public:
  explicit TApdCustomComPort(TApdBaseComponent* owner = nullptr) : TApdBaseComponent(owner) {}

  int32_t Baud() const { return baud_; }
  void SetBaud(int32_t baud) { baud_ = baud; }

  // Whether the port opens itself when it is first used.
  bool AutoOpen() const { return auto_open_; }
  void SetAutoOpen(bool auto_open) { auto_open_ = auto_open; }

 private:
  int32_t baud_ = 19200;
  bool auto_open_ = true;
};

class TApdComPort : public TApdCustomComPort {
 public:
  using TApdCustomComPort::TApdCustomComPort;
};

}  // namespace telvane
