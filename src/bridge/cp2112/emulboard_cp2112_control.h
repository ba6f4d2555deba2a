// CP2112 HID-to-SMBus bridge: the bridge operations over the driver layer.
//
// Board wiring: GPIO.2 is the controller's INTR line, GPIO.3 its CE line.
// Power is not switched through this bridge. Transfers address the slave
// g_slave_addr in its 8-bit form (7-bit address << 1), which
// emulboard_cp2112_set_i2c_slave_addr stores there.
//
// Results: 1 success, 0 failure. Limits: a write carries at most 61 bytes
// (register address included), a read at most 128; longer ones return 0 and
// put nothing on the bus.
#pragma once

#include <cstdint>

constexpr uint8_t CP2112_PIN_INTR = 0x04;  // GPIO.2
constexpr uint8_t CP2112_PIN_CE = 0x08;    // GPIO.3
constexpr uint16_t CP2112_WRITE_LIMIT = 61;
constexpr uint16_t CP2112_READ_LIMIT = 128;

// Every read response is gathered here before it is copied to the caller.
extern uint8_t appRecvBuffer[CP2112_READ_LIMIT];
// Frames this part builds itself: a register address, or one plus a word.
extern uint8_t appSendBuffer[64];

// Finds, opens and prepares the CP2112 (all pins outputs but CE, latch mask
// GPIO.2|GPIO.3, INTR high, CE low). 1 when it is ready; 0 when none was
// found, or one was found but could not be opened (a line on the console
// then says why).
int emulboard_cp2112_init(void);

int emulboard_cp2112_i2c_write(const uint8_t* data, uint16_t length);
int emulboard_cp2112_i2c_read(uint8_t* buffer, uint16_t length);
// Stores address7 * 2 (cut to 8 bits) in g_slave_addr and writes the fixed
// SMBus configuration: 400000 bit/s, auto read respond, 100 ms write, read
// and response timeouts, SCL low timeout on. Set the address before the bit
// rate: this resets the rate.
int emulboard_cp2112_set_i2c_slave_addr(uint32_t unused, uint32_t address7);
int emulboard_cp2112_set_i2c_speed(uint32_t bits_per_second);
// The INTR latch bit, 0 or 1.
int emulboard_cp2112_read_intr(int unused);
// 1 makes the pin an input, anything else an output.
int emulboard_cp2112_set_intr_dir(uint8_t direction);
int emulboard_cp2112_set_ce_dir(uint8_t direction);
// 1 drives the pin high, anything else low. Each latch write sends the mask
// held in the driver's record, so the other pin is re-driven with the level
// just read back.
int emulboard_cp2112_set_intr_value(uint8_t level);
int emulboard_cp2112_set_ce_value(uint8_t level);
// Power is not switched through this bridge: these do nothing.
int emulboard_cp2112_poweron(int unused);
int emulboard_cp2112_shutdown(int unused);
void emulboard_cp2112_set_vdd(void);

// Register read: writes the 2-byte address `reg`, then reads `length` bytes
// in a separate transfer.
int emulboard_cp2112_i2c_read_from(uint8_t* buffer, uint16_t length, uint16_t reg);
// Read of `length` bytes from the 8-bit slave byte `slave`.
int _emulboard_cp2112_i2c_read(uint8_t slave, uint8_t* buffer, uint16_t length);
// One write of `reg` (high byte first) followed by the 4 bytes of `word`.
int _emulboard_cp2112_i2c_write_to(uint16_t reg, const uint8_t* word);
// Whether the last transfer was acknowledged on the bus (the CP2112's
// transfer status; a write returns once its report is out, whatever the
// target answered). 1 acknowledged, 0 refused or unknown.
int emulboard_cp2112_transfer_acknowledged(void);
