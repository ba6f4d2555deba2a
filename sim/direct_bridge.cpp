#include "direct_bridge.h"

#include "app/master.h"
#include "platform/hid.h"

namespace {

I2cTarget* g_target = nullptr;
uint8_t g_address7 = 0x34;
long g_transfers = 0;
long g_unplug_after = -1;  // transfers left before the unplug; negative: never

// Counts a transfer; false once the bridge has been unplugged.
bool take_transfer() {
  if (g_unplug_after == 0) return false;
  if (g_unplug_after > 0) --g_unplug_after;
  ++g_transfers;
  return g_target != nullptr;
}

int direct_write(const uint8_t* data, uint16_t length) {
  if (!take_transfer()) return 0;
  return g_target->i2c_write(g_address7, data, length) ? 1 : 0;
}

int direct_read(uint8_t* buffer, uint16_t length) {
  if (!take_transfer()) return 0;
  return g_target->i2c_read(g_address7, buffer, length) ? 1 : 0;
}

int direct_set_slave_addr(uint32_t, uint32_t address7) {
  g_address7 = static_cast<uint8_t>(address7 & 0x7F);
  return 1;
}

int direct_ok_u32(uint32_t) { return 1; }
int direct_read_intr(int) { return 1; }
int direct_ok_u8(uint8_t) { return 1; }
int direct_ok_int(int) { return 1; }
void direct_close(void) {}

}  // namespace

void direct_bridge_bind(I2cTarget* target) {
  g_target = target;
  hid_transport_forget_lost();  // a bridge of its own: an earlier unplug is not this one's
  g_address7 = 0x34;
  g_transfers = 0;
  g_unplug_after = -1;
  emul_i2c_write = direct_write;
  emul_i2c_read = direct_read;
  emul_i2c_set_slave_addr = direct_set_slave_addr;
  emul_i2c_set_speed = direct_ok_u32;
  emul_read_intr = direct_read_intr;
  emul_set_intr_dir = direct_ok_u8;
  emul_set_intr = direct_ok_u8;
  emul_tkey_power_on = direct_ok_int;
  emul_tkey_power_off = direct_ok_int;
  emul_i2c_tkey_set_ce = direct_ok_u8;
  emul_i2c_usb_close = direct_close;
}

void direct_bridge_unplug_after(long transfers) { g_unplug_after = transfers < 0 ? -1 : transfers; }

long direct_bridge_transfer_count(void) { return g_transfers; }

uint8_t direct_bridge_address(void) { return g_address7; }
