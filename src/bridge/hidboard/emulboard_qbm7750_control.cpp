// Placeholder until the board's report protocol lands: no board is ever found.
#include "bridge/hidboard/emulboard_qbm7750_control.h"

#include "bridge/hidboard/usb_drv_qbm7750.h"

int emulboard_qbm7750_init(void) { return 0; }
void emulboard_qbm7750_close(void) { usb_drv_qbm7750_close(); }
int emulboard_qbm7750_usb_write(const uint8_t*, uint16_t) { return 0; }
int emulboard_qbm7750_usb_read(uint8_t*, uint16_t) { return 0; }
int emulboard_qbm7750_set_i2c_slave_addr(uint32_t, uint32_t) { return 0; }
int emulboard_qbm7750_set_i2c_speed(uint32_t) { return 0; }
int emulboard_qbm7750_read_intr(int) { return 1; }
int emulboard_qbm7750_set_intr_dir(uint8_t) { return 0; }
int emulboard_qbm7750_set_intr_value(uint8_t) { return 0; }
int emulboard_qbm7750_poweron(int) { return 1; }
int emulboard_qbm7750_shutdown(int) { return 1; }
int emulboard_qbm7750_set_ce_value(uint8_t) { return 0; }
void emulboard_qbm7750_set_vdd(void) {}
void emulboard_qbm7750_set_ce_dir(void) {}
