// What a voice modem is and can do, asked once when the service reads the lines file: its
// identity (ATI), its classes (+FCLASS=? or the "#" set's #CLS=?), and for a V.253 modem its
// codecs (+VSM=?) and line states (+VLS=?). A modem without a voice class, without a codec the
// driver can send or without a telephone line state is offered for data only.
//
// The probe talks to the port directly, waiting for each answer with a time-out: it runs
// before any message loop does.
#pragma once

#include <string>

#include "linesvc/modem/modem_protocol.h"
#include "linesvc/modem/modem_settings.h"
#include "linesvc/modem/serial_port.h"

namespace telvane::linesvc {

// The V.253 voice commands (+FCLASS=8, +VSM, +VTX...) or the older "#" set (#CLS=8, #VTX...).
enum class CommandSet { kV253, kHash };

struct ModemCaps {
  std::string identity;
  bool voice = false;
  CommandSet set = CommandSet::kV253;
  ModemCodec codec;
  std::string why_not_voice;
};

// Fills *caps from the modem's answers. False with the reason in *error when the modem does
// not answer, or has not the codec the settings ask for.
bool ProbeModem(SerialPort& port, const ModemSettings& settings, ModemCaps* caps,
                std::string* error);

}  // namespace telvane::linesvc
