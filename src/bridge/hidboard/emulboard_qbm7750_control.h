// Custom USB HID bridge board: the bridge operations over its report protocol.
//
// One output report per request, sent whole (g_OutputLength bytes):
//   byte 0     report ID 0x09
//   byte 1     7-bit I2C address in bits 7-1, bit 0 direction (1 read, 0 write)
//   bytes 2-3  transfer length, little-endian, 0 to 60
//   byte 4..   data of a write; bytes behind the data keep what earlier
//              requests left there
// A read request is answered by one input report carrying the bytes read from
// byte 4 on; a write request gets no answer. The address/direction byte
// persists between requests: setting the address keeps the direction bit, a
// read sets it, a write clears it. Reads longer than 60 bytes are split into
// exchanges of at most 60 bytes, each continuing where the slave stopped.
#pragma once

#include "bridge/hidboard/usb_drv_qbm7750.h"

#include <cstdint>

// The driver's device record, set by emulboard_qbm7750_init.
extern const tHIDDevice* kptHIDDevice;

// Finds and opens the board; 1 when it is open, 0 when none was found.
int emulboard_qbm7750_init(void);
// Closes the board; nothing when it is not open.
void emulboard_qbm7750_close(void);

// One write request of `length` data bytes. 1 when the request report went
// to the board (it says nothing about the slave's acknowledgement); 0 when it
// did not, when the board is not open, or when length exceeds 60 (nothing is
// sent then).
int emulboard_qbm7750_usb_write(const uint8_t* data, uint16_t length);
// Reads `length` bytes in exchanges of at most 60 (a length of 0 is one empty
// exchange). 1 on success; 0 when a report could not be sent or no answer
// came within the driver's read time limit (bytes of earlier exchanges stay in
// the buffer), or when the board is not open. Before each read request the
// input reports already waiting are thrown away (usb_drv_qbm7750_discard_input),
// so a late answer to an earlier exchange is never taken for this one's.
int emulboard_qbm7750_usb_read(uint8_t* buffer, uint16_t length);
// Puts the 7-bit address into byte 1, keeping the direction bit. 1 when the
// board is open, 0 (nothing changed) otherwise.
int emulboard_qbm7750_set_i2c_slave_addr(uint32_t unused, uint32_t address7);

// The board keeps its own bit rate, powers the target itself and has no
// interrupt or chip-enable pins for the host: these accept and do nothing.
int emulboard_qbm7750_set_i2c_speed(uint32_t bits_per_second);  // 0
int emulboard_qbm7750_read_intr(int unused);                     // always 1
int emulboard_qbm7750_set_intr_dir(uint8_t direction);           // always 0
int emulboard_qbm7750_set_intr_value(uint8_t level);             // 0
int emulboard_qbm7750_poweron(int unused);                       // always 1
int emulboard_qbm7750_shutdown(int unused);                      // always 1
int emulboard_qbm7750_set_ce_value(uint8_t level);               // 0
void emulboard_qbm7750_set_vdd(void);
void emulboard_qbm7750_set_ce_dir(void);
