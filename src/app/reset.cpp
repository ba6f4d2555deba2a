#include "app/reset.h"

#include "app/device_mode.h"
#include "app/entry.h"
#include "app/iap_update.h"
#include "app/master.h"
#include "bridge/cp2112/emulboard_cp2112_control.h"
#include "diag/device_records.h"
#include "platform/sleep.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kPowerOffMs = 100;  // long enough for the controller's supply to fall
constexpr uint32_t kStartUpMs = 160;   // as the bring-up gives it
constexpr uint32_t kBusSpeed = 200000;
constexpr uint32_t kPollMs = 10;
constexpr uint16_t kInterfaceSize = 10;
constexpr uint16_t kVersionSize = 8;

bool idle(const uint8_t* block, size_t size) {
  return std::all_of(block, block + size, [](uint8_t b) { return b == 0xFF; });
}

// Set by every status read that found a controller there (not the idle bus).
bool g_answered = false;

bool status_ready() {
  uint8_t status = 0;
  const bool read = i2c_read_from(REG_STATUS, &status, 1) != 0 && status != STATUS_IDLE_BUS;
  g_answered = g_answered || read;
  return read && status == STATUS_READY;
}

std::string no_answer() {
  // The CP2112 keeps the address in its shifted 8-bit form.
  const unsigned address7 = emul_board == BOARD_CP2112 ? g_slave_addr >> 1 : g_slave_addr;
  char text[64];
  std::snprintf(text, sizeof text, "no controller answers at address 0x%02X", address7);
  return text;
}

// Polls until `done` holds or `limit_ms` has passed; false then.
template <typename Done>
bool poll_within(uint32_t limit_ms, Done done) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline || emul_board == BOARD_NONE) return false;
    platform_sleep_ms(kPollMs);
  }
}

}  // namespace

std::string controller_version_text(uint16_t version) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X.%02X", version >> 8, version & 0xFF);
  return text;
}

bool controller_versions_read(ControllerVersions* versions) {
  uint8_t block[kVersionSize] = {};
  if (i2c_read_from(REG_VERSION, block, kVersionSize) == 0 || idle(block, sizeof block)) return false;
  versions->core = le16(block + 2);
  versions->app = le16(block + 4);
  versions->para = le16(block + 6);
  return true;
}

bool controller_wait_back(uint32_t limit_ms, ControllerVersions* versions) {
  return poll_within(limit_ms, [versions] {
    uint8_t block[kInterfaceSize] = {};
    if (!status_ready()) return false;
    if (i2c_read_from(REG_INTERFACE, block, kInterfaceSize) == 0 || idle(block, sizeof block)) return false;
    return controller_versions_read(versions);
  });
}

bool target_reset(ControllerVersions* versions, std::string* reason) {
  if (emul_board == BOARD_CP2112) {
    // The bridge's start-up leaves chip enable an input, held high from
    // outside: driven low for the pause it cuts the controller off, then
    // high and an input again as it was.
    const bool off = emulboard_cp2112_set_ce_value(0) != 0 && emulboard_cp2112_set_ce_dir(0) != 0;
    emul_tkey_power_off(0);
    if (off) emul_usdelay(kPowerOffMs);
    emul_tkey_power_on(0);
    const bool on = emulboard_cp2112_set_ce_value(1) != 0 && emulboard_cp2112_set_ce_dir(1) != 0;
    if (!off || !on) {
      *reason = "the bridge did not switch the chip enable";
      return false;
    }
    // ISP mode ran the bus at its own rate.
    emul_i2c_set_speed(kBusSpeed);
    emul_usdelay(kStartUpMs);
  } else {
    // A request written while the controller is busy is not taken: let it
    // finish what it does first (bounded; a controller that never gets
    // ready is still asked). Nobody there cannot be asked.
    g_answered = false;
    poll_within(FINISH_REQUEST_MS, [] { return status_ready() || !g_answered; });
    if (!g_answered) {
      *reason = no_answer();
      return false;
    }
    const uint8_t request = MODE_RESET;
    if (i2c_write_to(REG_MODE, &request, 1) == 0) {
      *reason = "the controller did not take the reset request";
      return false;
    }
  }
  // Whatever mode the host last set, the controller starts afresh.
  tSetter.ucMode = 0;
  g_answered = false;
  if (!controller_wait_back(RESET_COME_BACK_MS, versions)) {
    if (!g_answered) {
      *reason = no_answer() + " after the reset";
      return false;
    }
    char text[96];
    std::snprintf(text, sizeof text, "the controller did not come back within %u s", RESET_COME_BACK_MS / 1000);
    *reason = text;
    return false;
  }
  return true;
}
