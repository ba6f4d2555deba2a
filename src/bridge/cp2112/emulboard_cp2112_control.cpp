// Placeholder until the CP2112 bridge lands: no CP2112 is ever found.
#include "bridge/cp2112/emulboard_cp2112_control.h"

int emulboard_cp2112_init(void) { return 0; }
int emulboard_cp2112_i2c_write(const uint8_t*, uint16_t) { return 0; }
int emulboard_cp2112_i2c_read(uint8_t*, uint16_t) { return 0; }
int emulboard_cp2112_set_i2c_slave_addr(uint32_t, uint32_t) { return 0; }
int emulboard_cp2112_set_i2c_speed(uint32_t) { return 0; }
int emulboard_cp2112_read_intr(int) { return 1; }
int emulboard_cp2112_set_intr_dir(uint8_t) { return 0; }
int emulboard_cp2112_set_intr_value(uint8_t) { return 0; }
int emulboard_cp2112_poweron(int) { return 1; }
int emulboard_cp2112_shutdown(int) { return 1; }
int emulboard_cp2112_set_ce_value(uint8_t) { return 0; }
