// Custom USB HID bridge board: the bridge operations over its report protocol.
#pragma once

#include <cstdint>

// Finds and opens the board; 1 when it is open, 0 when none was found.
int emulboard_qbm7750_init(void);
// Closes the board; nothing when it is not open.
void emulboard_qbm7750_close(void);

int emulboard_qbm7750_usb_write(const uint8_t* data, uint16_t length);
int emulboard_qbm7750_usb_read(uint8_t* buffer, uint16_t length);
int emulboard_qbm7750_set_i2c_slave_addr(uint32_t unused, uint32_t address7);
int emulboard_qbm7750_set_i2c_speed(uint32_t bits_per_second);
int emulboard_qbm7750_read_intr(int unused);
int emulboard_qbm7750_set_intr_dir(uint8_t direction);
int emulboard_qbm7750_set_intr_value(uint8_t level);
int emulboard_qbm7750_poweron(int unused);
int emulboard_qbm7750_shutdown(int unused);
int emulboard_qbm7750_set_ce_value(uint8_t level);
void emulboard_qbm7750_set_vdd(void);
void emulboard_qbm7750_set_ce_dir(void);
