// IAP verify and the sector erase.
//
// The verify compares raw bytes with the flash through the controller's own
// IAP command block (app/iap_command.h): per 128-byte
// unit, the unit's data into the window 0x6000 (four 32-byte writes, 2 ms
// apart), the command block {address, 128, 0, 5} to 0x1400, the ready wait,
// then the block is read back until ucResult is not 0: 1 the unit matches,
// any other value a mismatch. A last partial unit is filled with 0xFF, so the
// flash past the end of the data must be erased to match. It works over
// either bridge.
//
// The read-back of ucResult is judged only on reads that succeeded and ends,
// failing, when no answer came within VERIFY_RESULT_LIMIT_MS (and at least
// VERIFY_RESULT_MIN_READS reads) or on Ctrl+C. A verify that could not check
// every unit (a bridge failure, a wait ended early, no answer) is a failure:
// it clears verify_result like a mismatch, since nothing was shown to match.
//
// The sector erase drives the controller's ISP mode over the CP2112 alone
// (bridge/cp2112/emulboard_cp2112_isp.h): it erases the sector holding flash
// address 0x2000 and leaves the controller in ISP mode and the bit rate at
// 100000.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t IAP_VERIFY_BASE = 0x2000;
constexpr uint32_t IAP_VERIFY_UNIT = 128;
constexpr uint8_t IAP_VERIFY_MATCH = 1;
constexpr uint32_t VERIFY_RESULT_LIMIT_MS = 1000;
constexpr uint32_t VERIFY_RESULT_MIN_READS = 10;

// 1 at program start; cleared at the first unit that does not match (or
// cannot be checked) and never set again.
extern uint32_t verify_result;

enum VerifyOutcome : uint8_t {
  VERIFY_MATCH = 0,   // every unit matched
  VERIFY_MISMATCH,    // at least one unit did not match
  VERIFY_FAILED,      // the verify could not be carried out (file, bridge, no answer, Ctrl+C)
};

// Compares `size` bytes with the flash from `base`, printing "%dK\n" after
// each unit at a multiple of 1024 and the "verify End!!!" time line.
// `where`, when given, receives the first unit that did not match or could
// not be checked; `stop_at_mismatch` ends the checks there; `mismatches`,
// when given, receives the address of every unit that did not match. Data
// running past the end of the flash is refused.
VerifyOutcome iap_verify_buffer(const uint8_t* data, uint32_t size, uint32_t base, uint32_t* where = nullptr,
                                bool stop_at_mismatch = false, std::vector<uint32_t>* mismatches = nullptr);
// The same for a file, after "filesize = %d\n". A file that cannot be opened
// prints "Can not find Filename = %s\n" and reads nothing.
VerifyOutcome iap_verify_file(const char* path, uint32_t base, uint32_t* where = nullptr, bool stop_at_mismatch = false,
                              std::vector<uint32_t>* mismatches = nullptr);
// "Verify OK", "Verify FAILED at 0x%05X" (the flash differs there), or for a
// check that could not be made "Verify FAILED at 0x%05X: REASON", one line.
// `filled_to`, when not 0, is where the data end inside the unit at `where`:
// a mismatch there adds ", in a unit that the file fills only to 0x%05X:
// the rest is compared as erased".
void iap_verify_print_verdict(VerifyOutcome outcome, uint32_t where, uint32_t filled_to = 0);
// That line, without its line break.
std::string iap_verify_verdict(VerifyOutcome outcome, uint32_t where, uint32_t filled_to = 0);
// That addition alone ("" when `filled_to` is 0).
std::string iap_verify_partial_unit(uint32_t filled_to);

// The file against the flash from 0x2000; the verdict is left in
// verify_result.
void emulboard_cp2112_verify_to_flash_using_iapmode(const char* path);
// Sector erase at 0x2000 over the CP2112; prints "Sector erase complete".
// 1 when the controller reported it done, else 0 (a line says which step
// failed).
int emulboard_cp2112_erase_for_iapmode(void);
