// CP2112 HID-to-SMBus bridge: the bridge operations over the driver layer.
#pragma once

#include <cstdint>

// Finds and prepares the CP2112; 1 when one is ready, 0 when none was found.
int emulboard_cp2112_init(void);

int emulboard_cp2112_i2c_write(const uint8_t* data, uint16_t length);
int emulboard_cp2112_i2c_read(uint8_t* buffer, uint16_t length);
int emulboard_cp2112_set_i2c_slave_addr(uint32_t unused, uint32_t address7);
int emulboard_cp2112_set_i2c_speed(uint32_t bits_per_second);
int emulboard_cp2112_read_intr(int unused);
int emulboard_cp2112_set_intr_dir(uint8_t direction);
int emulboard_cp2112_set_intr_value(uint8_t level);
int emulboard_cp2112_poweron(int unused);
int emulboard_cp2112_shutdown(int unused);
int emulboard_cp2112_set_ce_value(uint8_t level);
