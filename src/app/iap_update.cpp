#include "app/iap_update.h"

#include "app/device_mode.h"
#include "app/entry.h"
#include "app/iap_verify.h"
#include "app/master.h"
#include "app/run_outcome.h"
#include "console/util_console.h"
#include "diag/device_records.h"
#include "platform/sleep.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>

UpdateOutcome g_update_outcome = UPDATE_NOT_RUN;
uint32_t FLASH_4KB_UPDATE_MODE = 0;
bool g_verify_after_write = false;
bool g_update_units_checked = false;
bool g_update_verified = false;
bool g_update_versions_read = false;
ControllerVersions g_update_versions_before;

namespace {

constexpr uint16_t kInterfaceSize = 10;
constexpr char kFullProtocolName[5] = {'T', 'C', 'I', 'P', '\0'};

constexpr uint32_t kSmallUnit = 128;
constexpr uint32_t kLargeUnit = 4096;
constexpr uint16_t kChunkA = 16;
constexpr uint16_t kChunkB1 = 32;
constexpr uint16_t kChunkB2 = 48;
constexpr uint32_t kChunkPauseA = 2;     // ms after each chunk of procedure A
constexpr uint32_t kCommandPauseB = 1;   // ms before each command of procedure B

using Clock = std::chrono::steady_clock;

// How one step of the update went. Every bridge result and every wait is
// judged: the update never goes on past a transfer that failed.
enum class Step {
  kOk,
  kFailed,       // a transfer failed, the bridge is gone, or a unit failed all its checks
  kInterrupted,  // Ctrl+C, or the space bar ended a wait for the controller
};

Step judge(ReadyResult result) {
  run_reason_ready(result);
  switch (result) {
    case READY_OK:
      return Step::kOk;
    case READY_KEY:
    case READY_STOPPED:
      return Step::kInterrupted;
    default:
      return Step::kFailed;
  }
}

Step write_reg(uint16_t reg, const uint8_t* data, uint16_t count) {
  return i2c_write_to(reg, data, count) != 0 ? Step::kOk : Step::kFailed;
}

// Returns at `deadline`, not before and hardly after: sleeps to just short of
// it (a sleep overshoots by the kernel's timer slack and more) and spins the
// last 100 us, so that the overshoots do not add up over the 7,168 paced
// chunks of an update.
void wait_until(Clock::time_point deadline) {
  constexpr auto kMargin = std::chrono::microseconds(100);
  if (deadline - Clock::now() > kMargin) platform_sleep_until(deadline - kMargin);
  while (Clock::now() < deadline) {
  }
}

// Writes `length` bytes into the data window from its start: full chunks of
// `chunk` bytes, then what is left as one shorter tail, each chunk at the
// window address of its offset. With `pause_ms`, the controller gets that
// long after each chunk has been sent before the next transfer, the last
// chunk included: paced against a deadline set when each chunk went out.
Step fill_window(const uint8_t* data, uint32_t length, uint16_t chunk, uint32_t pause_ms) {
  Clock::time_point next{};
  for (uint32_t offset = 0; offset < length; offset += chunk) {
    const uint16_t count = static_cast<uint16_t>(length - offset < chunk ? length - offset : chunk);
    if (pause_ms != 0) wait_until(next);
    if (write_reg(static_cast<uint16_t>(REG_IAP_WINDOW + offset), data + offset, count) != Step::kOk) {
      return Step::kFailed;
    }
    next = Clock::now() + std::chrono::milliseconds(pause_ms);
  }
  if (pause_ms != 0) wait_until(next);
  return Step::kOk;
}

// Writes a command block and waits until the controller has carried it out.
// After Ctrl+C no further command is sent.
Step run_command(uint32_t address, uint16_t length, uint8_t command) {
  if (gloop == 0) return Step::kInterrupted;
  const auto block = iap_command_block(address, length, command);
  if (write_reg(REG_IAP_COMMAND, block.data(), IAP_COMMAND_SIZE) != Step::kOk) return Step::kFailed;
  const Step step = judge(WaitForReadyStatus());
  if (step == Step::kInterrupted) FinishRequestInProgress();
  return step;
}

Step read_result(uint8_t* result) {
  uint8_t block[IAP_COMMAND_SIZE] = {};
  if (i2c_read_from(REG_IAP_COMMAND, block, IAP_COMMAND_SIZE) == 0) return Step::kFailed;
  *result = block[IAP_RESULT_OFFSET];
  return Step::kOk;
}

// Logging off (the controller would otherwise announce log records during
// the waits), then update mode.
Step prepare_full_interface() {
  uint8_t log_ctrl[sizeof(tLogCtrlBlock)] = {};
  if (i2c_read_from(REG_LOG_CTRL, log_ctrl, sizeof log_ctrl) == 0) return Step::kFailed;
  log_ctrl[offsetof(tLogCtrlBlock, bLogEnable)] = 0;
  if (write_reg(REG_LOG_CTRL, log_ctrl, sizeof log_ctrl) != Step::kOk) return Step::kFailed;
  if (gloop == 0) return Step::kInterrupted;
  // Ctrl+C in the wait after the request still waits for the controller to
  // have switched (SetMode); so does the space bar, which ends the update.
  const ReadyResult mode = SetMode(MODE_UPDATE);
  if (mode == READY_KEY) FinishRequestInProgress();
  return mode == READY_WRITE_FAILED ? Step::kFailed : judge(mode);
}

// Procedures A and B1: 128-byte units, programmed without a check.
Step write_small_units(uint32_t base, uint32_t end, uint16_t chunk, uint32_t chunk_pause, uint32_t command_pause,
                       uint32_t progress_offset_k) {
  for (uint32_t p = base; p < end; p += kSmallUnit) {
    if (gloop == 0) return Step::kInterrupted;
    if (fill_window(BinaryBuffer + (p - base), kSmallUnit, chunk, chunk_pause) != Step::kOk) return Step::kFailed;
    if (command_pause != 0) emul_usdelay(command_pause);
    if (const Step step = run_command(p, kSmallUnit, IAP_PROGRAM); step != Step::kOk) return step;
    if (p % 1024 == 0 && run_progress_lines()) std::printf("%dK\n", static_cast<int>(p / 1024 + progress_offset_k));
    run_progress(p + kSmallUnit - base, end - base);
  }
  return Step::kOk;
}

Step procedure_a(uint32_t base, uint32_t end) { return write_small_units(base, end, kChunkA, kChunkPauseA, 0, 0); }

Step procedure_b1(uint32_t base, uint32_t end) {
  return write_small_units(base, end, kChunkB1, 0, kCommandPauseB, 1);
}

// One attempt at a 4 KiB unit: data, program, checksum, check.
Step attempt_large_unit(const uint8_t* data, uint32_t start, uint32_t length, uint8_t* checks_out) {
  if (fill_window(data, length, kChunkB2, 0) != Step::kOk) return Step::kFailed;
  emul_usdelay(kCommandPauseB);
  if (const Step step = run_command(start, static_cast<uint16_t>(length), IAP_PROGRAM); step != Step::kOk) return step;
  const uint32_t checksum = iap_unit_checksum(data, length);
  const uint8_t bytes[4] = {static_cast<uint8_t>(checksum), static_cast<uint8_t>(checksum >> 8),
                            static_cast<uint8_t>(checksum >> 16), static_cast<uint8_t>(checksum >> 24)};
  if (write_reg(REG_IAP_WINDOW, bytes, sizeof bytes) != Step::kOk) return Step::kFailed;
  if (const Step step = run_command(start, static_cast<uint16_t>(length), IAP_CHECK); step != Step::kOk) return step;
  return read_result(checks_out);
}

Step procedure_b2(uint32_t base, uint32_t end) {
  uint8_t retry = 0;
  uint32_t start = base;
  while (start < end) {
    if (gloop == 0) return Step::kInterrupted;
    const uint32_t length = end - start < kLargeUnit ? end - start : kLargeUnit;
    const uint32_t unit_end = start + length;
    uint8_t checks_out = 0;
    if (const Step step = attempt_large_unit(BinaryBuffer + (start - base), start, length, &checks_out);
        step != Step::kOk) {
      return step;
    }
    if (checks_out != 0) {
      if (run_progress_lines()) std::printf("%dKB Complete..\n", static_cast<int>(unit_end / 1024));
      run_progress(unit_end - base, end - base);
      retry = 0;
      start = unit_end;
      continue;
    }
    ++retry;
    console_set_font_color(COLOR_YELLOW);
    std::printf("%dKB Flash Write Error : Retry... ( %d/5 )\n", static_cast<int>(unit_end / 1024), retry);
    console_set_font_color(COLOR_BRIGHT_WHITE);
    if (retry >= IAP_MAX_ATTEMPTS) run_reason_set("the check of unit 0x%05X failed", start);
    if (retry >= IAP_MAX_ATTEMPTS) return Step::kFailed;
  }
  g_update_units_checked = true;
  return Step::kOk;
}

// Procedure B: ask the controller for its unit size first.
Step procedure_b(uint32_t base, uint32_t end) {
  emul_usdelay(kCommandPauseB);
  if (const Step step = run_command(0, 0, IAP_UNIT_QUERY); step != Step::kOk) return step;
  uint8_t unit_4k = 0;
  if (read_result(&unit_4k) != Step::kOk) return Step::kFailed;
  FLASH_4KB_UPDATE_MODE = unit_4k;
  console_set_font_color(COLOR_BRIGHT_WHITE);
  std::puts(unit_4k == 0 ? "F/W Update Unit : 128Byte" : "F/W Update Unit : 4KByte");
  console_set_font_color(COLOR_GREY);
  return unit_4k == 0 ? procedure_b1(base, end) : procedure_b2(base, end);
}

// The controller is left in update mode: no reset request.
uint8_t failure_ending(Step step) {
  g_update_outcome = step == Step::kInterrupted ? UPDATE_INTERRUPTED : UPDATE_FAILED;
  console_set_font_color(COLOR_DARK_RED);
  run_reason_print_line();
  std::puts("Flash Writing Fail!!!");
  std::puts("Please check the status of device and try again...");
  console_set_font_color(COLOR_BRIGHT_WHITE);
  PressAnyKeyToExit();
  return 0;
}

uint8_t success_ending() {
  std::puts("Flash Writing Complete!!!");
  g_update_outcome = UPDATE_WRITTEN;
  if (SetResetMode(MODE_RESET) == READY_WRITE_FAILED) {
    // The image is in flash but the controller never got the reset request:
    // it still runs the old firmware, so the run must not count as done.
    g_update_outcome = UPDATE_FAILED;
    console_set_font_color(COLOR_DARK_RED);
    std::puts("Device Reset Request Fail!!!");
    std::puts("Please check the status of device and try again...");
    console_set_font_color(COLOR_BRIGHT_WHITE);
    PressAnyKeyToExit();
  }
  return 0;
}

}  // namespace

namespace {

uint16_t crc16_feed(uint16_t crc, uint8_t byte) {
  return static_cast<uint16_t>((crc << 8) ^ CRC16Lut[((crc >> 8) ^ byte) & 0xFF]);
}

}  // namespace

uint16_t Crc16WordCalc(const uint16_t* words, uint32_t count, uint16_t seed) {
  uint16_t crc = seed;
  for (uint32_t i = 0; i < count; i += 2) {
    crc = crc16_feed(crc, static_cast<uint8_t>(words[i] >> 8));
    crc = crc16_feed(crc, static_cast<uint8_t>(words[i]));
  }
  return crc;
}

uint32_t iap_unit_checksum(const uint8_t* unit, uint32_t length) {
  // Crc16WordCalc's steps in line over the bytes, so that no byte buffer is
  // read through a word pointer: word k is unit[2k] | unit[2k+1] << 8.
  uint16_t lane[2] = {0, 0};
  for (uint32_t word = 0; word < length / 2; ++word) {
    uint16_t& crc = lane[word & 1];
    crc = crc16_feed(crc, unit[2 * word + 1]);
    crc = crc16_feed(crc, unit[2 * word]);
  }
  return ~((static_cast<uint32_t>(lane[1]) << 16) | lane[0]);
}

bool iap_no_controller(bool read, const uint8_t* block, size_t size) {
  const bool idle_bus = read && std::all_of(block, block + size, [](uint8_t b) { return b == 0xFF; });
  if (!idle_bus && (read || emul_board != BOARD_CP2112)) return false;
  // The CP2112 keeps the address in its shifted 8-bit form.
  const unsigned address7 = emul_board == BOARD_CP2112 ? g_slave_addr >> 1 : g_slave_addr;
  std::printf("No answer from the touch controller at address 0x%02X.\n", address7);
  run_reason_set_class(RUN_CLASS_NO_CONTROLLER, "no controller answers at address 0x%02X", address7);
  return true;
}

uint8_t emulboard_cp2112_program_to_flash_using_iapmode_Customer(bool force) {
  run_reason_clear();
  g_update_outcome = UPDATE_NOT_RUN;
  g_update_units_checked = false;
  g_update_verified = false;
  g_update_versions_read = false;
  const uint32_t size = Download_Mode == 1 ? IMAGE_SIZE : 0;

  uint8_t interface_block[kInterfaceSize] = {};
  const bool read = i2c_read_from(REG_INTERFACE, interface_block, kInterfaceSize) != 0;
  // Waiting for a ready status from nobody would never end.
  if (iap_no_controller(read, interface_block, kInterfaceSize) || !read) return failure_ending(Step::kFailed);

  bool versions_read = false;
  uint16_t before[3] = {};
  const uint8_t same = version_compare(&versions_read, before);
  if (!versions_read) return failure_ending(Step::kFailed);
  g_update_versions_read = true;
  g_update_versions_before = {before[0], before[1], before[2]};
  if (same != 0 && !force) {
    console_set_font_color(COLOR_GREY);
    PressAnyKeyToExit();
    g_update_outcome = UPDATE_SAME_VERSION;
    return 1;
  }

  console_set_font_color(COLOR_BRIGHT_WHITE);
  std::puts("FIRMWARE AUTO UPDATE START!!!");
  console_set_font_color(COLOR_GREY);
  std::puts("Download Start!!!");
  std::printf("filesize = %d\n", static_cast<int>(size));
  // Nothing to write is not a written image.
  if (size == 0 || BinaryBuffer == nullptr) return failure_ending(Step::kFailed);

  uint32_t end = size;
  uint32_t base = 0;
  if (Download_Mode == 1) {
    end += IAP_IMAGE_BASE;
    base += IAP_IMAGE_BASE;
  }

  // Ctrl+C before anything was changed leaves the controller as it was.
  if (gloop == 0) return failure_ending(Step::kInterrupted);
  if (std::memcmp(interface_block, kFullProtocolName, sizeof kFullProtocolName) == 0) {
    if (const Step step = prepare_full_interface(); step != Step::kOk) return failure_ending(step);
  }

  const Step written = emul_board == BOARD_HIDBOARD ? procedure_b(base, end) : procedure_a(base, end);
  if (written != Step::kOk) return failure_ending(written);
  if (g_verify_after_write) {
    uint32_t where = base;
    const VerifyOutcome verified = iap_verify_buffer(BinaryBuffer, end - base, base, &where, true);
    iap_verify_print_verdict(verified, where);
    if (verified == VERIFY_MISMATCH) run_reason_set("the written flash differs from the image at 0x%05X", where);
    if (verified != VERIFY_MATCH) return failure_ending(Step::kFailed);
    g_update_verified = true;
  }
  return success_ending();
}
