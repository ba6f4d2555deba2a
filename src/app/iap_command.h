// The controller's IAP command block and data window, shared by the update
// (app/iap_update.h) and the verify (app/iap_verify.h).
//
// Registers (16-bit addresses, framing by app/master.h):
//   0x1400   8 bytes  IAP command block: ulAddress (LE32), usLength (LE16),
//                     ucResult, ucCommand. Writing ucCommand starts the
//                     command; the controller puts its answer in ucResult.
//   0x6000..0x6FFF    IAP data window (the controller's page buffer); after a
//                     program command its first 4 bytes take the unit checksum
#pragma once

#include <array>
#include <cstdint>

constexpr uint16_t REG_IAP_COMMAND = 0x1400;
constexpr uint16_t REG_IAP_WINDOW = 0x6000;

constexpr uint8_t IAP_PROGRAM = 3;     // program usLength window bytes at ulAddress
constexpr uint8_t IAP_CHECK = 5;       // ucResult non-zero: unit matches the checksum (or the window)
constexpr uint8_t IAP_UNIT_QUERY = 8;  // ucResult non-zero: 4 KiB units

constexpr uint16_t IAP_COMMAND_SIZE = 8;
constexpr uint16_t IAP_RESULT_OFFSET = 6;

// The 8-byte IAP command block, little-endian fields, ucResult 0.
constexpr std::array<uint8_t, IAP_COMMAND_SIZE> iap_command_block(uint32_t address, uint16_t length, uint8_t command) {
  return {static_cast<uint8_t>(address),       static_cast<uint8_t>(address >> 8),
          static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24),
          static_cast<uint8_t>(length),        static_cast<uint8_t>(length >> 8),
          0,                                   command};
}
static_assert(iap_command_block(0x00014080, 128, IAP_CHECK) ==
              std::array<uint8_t, IAP_COMMAND_SIZE>{0x80, 0x40, 0x01, 0x00, 0x80, 0x00, 0x00, 0x05});
