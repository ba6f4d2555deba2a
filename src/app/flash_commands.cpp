#include "app/flash_commands.h"

#include "app/device_mode.h"
#include "app/entry.h"
#include "app/iap_update.h"
#include "app/iap_verify.h"
#include "app/run_outcome.h"
#include "app/master.h"
#include "bridge/cp2112/emulboard_cp2112_isp.h"
#include "console/safe_text.h"
#include "diag/device_records.h"
#include "platform/file_open.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitBadFile = 2;
constexpr int kExitNoCp2112 = 3;

constexpr uint16_t kInterfaceSize = 10;
constexpr char kFullProtocolName[5] = {'T', 'C', 'I', 'P', '\0'};

int exit_code(int result) { return result != 0 ? kExitOk : kExitFailed; }

bool cp2112_in_use() {
  if (emul_board == BOARD_CP2112) return true;
  std::fputs(emul_board == BOARD_HIDBOARD ? "kdtool: this command needs a CP2112 bridge; the bridge in use is the custom board.\n"
                                          : "kdtool: no CP2112 bridge found.\n",
             stderr);
  return false;
}

// Size of a regular file, or -1 when it cannot be opened for reading.
long readable_size(const char* path) {
  FILE* file = platform_fopen(path, "rb");
  if (file == nullptr) return -1;
  struct stat info {};
  const long size = fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode) ? static_cast<long>(info.st_size) : -1;
  std::fclose(file);
  return size;
}

// Logging off and update mode, as the update does, so that the controller
// takes IAP commands and no log record holds up the ready waits. `entered`
// tells whether the mode was changed (a bootloader is in it already).
bool enter_update_mode(bool* entered) {
  *entered = false;
  uint8_t interface_block[kInterfaceSize] = {};
  // Nobody answers, as the update judges it.
  const bool read = i2c_read_from(REG_INTERFACE, interface_block, kInterfaceSize) != 0;
  if (iap_no_controller(read, interface_block, kInterfaceSize) || !read) return false;
  if (std::memcmp(interface_block, kFullProtocolName, sizeof kFullProtocolName) != 0) return true;
  uint8_t log_ctrl[sizeof(tLogCtrlBlock)] = {};
  if (i2c_read_from(REG_LOG_CTRL, log_ctrl, sizeof log_ctrl) == 0) return false;
  log_ctrl[offsetof(tLogCtrlBlock, bLogEnable)] = 0;
  const ReadyResult ready = i2c_write_to(REG_LOG_CTRL, log_ctrl, sizeof log_ctrl) == 0 ? READY_WRITE_FAILED
                                                                                        : SetMode(MODE_UPDATE);
  if (ready != READY_OK) {
    run_reason_ready(ready);
    std::puts("The touch controller did not enter update mode.");
    return false;
  }
  *entered = true;
  return true;
}

// Back to the controller's firmware after the checks.
bool reset_controller() {
  const uint8_t request = MODE_RESET;
  if (i2c_write_to(REG_MODE, &request, 1) == 0 || WaitForReadyStatus() != READY_OK) {
    std::puts("Device Reset Request Fail!!!");
    return false;
  }
  tSetter.ucMode = MODE_RESET;
  return true;
}

}  // namespace

int kdtool_cmd_dump(const char* file, uint32_t start, uint32_t length, uint32_t* failed_at) {
  run_reason_clear();
  if (failed_at != nullptr) *failed_at = start;
  if (!cp2112_in_use()) return kExitNoCp2112;
  // FILE is not opened here: the dump replaces it only once it is whole.
  if (platform_replace_check(file) != 0) {
    emulboard_cp2112_dump_from_flash_using_ispmode(file);  // says so, sends nothing
    return kExitBadFile;
  }
  return exit_code(emulboard_cp2112_dump_from_flash_using_ispmode(file, start, length, failed_at));
}

int kdtool_cmd_program(const char* file, const char* shown_name) {
  run_reason_clear();
  if (!cp2112_in_use()) return kExitNoCp2112;
  const long size = readable_size(file);
  const int result = emulboard_cp2112_program_to_flash_using_ispmode(file, shown_name);  // refuses an unusable file itself
  if (size <= 0 || size > static_cast<long>(ISP_FLASH_SIZE)) return kExitBadFile;
  return exit_code(result);
}

int kdtool_cmd_program_image(const std::vector<uint8_t>& image, const char* name) {
  run_reason_clear();
  if (!cp2112_in_use()) return kExitNoCp2112;
  const int result = emulboard_cp2112_program_image_using_ispmode(image.data(), static_cast<uint32_t>(image.size()), name);
  if (image.empty() || image.size() > ISP_FLASH_SIZE) return kExitBadFile;
  return exit_code(result);
}

int kdtool_cmd_verify(const char* file, uint32_t at, const std::vector<uint8_t>* data, KdtoolVerify* result) {
  run_reason_clear();
  KdtoolVerify local;
  KdtoolVerify& r = result != nullptr ? *result : local;
  r.outcome = VERIFY_FAILED;
  r.compared = false;
  r.where = at;
  r.filled_to = 0;
  r.mismatches.clear();
  const long size = data != nullptr ? static_cast<long>(data->size()) : readable_size(file);
  if (size <= 0 || at >= ISP_FLASH_SIZE || size > static_cast<long>(ISP_FLASH_SIZE - at)) {
    verify_result = 0;
    if (size < 0) {
      std::printf("Can not find Filename = %s\n", safe_text(file).c_str());
    } else {
      std::printf("Not verified: %s is empty or runs past the end of the flash from 0x%05X.\n", safe_text(file).c_str(),
                  at);
    }
    return kExitBadFile;
  }
  // The controller compares whole units: the bytes of the last one past the
  // file's end are compared as erased flash.
  const uint32_t end = at + static_cast<uint32_t>(size);
  const uint32_t last_unit = at + (static_cast<uint32_t>(size) - 1) / IAP_VERIFY_UNIT * IAP_VERIFY_UNIT;
  const bool partial = size % IAP_VERIFY_UNIT != 0;
  if (partial) {
    std::printf("Warning: the file ends at 0x%05X, inside the %u-byte unit at 0x%05X: the flash from 0x%05X to "
                "0x%05X must be erased (0xFF) to match.\n",
                end, static_cast<unsigned>(IAP_VERIFY_UNIT), last_unit, end, last_unit + IAP_VERIFY_UNIT - 1);
  }
  bool entered = false;
  if (!enter_update_mode(&entered)) {
    run_reason_settle();
    return kExitFailed;
  }
  r.compared = true;
  r.outcome = data != nullptr ? iap_verify_buffer(data->data(), static_cast<uint32_t>(size), at, &r.where,
                                                  !r.keep_going, &r.mismatches)
                               : iap_verify_file(file, at, &r.where, !r.keep_going, &r.mismatches);
  const bool reset = !entered || reset_controller();
  r.filled_to = r.outcome == VERIFY_MISMATCH && partial && r.where == last_unit ? end : 0;
  if (r.outcome == VERIFY_FAILED) run_reason_settle();
  return r.outcome == VERIFY_MATCH && reset ? kExitOk : kExitFailed;
}

int kdtool_cmd_erase(void) {
  run_reason_clear();
  if (!cp2112_in_use()) return kExitNoCp2112;
  return exit_code(emulboard_cp2112_erase_for_iapmode());
}
