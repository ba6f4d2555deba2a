#include "app/iap_verify.h"

#include "app/device_mode.h"
#include "app/entry.h"
#include "app/iap_command.h"
#include "app/master.h"
#include "app/run_outcome.h"
#include "bridge/cp2112/emulboard_cp2112_control.h"
#include "bridge/cp2112/emulboard_cp2112_isp.h"
#include "console/safe_text.h"
#include "platform/file_open.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

uint32_t verify_result = 1;

namespace {

constexpr uint16_t kPiece = 32;
constexpr uint32_t kPiecePauseMs = 2;
constexpr uint32_t kFailedReadPauseMs = 1;
constexpr uint32_t kFlashEnd = 0x20000;
constexpr uint32_t kEraseAddress = 0x2000;
constexpr uint32_t kEraseBitRate = 100000;
constexpr uint32_t kSectorEraseSetup = 0x20;

enum class Unit { kMatch, kMismatch, kFailed };

// Reads the command block back until the controller has put its answer in
// ucResult.
Unit read_answer(uint32_t address) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  bool answered = false;
  for (uint32_t reads = 1;; ++reads) {
    uint8_t block[IAP_COMMAND_SIZE] = {};
    if (i2c_read_from(REG_IAP_COMMAND, block, IAP_COMMAND_SIZE) != 0) {
      answered = true;
      const uint8_t result = block[IAP_RESULT_OFFSET];
      if (result != 0) return result == IAP_VERIFY_MATCH ? Unit::kMatch : Unit::kMismatch;
    } else {
      emul_usdelay(kFailedReadPauseMs);
    }
    if (gloop == 0) {
      std::printf("Verify of 0x%05X: stopped.\n", address);
      return Unit::kFailed;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    if (reads >= VERIFY_RESULT_MIN_READS && elapsed >= static_cast<long long>(VERIFY_RESULT_LIMIT_MS)) break;
  }
  std::printf(answered ? "Verify of 0x%05X: the controller did not answer the check.\n"
                       : "Verify of 0x%05X: the command block could not be read back.\n",
              address);
  return Unit::kFailed;
}

Unit check_unit(const uint8_t* unit, uint32_t address) {
  for (uint16_t k = 0; k < IAP_VERIFY_UNIT / kPiece; ++k) {
    if (i2c_write_to(static_cast<uint16_t>(REG_IAP_WINDOW + kPiece * k), unit + kPiece * k, kPiece) == 0) {
      std::printf("Verify of 0x%05X: the data could not be written.\n", address);
      return Unit::kFailed;
    }
    emul_usdelay(kPiecePauseMs);
  }
  const auto block = iap_command_block(address, IAP_VERIFY_UNIT, IAP_CHECK);
  if (i2c_write_to(REG_IAP_COMMAND, block.data(), IAP_COMMAND_SIZE) == 0) {
    std::printf("Verify of 0x%05X: the command could not be written.\n", address);
    return Unit::kFailed;
  }
  if (const ReadyResult ready = WaitForReadyStatus(); ready != READY_OK) {
    run_reason_ready(ready);
    std::printf("Verify of 0x%05X: the wait for the controller ended early.\n", address);
    return Unit::kFailed;
  }
  return read_answer(address);
}

void print_end() { emulboard_cp2112_isp_print_time("verify End!!!\n"); }

}  // namespace

VerifyOutcome iap_verify_buffer(const uint8_t* data, uint32_t size, uint32_t base, uint32_t* where,
                                bool stop_at_mismatch, std::vector<uint32_t>* mismatches) {
  if (base > kFlashEnd || size > kFlashEnd - base) {
    std::printf("Not verified: 0x%X bytes from 0x%05X run past the end of the flash.\n", size, base);
    verify_result = 0;
    if (where != nullptr) *where = base;
    return VERIFY_FAILED;
  }
  VerifyOutcome outcome = VERIFY_MATCH;
  for (uint32_t offset = 0; offset < size; offset += IAP_VERIFY_UNIT) {
    uint8_t unit[IAP_VERIFY_UNIT];
    std::memset(unit, 0xFF, sizeof unit);
    std::memcpy(unit, data + offset, std::min(IAP_VERIFY_UNIT, size - offset));
    const uint32_t address = base + offset;
    const Unit checked = check_unit(unit, address);
    if (checked != Unit::kMatch) {
      verify_result = 0;
      if (checked == Unit::kMismatch && mismatches != nullptr) mismatches->push_back(address);
      if (outcome == VERIFY_MATCH && where != nullptr) *where = address;
      if (outcome == VERIFY_MATCH) outcome = VERIFY_MISMATCH;
      if (checked == Unit::kFailed) outcome = VERIFY_FAILED;
      if (checked == Unit::kFailed || stop_at_mismatch) break;
    }
    if (address % 1024 == 0 && run_progress_lines()) std::printf("%dK\n", static_cast<int>(address / 1024));
    run_progress(std::min(offset + IAP_VERIFY_UNIT, size), size);
  }
  print_end();
  return outcome;
}

VerifyOutcome iap_verify_file(const char* path, uint32_t base, uint32_t* where, bool stop_at_mismatch,
                              std::vector<uint32_t>* mismatches) {
  if (where != nullptr) *where = base;
  FILE* file = platform_fopen(path, "rb");
  if (file == nullptr) {
    std::printf("Can not find Filename = %s\n", safe_text(path).c_str());
    verify_result = 0;
    return VERIFY_FAILED;
  }
  long size = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
  std::fseek(file, 0, SEEK_SET);
  std::printf("filesize = %d\n", static_cast<int>(size));
  std::vector<uint8_t> data(size > 0 ? static_cast<size_t>(std::min<long>(size, kFlashEnd + 1)) : 0);
  const bool read = size >= 0 && std::fread(data.data(), 1, data.size(), file) == data.size();
  std::fclose(file);
  if (!read) {
    std::printf("Can not read File(%s)\n", safe_text(path).c_str());
    verify_result = 0;
    return VERIFY_FAILED;
  }
  // A file longer than the flash is refused on its size before any byte is sent.
  return iap_verify_buffer(data.data(), size > static_cast<long>(kFlashEnd) ? kFlashEnd + 1 : static_cast<uint32_t>(size),
                           base, where, stop_at_mismatch, mismatches);
}

std::string iap_verify_partial_unit(uint32_t filled_to) {
  if (filled_to == 0) return "";
  char text[96];
  std::snprintf(text, sizeof text, ", in a unit that the file fills only to 0x%05X: the rest is compared as erased",
                filled_to);
  return text;
}

std::string iap_verify_verdict(VerifyOutcome outcome, uint32_t where, uint32_t filled_to) {
  if (outcome == VERIFY_MATCH) return "Verify OK";
  char text[48];
  std::snprintf(text, sizeof text, "Verify FAILED at 0x%05X", where);
  if (outcome == VERIFY_MISMATCH) return text + iap_verify_partial_unit(filled_to);
  // The check itself failed there: the flash was not found different.
  return text + (": " + safe_text(run_reason_settle()));
}

void iap_verify_print_verdict(VerifyOutcome outcome, uint32_t where, uint32_t filled_to) {
  std::puts(iap_verify_verdict(outcome, where, filled_to).c_str());
}

void emulboard_cp2112_verify_to_flash_using_iapmode(const char* path) { iap_verify_file(path, IAP_VERIFY_BASE); }

int emulboard_cp2112_erase_for_iapmode(void) {
  if (emulboard_cp2112_isp_set_speed(kEraseBitRate) == 0 || _emulboard_cp2112_ispmode_enter() == 0 ||
      _emulboard_cp2112_ispmode_Unlock_protection() == 0) {
    return 0;
  }
  emulboard_cp2112_isp_step("Sector erase");
  for (const auto& [reg, value] : {std::pair<uint16_t, uint32_t>{ISP_REG_STATUS, ISP_STATUS_CLEAR},
                                   {ISP_REG_SETUP, 0},
                                   {ISP_REG_SETUP, kSectorEraseSetup},
                                   {ISP_REG_ADDRESS, kEraseAddress},
                                   {ISP_REG_COMMAND, ISP_CMD_SECTOR_ERASE}}) {
    if (emulboard_cp2112_isp_write(reg, value) == 0) return 0;
  }
  if (emulboard_cp2112_isp_wait_status(ISP_STATUS_DONE, "Sector erase") == 0 ||
      emulboard_cp2112_isp_write(ISP_REG_STATUS, ISP_STATUS_CLEAR) == 0) {
    return 0;
  }
  std::puts("Sector erase complete");
  return 1;
}
