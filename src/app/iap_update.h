// IAP firmware update: writes the image into the controller's flash through
// the controller's own page buffer and command block.
#pragma once

#include <cstdint>

// How the last update ended, for the process exit code.
enum UpdateOutcome : uint8_t {
  UPDATE_NOT_RUN = 0,
  UPDATE_SAME_VERSION,  // controller already had the release versions; nothing written
  UPDATE_WRITTEN,       // every unit written, reset requested
  UPDATE_FAILED,        // a unit failed its checks or the bridge failed
  UPDATE_INTERRUPTED,   // Ctrl+C ended it before the image was written
};
extern UpdateOutcome g_update_outcome;

// The unit query's answer: non-zero 4 KiB units, 0 128-byte units.
extern uint32_t FLASH_4KB_UPDATE_MODE;

// The whole update. Returns 1 when the controller already holds the release
// versions and nothing was written, 0 otherwise (see g_update_outcome).
uint8_t emulboard_cp2112_program_to_flash_using_iapmode_Customer(void);
