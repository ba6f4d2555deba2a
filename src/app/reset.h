// The controller's reset, and its versions read back once it is up again:
// shared by the update (versions after its reset request) and the front
// ends' reset command.
//
// A reset ends ISP mode and update mode. Through the CP2112 it is a power
// cycle: power off and chip enable driven low, a pause, power on and chip
// enable high again. The custom board powers the controller itself
// and gives the host no chip enable, so there it is the controller's own
// reset request (0x11 to the mode register), sent once the controller is
// not busy. Either way the controller counts as back only when its status
// reads ready and its interface block and version block read as a
// controller's (not the idle bus); every wait is bounded.
#pragma once

#include <cstdint>
#include <string>

// Longest wait for the controller to come back after a reset.
constexpr uint32_t RESET_COME_BACK_MS = 5000;

struct ControllerVersions {
  uint16_t core = 0;
  uint16_t app = 0;
  uint16_t para = 0;
};

// "01.02": a version as the tool prints it.
std::string controller_version_text(uint16_t version);

// Reads the version block: false when the read failed or read the idle bus.
bool controller_versions_read(ControllerVersions* versions);

// Waits up to `limit_ms` for the controller to be back (see above) and
// reads its versions. False when it did not come back in time (or the
// bridge failed); `versions` is then untouched.
bool controller_wait_back(uint32_t limit_ms, ControllerVersions* versions);

// Resets the controller through the bound bridge (see above) and waits for
// it, bounded by RESET_COME_BACK_MS. True with the versions read after it;
// false with the reason in `reason` (one phrase, no full stop).
bool target_reset(ControllerVersions* versions, std::string* reason);
