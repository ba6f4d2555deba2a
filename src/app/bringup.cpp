#include "app/bringup.h"

#include "app/entry.h"
#include "app/master.h"
#include "bridge/cp2112/emulboard_cp2112_control.h"
#include "bridge/hidboard/emulboard_qbm7750_control.h"
#include "console/util_console.h"

#include <cstdio>

namespace {

constexpr uint32_t kBusSpeed = 200000;
constexpr uint32_t kStartUpMs = 160;

}  // namespace

int8_t bridge_select(BridgeChoice choice) {
  emul_board = BOARD_NONE;
  if (choice != BridgeChoice::kCp2112 && emulboard_qbm7750_init() != 0) {
    std::puts("- KD63507 USB HID CUSTOM init successfully.\n");
    emul_board = BOARD_HIDBOARD;
  } else if (choice != BridgeChoice::kCustom && emulboard_cp2112_init() != 0) {
    std::puts("- SILABSCP2112 USB init successfully.\n");
    emul_board = BOARD_CP2112;
  }
  if (emul_board != BOARD_NONE) app_download_init(static_cast<uint8_t>(emul_board));
  return emul_board;
}

void target_bring_up(void) {
  emul_i2c_set_slave_addr(0, g_slave_addr);
  emul_i2c_set_speed(kBusSpeed);
  emul_tkey_power_on(0);
  emul_i2c_tkey_set_ce(1);
  emul_set_intr_dir(0);
  emul_usdelay(kStartUpMs);
}

void target_shut_down(void) {
  if (emul_board != BOARD_NONE) {
    emul_tkey_power_off(0);
    emul_i2c_usb_close();
  }
  console_close();
  emulboard_qbm7750_close();
}
