// kdtool's flash commands: dump, program, verify and erase.
//
// Each takes a bridge that is already brought up (emul_board set, the table
// bound, the slave address set) and returns kdtool's exit code: 0 done,
// 1 failed (a line above says why), 2 the file cannot be used, 3 the command
// needs a CP2112 and none is in use (a line on stderr says so). dump, program and
// erase drive the controller's ISP mode, which the CP2112 alone can do.
#pragma once

#include <cstdint>

#include "app/iap_verify.h"
#include <vector>

// `length` bytes of the flash from `start` (multiples of 4; by default the
// whole 128 KiB) into `file`, which is replaced only by a whole dump.
// `failed_at`, when given, receives the first address not dumped.
int kdtool_cmd_dump(const char* file, uint32_t start = 0, uint32_t length = 0x20000, uint32_t* failed_at = nullptr);
// Mass erase, then `file` from flash address 0 (`shown_name`: see
// emulboard_cp2112_program_to_flash_using_ispmode).
int kdtool_cmd_program(const char* file, const char* shown_name = nullptr);
// The same for an image in memory; `name` is the file it was read from.
int kdtool_cmd_program_image(const std::vector<uint8_t>& image, const char* name);
// How a verify ended, for its verdict.
struct KdtoolVerify {
  bool keep_going = false;               // in: check every unit, past the first mismatch
  VerifyOutcome outcome = VERIFY_FAILED;
  bool compared = false;                 // any unit was checked (the controller took update mode)
  uint32_t where = 0;                    // the first unit that did not match or could not be checked
  uint32_t filled_to = 0;                // see below
  std::vector<uint32_t> mismatches;      // every unit found different
};
// The IAP verify of `file` (or, when given, of `data`, which `file` names)
// against the flash from `at`; the verdict is the caller's (its line is
// iap_verify_verdict, or "Verify FAILED: REASON" when nothing was
// compared). A controller with the full interface is put into update mode
// for the checks and reset afterwards. The checks end at the first unit that
// differs unless `result->keep_going`. The controller compares whole
// 128-byte units: when the file does not fill its last one, a warning says
// so before the checks, and `filled_to` receives the file's end when that
// unit is where the verify stopped (else 0).
int kdtool_cmd_verify(const char* file, uint32_t at, const std::vector<uint8_t>* data = nullptr,
                      KdtoolVerify* result = nullptr);
// The sector erase at 0x2000.
int kdtool_cmd_erase(void);
