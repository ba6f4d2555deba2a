// ISP-mode flash access over the CP2112: the controller's flash controller
// driven directly through 32-bit register words.
//
// Frames (to g_slave_addr, which these operations never change):
//   write  one I2C write of 6 bytes: register (16-bit, high byte first), then
//          the 32-bit value, most significant byte first
//   read   the 2-byte register address, then a 4-byte read, most significant
//          byte first; "the low byte" is the fourth byte received
//
// Status 0x000C reports completion in its low byte: 0x40 for erase, program
// and read commands, 0x20 for the protection command; writing those bits
// clears them. Each status poll is judged only on reads that succeeded and
// ends, failing with a line that names the step, when the bit has not come
// within ISP_POLL_LIMIT_MS (and at least ISP_POLL_MIN_READS reads), or at
// once on Ctrl+C (gloop 0). Every frame after the entry sequence (register
// writes, and the address write of each read) is judged by the CP2112's
// transfer status, since the bridge takes a write whatever the controller
// answers: a frame the controller refused (NACK) is sent again, up to
// ISP_FRAME_ATTEMPTS times, and then fails the operation with a line naming
// the step; a frame the bridge did not take fails it at once. Otherwise the
// flash controller would act on a stale register, and a read would answer
// from wherever the last frame left the register pointer.
//
// Files (raw, no header): the dump holds the flash from address 0, each word
// least significant byte first (the reverse of the wire order); a program
// file has the same form, read whole, then sent in 128-byte blocks for flash
// addresses 0, 128, 256, ... A last partial block is filled with 0xFF
// (erased flash).
//
// The operations leave the controller in ISP mode (only a power cycle ends
// it) and the bit rate at 400000 (the sector erase of app/iap_verify.h
// leaves 100000).
#pragma once

#include <cstdint>

constexpr uint16_t ISP_REG_KEY = 0x0004;
constexpr uint16_t ISP_REG_STATUS = 0x000C;
constexpr uint16_t ISP_REG_COMMAND = 0x0010;
constexpr uint16_t ISP_REG_ADDRESS = 0x0014;
constexpr uint16_t ISP_REG_SETUP = 0x0018;
constexpr uint16_t ISP_REG_SETUP2 = 0x001C;
constexpr uint16_t ISP_REG_DATA0 = 0x0028;
constexpr uint16_t ISP_REG_READ_DATA = 0x0030;
constexpr uint16_t ISP_REG_PROTECTION = 0x00D0;
constexpr uint16_t ISP_REG_DATA1 = 0x0100;  // words 1 to 31 of a block, 4 bytes apart

constexpr uint32_t ISP_CMD_PROGRAM = 0x1041;
constexpr uint32_t ISP_CMD_SECTOR_ERASE = 0x1042;
constexpr uint32_t ISP_CMD_MASS_ERASE = 0x1044;
constexpr uint32_t ISP_CMD_READ = 0x1048;
constexpr uint32_t ISP_CMD_PROTECTION = 0x80000041;

constexpr uint8_t ISP_STATUS_DONE = 0x40;        // erase, program, read
constexpr uint8_t ISP_STATUS_PROTECTION = 0x20;  // protection command
constexpr uint32_t ISP_STATUS_CLEAR = 0x60;

constexpr uint32_t ISP_FLASH_SIZE = 0x20000;
constexpr uint32_t ISP_BLOCK_SIZE = 128;

constexpr uint32_t ISP_POLL_LIMIT_MS = 2000;  // far beyond a mass erase of this flash
constexpr uint32_t ISP_POLL_MIN_READS = 10;
constexpr uint32_t ISP_FRAME_ATTEMPTS = 3;  // per frame the controller refuses

// Entry sequence (three entry codes, two unlock words), then a read of
// 0x0010. 1 when every frame was delivered, else 0.
int _emulboard_cp2112_ispmode_enter(void);
// Clears the flash protection; prints "protection unlock complete". 1 when
// the controller reported the protection command done, else 0 (a line says
// which step failed).
int _emulboard_cp2112_ispmode_Unlock_protection(void);
// Reads the flash into `path`: `length` bytes from `start` (both multiples
// of 4; by default the whole 128 KiB). The file is written under a new name
// beside `path` and renamed over it once the last word is on the disk
// (platform/file_open.h), so a dump that fails leaves `path` as it was. 1
// when every byte was read and written, else 0. `failed_at`, when given,
// receives the address of the first word that was not read or written (the
// start when the finished file could not be put in place); a failed write
// sets the reason "cannot write PATH: SYSTEM REASON".
int emulboard_cp2112_dump_from_flash_using_ispmode(const char* path, uint32_t start = 0,
                                                   uint32_t length = ISP_FLASH_SIZE, uint32_t* failed_at = nullptr);
// Mass-erases the flash and programs `path` from address 0. An empty file or
// one larger than the flash is refused before ISP mode is entered. 1 when
// every block completed; stops at the first block that did not (0).
// `shown_name`, when given, is the name the first line shows instead of
// `path` (a flat image made from a HEX file).
int emulboard_cp2112_program_to_flash_using_ispmode(const char* path, const char* shown_name = nullptr);
// The same for `size` bytes in memory (a flat image made from a HEX file, a
// file read once and checked), with no file in between; `name` is the name
// the first line shows.
int emulboard_cp2112_program_image_using_ispmode(const uint8_t* image, uint32_t size, const char* name);

// Sets the bit rate; 1 done, 0 refused (a line says so).
int emulboard_cp2112_isp_set_speed(uint32_t bits_per_second);
// Names the step in the line of a frame that is refused (the operations
// above name their own).
void emulboard_cp2112_isp_step(const char* what);
// One ISP register write. 1 acknowledged by the controller; 0 failed (a line
// names the step and the register).
int emulboard_cp2112_isp_write(uint16_t reg, uint32_t value);
// Polls the status for `bit` (see above). `what` names the step in the line
// printed when the poll fails. 1 when the bit came, else 0.
int emulboard_cp2112_isp_wait_status(uint8_t bit, const char* what);
// Prints "[hh:mm:ss] " (local time) and `text`: the start and end lines.
void emulboard_cp2112_isp_print_time(const char* text);
