// Whether a fixture holds a controller, seen through its bridge, and its
// power: what a production station asks of a bridge between two units.
//
// Both calls open the one bridge that the transport's restriction leaves
// (hid_transport_restrict) as the kind given, and close it again. Neither
// runs the bring-up: opening a CP2112 the usual way drives chip enable low,
// which would power-cycle a module at every look. Instead a look powers the
// controller only when chip enable is not already high, and then gives it
// the bring-up's 160 ms to start. The custom board powers the controller
// itself and offers no switch.
#pragma once

#include "app/reset.h"

#include <string>

enum class Presence {
  kAnswers,   // a controller answered: status, interface and version blocks read
  kAbsent,    // the bridge works, no controller answers at the address
  kNoBridge,  // the bridge could not be opened or failed
};

// One look at the fixture behind the bridge (`cp2112` or the custom board).
// `versions` is set when the controller answered. `why` says why a bridge
// failed (kNoBridge).
Presence controller_presence(bool cp2112, ControllerVersions* versions, std::string* why);

// Switches the controller off: on a CP2112 chip enable is driven low (as a
// reset does); the custom board has no switch (false, with why). False with
// why when the bridge could not be opened.
bool controller_power_off(bool cp2112, std::string* why);
