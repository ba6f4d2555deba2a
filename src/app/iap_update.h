// IAP firmware update: writes the image into the controller's flash through
// the controller's own page buffer and command block.
//
// Registers (16-bit addresses, framing by app/master.h):
//   0x0150  10 bytes  interface block: acProtocolName[8], usProtocolVersion
//   0x1010   5 bytes  log control block (tLogCtrlBlock)
//   the IAP command block and data window of app/iap_command.h
//
// Image offset o goes to flash address 0x4000 + o. Three write procedures:
//   A  (CP2112)                128-byte units, 16-byte chunks, 2 ms apart
//   B1 (custom board, query 0) 128-byte units, 32-byte chunks
//   B2 (custom board, query 1) 4 KiB units, 48-byte chunks and a tail, each
//                              unit checked by checksum, 5 attempts per unit
#pragma once

#include "app/iap_command.h"
#include "app/reset.h"

#include <array>
#include <cstddef>
#include <cstdint>

constexpr uint16_t REG_INTERFACE = 0x0150;

constexpr uint32_t IAP_IMAGE_BASE = 0x4000;  // flash address of image offset 0
constexpr uint8_t IAP_MAX_ATTEMPTS = 5;      // per 4 KiB unit

// How the last update ended, for the process exit code.
enum UpdateOutcome : uint8_t {
  UPDATE_NOT_RUN = 0,
  UPDATE_SAME_VERSION,  // controller already had the release versions; nothing written
  UPDATE_WRITTEN,       // every unit written, reset requested
  UPDATE_FAILED,        // a unit failed its checks or the bridge failed
  UPDATE_INTERRUPTED,   // Ctrl+C (or the space bar in a wait) ended it before the image was written
};
extern UpdateOutcome g_update_outcome;

// When set, the update verifies the written range through the IAP verify
// (app/iap_verify.h) after the last unit and before the reset request; a
// range that does not match ends in the failure ending, with no reset.
extern bool g_verify_after_write;

// How far the last update could check what it wrote: units_checked when
// its procedure checked every unit against its checksum (the 4 KiB units);
// the 128-byte procedures cannot see a unit the controller stored wrongly.
// verified when the verify of g_verify_after_write found the whole range
// matching.
extern bool g_update_units_checked;
extern bool g_update_verified;

// The controller's versions as the last update read them before it wrote
// anything; g_update_versions_read is false when that read failed (or the
// update ended before it).
extern bool g_update_versions_read;
extern ControllerVersions g_update_versions_before;

// The unit query's answer: non-zero 4 KiB units, 0 128-byte units.
extern uint32_t FLASH_4KB_UPDATE_MODE;

// The whole update. Returns 1 when the controller already holds the release
// versions and nothing was written, 0 otherwise (see g_update_outcome).
// `force` writes the image even then.
uint8_t emulboard_cp2112_program_to_flash_using_iapmode_Customer(bool force = false);

// Whether the interface block read from the controller shows nobody there:
// the idle bus, all ones (the custom board cannot report a missing
// acknowledge), or, on the CP2112, a read that got none. Then it prints "No
// answer from the touch controller at address 0xNN." and sets the run's
// reason. `read`: whether the read of `block` succeeded.
bool iap_no_controller(bool read, const uint8_t* block, size_t size);

// CRC-16 lookup, polynomial 0x8005, most significant bit first: entry i is
// the CRC of the single byte i.
constexpr std::array<uint16_t, 256> crc16_lut_build() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < table.size(); ++i) {
    uint16_t crc = static_cast<uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ 0x8005) : static_cast<uint16_t>(crc << 1);
    }
    table[i] = crc;
  }
  return table;
}
inline constexpr std::array<uint16_t, 256> CRC16Lut = crc16_lut_build();
static_assert(CRC16Lut[1] == 0x8005 && CRC16Lut[2] == 0x800F && CRC16Lut[3] == 0x000A);
static_assert(CRC16Lut[0x80] == 0x8303 && CRC16Lut[0xFF] == 0x0202);

// CRC-16 (CRC16Lut, no final XOR) from `seed` over every second word of
// `words` below `count` (indices 0, 2, 4, ...), each word high byte first.
uint16_t Crc16WordCalc(const uint16_t* words, uint32_t count, uint16_t seed);

// The unit checksum: the unit as little-endian 16-bit words, a CRC-16 over
// the even words and one over the odd words, ~((odd << 16) | even).
// `length` is a multiple of 4.
uint32_t iap_unit_checksum(const uint8_t* unit, uint32_t length);
