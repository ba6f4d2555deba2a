#include "app/presence.h"

#include "app/device_mode.h"
#include "app/entry.h"
#include "app/iap_update.h"
#include "app/master.h"
#include "bridge/cp2112/emulboard_cp2112_control.h"
#include "bridge/cp2112/usb_drv_cp2112.h"
#include "bridge/hidboard/emulboard_qbm7750_control.h"
#include "platform/hid.h"
#include "platform/sleep.h"

#include <algorithm>

namespace {

constexpr uint32_t kBusSpeed = 200000;
constexpr uint32_t kStartUpMs = 160;  // as the bring-up gives it
constexpr uint16_t kInterfaceSize = 10;

bool idle(const uint8_t* block, size_t size) {
  return std::all_of(block, block + size, [](uint8_t b) { return b == 0xFF; });
}

// Opens the bridge and binds the operation table; false when it cannot be.
bool open_bridge(bool cp2112, std::string* why) {
  emul_board = BOARD_NONE;
  if (cp2112) {
    if (usb_drv_cp2112_init() == 0 || usb_drv_cp2112_is_open() != 1) {
      const std::string error = usb_drv_cp2112_open_error();
      *why = error.empty() ? "the CP2112 cannot be opened" : "the CP2112 cannot be opened: " + error;
      usb_drv_cp2112_close();
      return false;
    }
    emul_board = BOARD_CP2112;
  } else {
    if (emulboard_qbm7750_init() == 0) {
      *why = "the custom board cannot be opened";
      emulboard_qbm7750_close();
      return false;
    }
    emul_board = BOARD_HIDBOARD;
  }
  app_download_init(static_cast<uint8_t>(emul_board));
  return true;
}

// Closes the bridge without touching the controller's power.
void close_bridge() {
  if (emul_board == BOARD_CP2112) {
    usb_drv_cp2112_close();
  } else if (emul_board == BOARD_HIDBOARD) {
    emulboard_qbm7750_close();
  }
  emul_board = BOARD_NONE;
}

// Chip enable high, unless it is already (released, or driven high); true
// when the controller was off until now.
bool cp2112_power_on(bool* failed) {
  Cp2112Gpio* gpio = usb_drv_cp2112_GetGpioConfig();
  const bool driven = gpio == nullptr || (gpio->ucDirection & CP2112_PIN_CE) != 0;
  gpio = usb_drv_cp2112_ReadLatch();
  const bool high = gpio != nullptr && (gpio->ucLatchValue & CP2112_PIN_CE) != 0;
  if (!driven || high) return false;
  *failed = emulboard_cp2112_set_ce_value(1) == 0 || emulboard_cp2112_set_ce_dir(1) == 0;
  return true;
}

}  // namespace

Presence controller_presence(bool cp2112, ControllerVersions* versions, std::string* why) {
  hid_transport_forget_lost();
  if (!open_bridge(cp2112, why)) return Presence::kNoBridge;
  // The CP2112 keeps the address in its 8-bit form in g_slave_addr: the
  // 7-bit address is put back for the next look, on whichever bridge.
  const uint8_t address7 = g_slave_addr;
  emul_i2c_set_slave_addr(0, address7);
  emul_i2c_set_speed(kBusSpeed);
  bool failed = false;
  if (cp2112 && cp2112_power_on(&failed) && !failed) platform_sleep_ms(kStartUpMs);
  uint8_t status = 0;
  uint8_t block[kInterfaceSize] = {};
  const bool answers = !failed && i2c_read_from(REG_STATUS, &status, 1) != 0 && status != STATUS_IDLE_BUS &&
                       i2c_read_from(REG_INTERFACE, block, kInterfaceSize) != 0 && !idle(block, sizeof block) &&
                       controller_versions_read(versions);
  const bool lost = hid_transport_lost();
  close_bridge();
  g_slave_addr = address7;
  if (lost || failed) {
    *why = lost ? "the bridge stopped answering" : "the CP2112 did not take the chip enable";
    return Presence::kNoBridge;
  }
  return answers ? Presence::kAnswers : Presence::kAbsent;
}

bool controller_power_off(bool cp2112, std::string* why) {
  if (!cp2112) {
    *why = "the custom board has no power switch";
    return false;
  }
  hid_transport_forget_lost();
  if (!open_bridge(true, why)) return false;
  const bool off = emulboard_cp2112_set_ce_value(0) != 0 && emulboard_cp2112_set_ce_dir(0) != 0;
  close_bridge();
  if (!off) *why = "the CP2112 did not take the chip enable";
  return off;
}
