// Bridge operation table and register access.
//
// Everything sent to the touch controller goes through the eleven slots
// below, bound by app_download_init to the chosen bridge. A register write is
// one I2C write of the 16-bit register address (high byte first) followed by
// the data; a register read is that address write followed by a separate
// I2C read.
//
// Limits callers keep: a write carries at most 60 bytes including the
// register address; a read at most 128 bytes on the CP2112 (the custom board
// splits longer reads).
#pragma once

#include <cstdint>

// Slot types. Results: non-zero (low byte) means success where a slot has
// one; slots whose result nobody relies on still return the bridge's value.
using emul_i2c_write_t = int (*)(const uint8_t* data, uint16_t length);
using emul_i2c_read_t = int (*)(uint8_t* buffer, uint16_t length);
using emul_i2c_set_slave_addr_t = int (*)(uint32_t unused, uint32_t address7);
using emul_i2c_set_speed_t = int (*)(uint32_t bits_per_second);
using emul_read_intr_t = int (*)(int unused);
using emul_set_intr_dir_t = int (*)(uint8_t direction);
using emul_set_intr_t = int (*)(uint8_t level);
using emul_tkey_power_t = int (*)(int unused);
using emul_i2c_tkey_set_ce_t = int (*)(uint8_t level);
using emul_i2c_usb_close_t = void (*)(void);

extern emul_i2c_write_t emul_i2c_write;
extern emul_i2c_read_t emul_i2c_read;
extern emul_i2c_set_slave_addr_t emul_i2c_set_slave_addr;
extern emul_i2c_set_speed_t emul_i2c_set_speed;
extern emul_read_intr_t emul_read_intr;              // 0: interrupt line asserted
extern emul_set_intr_dir_t emul_set_intr_dir;
extern emul_set_intr_t emul_set_intr;
extern emul_tkey_power_t emul_tkey_power_on;
extern emul_tkey_power_t emul_tkey_power_off;
extern emul_i2c_tkey_set_ce_t emul_i2c_tkey_set_ce;  // 1: chip enable high
extern emul_i2c_usb_close_t emul_i2c_usb_close;

// Number of register-address bytes sent ahead of register data (2).
extern int32_t g_sub_addr_;
// The controller's address: 7-bit from the command line; the CP2112 keeps
// its shifted 8-bit form here once it has been told the address.
extern uint8_t g_slave_addr;

// Bridge codes of emul_board.
constexpr int8_t BOARD_NONE = 0;
constexpr int8_t BOARD_CP2112 = 3;
constexpr int8_t BOARD_HIDBOARD = 5;

// Binds the table for a bridge code (3 CP2112, 5 custom board); any other
// code empties every slot.
void app_download_init(uint8_t board);

// Multi-byte fields of register blocks are little-endian.
inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// Register write: address then data in one I2C write. Returns 1 when the
// bridge took the write, 0 when it failed (or the frame could not be built).
int i2c_write_to(uint16_t reg, const uint8_t* data, uint16_t count);
// Register write with the data bytes as arguments (their low bytes).
int i2c_write(int32_t count, uint32_t reg, ...);
// Register read: address write, then a separate read of `count` bytes.
// Returns 1 when both transfers succeeded.
int i2c_read_from(uint16_t reg, uint8_t* buffer, uint16_t count);
// Register read of any length: one address write, then reads of at most the
// bridge's per-read limit (128 bytes on the CP2112; the custom board splits
// on its own), each continuing where the previous one stopped. The buffer is
// cleared first, so a failed read never leaves older data looking current.
// Returns 1 when every transfer succeeded, 0 at the first that failed.
int i2c_read_from_long(uint16_t reg, uint8_t* buffer, uint32_t count);
// Largest single read the bound bridge takes (0 when no bridge is bound).
uint32_t emul_max_read_length(void);
// Plain I2C read, the bridge's result passed through.
int i2c_read(uint8_t* buffer, uint16_t count);
// Pauses for `ms` milliseconds (not microseconds, whatever the name says).
void emul_usdelay(uint32_t ms);

// Sends the controller's 22-byte start packet, searching the addresses 1 to
// 127 once when the current one does not answer. Returns the result of the
// final one-byte write, or 0 when no address answered.
int master_Send_StartPacket(void);
