#include "app/device_mode.h"

#include "app/entry.h"
#include "app/master.h"
#include "console/log.h"
#include "console/util_console.h"
#include "diag/device_records.h"
#include "platform/sleep.h"

#include <chrono>
#include <cstdio>

uint32_t g_unattended_ready_limit_ms = 0;
bool g_end_of_input_ends_waits = false;
ReadyNoticeReader g_ready_log_reader = nullptr;
ReadyNoticeReader g_ready_image_reader = nullptr;

namespace {

constexpr uint16_t kVersionBlockSize = 8;
constexpr auto kPassInterval = std::chrono::milliseconds(1);

enum class KeyRule { kSpaceOnly, kAnyKey };

// Whether a waiting key ends a wait (see the header): the space bar, or the
// end of input where it counts; on a terminal every other key is read and
// dropped, from a script it is kept.
bool key_ends_wait(KeyRule rule) {
  if (rule == KeyRule::kAnyKey) return true;
  const int key = console_keys_from_terminal() ? console_read_key() : console_peek_key();
  if (key == KEY_SPACE && !console_keys_from_terminal()) console_read_key();
  return key == KEY_SPACE || (key < 0 && g_end_of_input_ends_waits);
}

// One wait for the ready status; see the header for the order of a pass and
// for when a failing bridge ends it.
// `limit_ms` 0: no time limit.
ReadyResult wait_for_ready(KeyRule rule, uint32_t limit_ms = 0) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point started = Clock::now();
  uint32_t failed_reads = 0;
  Clock::time_point first_failure{};
  for (;;) {
    const Clock::time_point pass_started = Clock::now();
    uint8_t status = STATUS_READ_FAILED;
    if (i2c_read_from(REG_STATUS, &status, 1) != 0 && status != STATUS_IDLE_BUS) {
      failed_reads = 0;
    } else {
      status = STATUS_READ_FAILED;
      if (failed_reads++ == 0) first_failure = Clock::now();
    }

    if (tLogCtrl.bLogEnable == 1) {
      if (status == STATUS_LOG_WAITING && g_ready_log_reader != nullptr) {
        g_ready_log_reader();
      } else if (status == STATUS_IMAGE_WAITING && g_ready_image_reader != nullptr) {
        g_ready_image_reader();
      }
    }

    if (console_chk_input_history() != 0 && key_ends_wait(rule)) return READY_KEY;
    if (status == STATUS_READY) return READY_OK;
    if (gloop == 0) return READY_STOPPED;
    if (limit_ms != 0 && Clock::now() - started >= std::chrono::milliseconds(limit_ms)) return READY_TIMEOUT;

    if (failed_reads != 0) {
      const auto failing_for = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - first_failure);
      if (failed_reads >= READY_LOST_MIN_READS && failing_for.count() >= static_cast<long long>(READY_LOST_MS)) {
        return READY_BRIDGE_FAILED;
      }
    }
    // Passes start at least 1 ms apart: a pass whose reads answer at once
    // (a failing bridge, the end of a script's input) never spins, and one
    // that took a USB round trip already (every real status read) waits no
    // longer for it.
    platform_sleep_until(pass_started + kPassInterval);
  }
}

// Records `mode` and writes `request` to the mode register; a refused write
// restores the record, since the controller did not change its mode.
bool request_mode(uint8_t mode, uint8_t request) {
  const uint8_t previous = tSetter.ucMode;
  tSetter.ucMode = mode;
  if (i2c_write_to(REG_MODE, &request, 1) != 0) return true;
  tSetter.ucMode = previous;
  return false;
}

// A wait that nobody can end with a key has the unattended limit.
ReadyResult wait_attended(KeyRule rule) {
  const ReadyResult result = wait_for_ready(rule, g_unattended_ready_limit_ms);
  if (result == READY_TIMEOUT) {
    std::printf("The touch controller did not report ready within %u s.\n", g_unattended_ready_limit_ms / 1000);
  }
  return result;
}

}  // namespace

ReadyResult WaitForReadyStatus(void) { return wait_attended(KeyRule::kSpaceOnly); }

ReadyResult WaitForReadyStatusAnyKey(void) { return wait_attended(KeyRule::kAnyKey); }

ReadyResult WaitForReadyStatusWithin(uint32_t limit_ms) { return wait_for_ready(KeyRule::kSpaceOnly, limit_ms); }

ReadyResult FinishRequestInProgress(void) {
  const uint8_t presses = g_ctrl_c_presses;
  std::puts("Waiting for the touch controller to finish the command in progress (up to 10 s)...");
  const uint8_t was = gloop;
  gloop = 1;
  // A Ctrl+C that came while the line was printed cuts this wait short too.
  if (g_ctrl_c_presses != presses) gloop = 0;
  const ReadyResult finished = WaitForReadyStatusWithin(FINISH_REQUEST_MS);
  if (was == 0) gloop = 0;
  if (finished != READY_OK) std::puts("The touch controller did not report the command finished.");
  return finished;
}

ReadyResult SetMode(uint8_t mode) {
  if (tSetter.ucMode == mode) return READY_OK;
  const uint8_t presses = g_ctrl_c_presses;
  if (!request_mode(mode, mode)) return READY_WRITE_FAILED;
  const ReadyResult result = WaitForReadyStatus();
  // Not when the console's log reader ended the run (the log's end record).
  if (result == READY_STOPPED && g_ctrl_c_presses != presses) FinishRequestInProgress();
  return result;
}

ReadyResult SetResetMode(uint8_t mode) {
  if (tSetter.ucMode == mode) return READY_OK;
  if (!request_mode(mode, MODE_RESET)) return READY_WRITE_FAILED;
  if (g_exit_key_waits) {
    const ReadyResult result = PressAnyKeyToExit();
    if (result == READY_STOPPED) FinishRequestInProgress();
    return result;
  }
  const ReadyResult result = gloop != 0 ? WaitForReadyStatusWithin(FINISH_REQUEST_MS) : READY_STOPPED;
  if (result == READY_STOPPED || result == READY_KEY) {
    FinishRequestInProgress();
  } else if (result != READY_OK) {
    std::puts("The touch controller did not report ready after the reset request.");
  }
  return result;
}

ReadyResult PressAnyKeyToExit(void) {
  if (!g_exit_key_waits) return READY_OK;
  std::puts("Please press any key exit!!!");
  return WaitForReadyStatusAnyKey();
}

uint8_t version_compare(bool* read_ok, uint16_t* versions) {
  uint8_t block[kVersionBlockSize] = {};
  const bool ok = i2c_read_from(REG_VERSION, block, kVersionBlockSize) != 0;
  if (!ok) {
    for (uint8_t& byte : block) byte = 0;
  }
  if (read_ok != nullptr) *read_ok = ok;
  const uint16_t core = le16(block + 2);
  const uint16_t publ = le16(block + 4);
  const uint16_t conf = le16(block + 6);
  if (versions != nullptr) {
    versions[0] = core;
    versions[1] = publ;
    versions[2] = conf;
  }

  std::puts("");
  console_set_font_color(COLOR_BRIGHT_CYAN);
  log_printf(0, "[Current FW Version CORE/APP/PARA]: %02X.%02X / %02X.%02X / %02X.%02X\n", core >> 8, core & 0xFF,
             publ >> 8, publ & 0xFF, conf >> 8, conf & 0xFF);
  console_set_font_color(COLOR_BRIGHT_RED);
  log_printf(0, "[Release FW Version CORE/APP/PARA]: %02X.%02X / %02X.%02X / %02X.%02X\n", img_core_ver >> 8,
             img_core_ver & 0xFF, img_app_ver >> 8, img_app_ver & 0xFF, img_para_ver >> 8, img_para_ver & 0xFF);
  std::puts("");

  const bool same = ok && core == img_core_ver && publ == img_app_ver && conf == img_para_ver;
  if (same) {
    console_set_font_color(COLOR_BRIGHT_GREEN);
    log_printf(0, "FW Version : SAME\n");
    return 1;
  }
  console_set_font_color(COLOR_YELLOW);
  log_printf(0, "FW Version : DIFFERENT\n");
  return 0;
}
