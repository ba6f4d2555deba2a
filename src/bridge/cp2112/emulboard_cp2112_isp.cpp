#include "bridge/cp2112/emulboard_cp2112_isp.h"

#include "app/entry.h"
#include "app/master.h"
#include "app/run_outcome.h"
#include "bridge/cp2112/emulboard_cp2112_control.h"
#include "bridge/cp2112/kd63507_isp_codes.h"
#include "bridge/cp2112/usb_drv_cp2112.h"
#include "console/log.h"
#include "console/safe_text.h"
#include "platform/file_open.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>

namespace {

constexpr uint32_t kDumpBitRate = 300000;
constexpr uint32_t kProgramBitRate = 100000;
constexpr uint32_t kRestBitRate = 400000;
constexpr uint32_t kProtectionAddress = 0x0C;
constexpr uint32_t kProtectionSetup = 0x100;
constexpr uint32_t kProtectionSetup2 = 0x80;
constexpr uint32_t kMassEraseSetup = 1;
constexpr uint32_t kProgramSetup = 4;
constexpr uint32_t kProgramSetup2 = 0x1F;
constexpr uint32_t kUnlockPauseMs = 10;
constexpr uint32_t kFailedReadPauseMs = 1;
constexpr uint32_t kWordsPerBlock = ISP_BLOCK_SIZE / 4;
// The address register's last value: where a command that did not complete
// was working.
uint32_t g_command_address = 0;

// The step under way, named in the line of a frame that is refused.
char g_step[64] = "ISP";

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

void trace(const char* operation) { EMUL_DEBUG_PRINT(0, "emulboard_cp2112_isp: %s\n", operation); }

// The writes of a sequence, stopping at the first that fails.
bool write_all(std::initializer_list<std::pair<uint16_t, uint32_t>> frames) {
  for (const auto& [reg, value] : frames) {
    if (emulboard_cp2112_isp_write(reg, value) == 0) return false;
  }
  return true;
}

// One frame on its way; true when the bridge took its report (whatever the
// controller answered).
bool send_word(uint16_t reg, uint32_t value) {
  const uint8_t word[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                           static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return _emulboard_cp2112_i2c_write_to(reg, word) != 0;
}

// Sends a frame until the controller acknowledges it, at most
// ISP_FRAME_ATTEMPTS times. A register write is the same frame again, so a
// refused one is simply repeated (a frame that kept the bridge busy past its
// write timeout was cancelled first, so the bridge is idle again); a frame
// that never reached the bridge ends it at once. Prints the line naming the
// step when it gives up (`quiet`: the caller says it).
bool acknowledged(uint16_t reg, const std::function<bool()>& send, bool quiet = false) {
  for (uint32_t attempt = 0; attempt < ISP_FRAME_ATTEMPTS; ++attempt) {
    if (!send()) {
      if (!quiet) std::printf("%s: the frame to register 0x%04X did not reach the bridge.\n", g_step, reg);
      return false;
    }
    if (emulboard_cp2112_transfer_acknowledged() != 0) return true;
  }
  if (!quiet && usb_drv_cp2112_LastTransferCancelled() != 0) {
    std::printf("%s: the bridge was still busy with the frame to register 0x%04X when its write timeout ran out; "
                "the transfer was cancelled (%u attempts).\n",
                g_step, reg, static_cast<unsigned>(ISP_FRAME_ATTEMPTS));
    run_reason_set("the bridge stayed busy with the frame to register 0x%04X", static_cast<unsigned>(reg));
  } else if (!quiet) {
    std::printf("%s: the controller refused the frame to register 0x%04X (%u attempts).\n", g_step, reg,
                static_cast<unsigned>(ISP_FRAME_ATTEMPTS));
    run_reason_set("the controller refused the frame to register 0x%04X", static_cast<unsigned>(reg));
  }
  return false;
}

// Reads one word: the register address, acknowledged, then the 4-byte read.
// The buffer is cleared first so a failed read leaves no older value behind.
// `quiet`: a refused address is left to the caller to report.
bool read_word(uint16_t reg, uint8_t word[4], bool quiet = false) {
  std::memset(appRecvBuffer, 0, sizeof appRecvBuffer);
  std::memset(word, 0, 4);
  const uint8_t address[2] = {static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg)};
  if (!acknowledged(reg, [&] { return emulboard_cp2112_i2c_write(address, sizeof address) != 0; }, quiet)) {
    return false;
  }
  return _emulboard_cp2112_i2c_read(g_slave_addr, word, 4) != 0;
}

// Ctrl+C between two words or blocks (a poll that is answered at once never
// looks at gloop).
bool stopped(const char* what) {
  if (gloop != 0) return false;
  std::printf("%s: stopped.\n", what);
  return true;
}

}  // namespace

int emulboard_cp2112_isp_set_speed(uint32_t bits_per_second) {
  if (emulboard_cp2112_set_i2c_speed(bits_per_second) != 0) return 1;
  std::printf("The CP2112 did not take the bit rate %u.\n", static_cast<unsigned>(bits_per_second));
  return 0;
}

void emulboard_cp2112_isp_print_time(const char* text) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::printf("[%02d:%02d:%02d] %s", local.tm_hour, local.tm_min, local.tm_sec, text);
}

void emulboard_cp2112_isp_step(const char* what) { std::snprintf(g_step, sizeof g_step, "%s", what); }

int emulboard_cp2112_isp_write(uint16_t reg, uint32_t value) {
  if (reg == ISP_REG_ADDRESS) g_command_address = value;
  return acknowledged(reg, [&] { return send_word(reg, value); }) ? 1 : 0;
}

int emulboard_cp2112_isp_wait_status(uint8_t bit, const char* what) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  uint32_t reads = 0;
  bool answered = false;
  uint8_t last_low = 0;
  for (;;) {
    uint8_t word[4];
    ++reads;
    if (read_word(ISP_REG_STATUS, word, true)) {
      answered = true;
      last_low = word[3];
      if ((word[3] & bit) != 0) return 1;
    } else {
      emul_usdelay(kFailedReadPauseMs);
    }
    if (gloop == 0) {
      std::printf("%s: stopped.\n", what);
      return 0;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    if (reads >= ISP_POLL_MIN_READS && elapsed >= static_cast<long long>(ISP_POLL_LIMIT_MS)) break;
  }
  if (answered) {
    run_reason_set("the controller did not complete the command at 0x%05X", static_cast<unsigned>(g_command_address));
    std::printf("%s: the controller did not report completion (status bit 0x%02X never came; last status 0x%02X).\n",
                what, bit, last_low);
  } else {
    std::printf("%s: no status read succeeded; the bridge or the controller does not answer.\n", what);
  }
  return 0;
}

int _emulboard_cp2112_ispmode_enter(void) {
  trace("_emulboard_cp2112_ispmode_enter");
  // Not judged by acknowledge: a controller already in ISP mode need not
  // take the entry sequence again. Every later frame is judged.
  const IspAccessCodes& codes = ISP_ACCESS_CODES;
  emulboard_cp2112_isp_step("Entering ISP mode");
  for (uint32_t code : codes.entry_codes) {
    if (!send_word(codes.entry_register, code)) return 0;
  }
  for (uint32_t word : codes.unlock_words) {
    if (!send_word(ISP_REG_KEY, word)) return 0;
  }
  uint8_t ignored[4];
  emulboard_cp2112_i2c_read_from(ignored, sizeof ignored, ISP_REG_COMMAND);
  return 1;
}

int _emulboard_cp2112_ispmode_Unlock_protection(void) {
  trace("_emulboard_cp2112_ispmode_Unlock_protection");
  emulboard_cp2112_isp_step("Protection unlock");
  const bool sent = write_all({{ISP_REG_STATUS, ISP_STATUS_PROTECTION},
                               {ISP_REG_SETUP2, kProtectionSetup2},
                               {ISP_REG_SETUP, kProtectionSetup},
                               {ISP_REG_PROTECTION, ISP_ACCESS_CODES.protection_setup},
                               {ISP_REG_ADDRESS, kProtectionAddress},
                               {ISP_REG_DATA0, ISP_ACCESS_CODES.protection_setting},
                               {ISP_REG_COMMAND, ISP_CMD_PROTECTION}});
  if (!sent || emulboard_cp2112_isp_wait_status(ISP_STATUS_PROTECTION, "Protection unlock") == 0 ||
      emulboard_cp2112_isp_write(ISP_REG_STATUS, ISP_STATUS_PROTECTION) == 0) {
    return 0;
  }
  emul_usdelay(kUnlockPauseMs);
  std::puts("protection unlock complete");
  return 1;
}

namespace {

// One word of the dump: the read command, its completion, the data word.
bool dump_word(uint32_t address, uint8_t word[4]) {
  char what[48];
  std::snprintf(what, sizeof what, "Read of flash word 0x%05X", address);
  emulboard_cp2112_isp_step(what);
  if (!write_all({{ISP_REG_STATUS, ISP_STATUS_CLEAR},
                  {ISP_REG_SETUP, 0},
                  {ISP_REG_ADDRESS, address & 0x00FFFFFF},
                  {ISP_REG_COMMAND, ISP_CMD_READ}})) {
    return false;
  }
  if (emulboard_cp2112_isp_wait_status(ISP_STATUS_DONE, what) == 0) return false;
  if (emulboard_cp2112_isp_write(ISP_REG_STATUS, ISP_STATUS_CLEAR) == 0) return false;
  if (!read_word(ISP_REG_READ_DATA, word)) {
    std::printf("%s: the data register could not be read.\n", what);
    return false;
  }
  return true;
}

int dump_words(FILE* file, const char* path, uint32_t start, uint32_t length) {
  if (emulboard_cp2112_isp_set_speed(kDumpBitRate) == 0 || _emulboard_cp2112_ispmode_enter() == 0) return 0;
  for (uint32_t address = start; address < start + length; address += 4) {
    uint8_t word[4];
    if (stopped("Dump") || !dump_word(address, word)) return 0;
    const uint8_t stored[4] = {word[3], word[2], word[1], word[0]};
    if (std::fwrite(stored, 1, sizeof stored, file) != sizeof stored) {
      std::printf("Can not write File(%s)\n", safe_text(path).c_str());
      return 0;
    }
    if (address % 1024 == 0 && run_progress_lines()) std::printf("%dK\n", static_cast<int>(address / 1024));
    run_progress(address + 4 - start, length);
  }
  return 1;
}

}  // namespace

int emulboard_cp2112_dump_from_flash_using_ispmode(const char* path, uint32_t start, uint32_t length) {
  trace("emulboard_cp2112_dump_from_flash_using_ispmode");
  std::printf("Upload Filename = %s\n", safe_text(path).c_str());
  emulboard_cp2112_isp_print_time("Upload Start!!!\n");
  int result = 0;
  FILE* file = platform_fopen(path, "wb");
  if (file == nullptr) {
    std::printf("Can not Open File(dump.bin)");
  } else {
    result = dump_words(file, path, start, length);
    emulboard_cp2112_set_i2c_speed(kRestBitRate);
    if (std::fclose(file) != 0 && result == 1) {
      std::printf("Can not write File(%s)\n", safe_text(path).c_str());
      result = 0;
    }
  }
  emulboard_cp2112_isp_print_time("Upload End!!!\n");
  emulboard_cp2112_set_i2c_speed(kRestBitRate);
  return result;
}

namespace {

// One block: set-up, address, 32 data words, the program command and its
// completion.
bool program_block(uint32_t address, const uint8_t* bytes) {
  char what[48];
  std::snprintf(what, sizeof what, "Program of block 0x%05X", address);
  emulboard_cp2112_isp_step(what);
  if (!write_all({{ISP_REG_STATUS, ISP_STATUS_CLEAR},
                  {ISP_REG_SETUP, 0},
                  {ISP_REG_SETUP, kProgramSetup},
                  {ISP_REG_SETUP2, kProgramSetup2},
                  {ISP_REG_ADDRESS, address}})) {
    return false;
  }
  for (uint32_t k = 0; k < kWordsPerBlock; ++k) {
    const uint8_t* p = bytes + 4 * k;  // file order: least significant byte first
    const uint32_t word = static_cast<uint32_t>(p[3]) << 24 | static_cast<uint32_t>(p[2]) << 16 |
                          static_cast<uint32_t>(p[1]) << 8 | p[0];
    const uint16_t reg = k == 0 ? ISP_REG_DATA0 : static_cast<uint16_t>(ISP_REG_DATA1 + 4 * (k - 1));
    if (emulboard_cp2112_isp_write(reg, word) == 0) return false;
  }
  if (emulboard_cp2112_isp_write(ISP_REG_COMMAND, ISP_CMD_PROGRAM) == 0) return false;
  return emulboard_cp2112_isp_wait_status(ISP_STATUS_DONE, what) != 0 &&
         emulboard_cp2112_isp_write(ISP_REG_STATUS, ISP_STATUS_CLEAR) != 0;
}

int program_blocks(FILE* file, uint32_t size, const char* path) {
  if (emulboard_cp2112_isp_set_speed(kProgramBitRate) == 0 || _emulboard_cp2112_ispmode_enter() == 0 ||
      _emulboard_cp2112_ispmode_Unlock_protection() == 0) {
    return 0;
  }
  emulboard_cp2112_isp_step("Mass erase");
  if (!write_all({{ISP_REG_STATUS, ISP_STATUS_CLEAR},
                  {ISP_REG_SETUP, 0},
                  {ISP_REG_SETUP, kMassEraseSetup},
                  {ISP_REG_COMMAND, ISP_CMD_MASS_ERASE}}) ||
      emulboard_cp2112_isp_wait_status(ISP_STATUS_DONE, "Mass erase") == 0 ||
      emulboard_cp2112_isp_write(ISP_REG_STATUS, ISP_STATUS_CLEAR) == 0) {
    return 0;
  }
  std::puts("Mass erase complete");
  for (uint32_t address = 0; address < size; address += ISP_BLOCK_SIZE) {
    if (stopped("Program")) return 0;
    uint8_t block[ISP_BLOCK_SIZE];
    std::memset(block, 0xFF, sizeof block);
    const size_t wanted = size - address < ISP_BLOCK_SIZE ? size - address : ISP_BLOCK_SIZE;
    if (std::fread(block, 1, wanted, file) != wanted) {
      std::printf("Can not read File(%s)\n", safe_text(path).c_str());
      return 0;
    }
    if (!program_block(address, block)) return 0;
    if (address % 1024 == 0 && run_progress_lines()) std::printf("%dK\n", static_cast<int>(address / 1024));
    run_progress(address + static_cast<uint32_t>(wanted), size);
  }
  return 1;
}

}  // namespace

int emulboard_cp2112_program_to_flash_using_ispmode(const char* path, const char* shown_name) {
  trace("emulboard_cp2112_program_to_flash_using_ispmode");
  std::printf("Download Filename = %s\n", safe_text(shown_name != nullptr ? shown_name : path).c_str());
  emulboard_cp2112_isp_print_time("Download Start!!!\n");
  File file(platform_fopen(path, "rb"));
  if (!file) {
    std::printf("Can not find Filename = %s\n", safe_text(path).c_str());
    return 0;
  }
  long size = -1;
  if (std::fseek(file.get(), 0, SEEK_END) == 0) size = std::ftell(file.get());
  std::fseek(file.get(), 0, SEEK_SET);
  std::printf("filesize = %d\n", static_cast<int>(size));
  // Refused before anything is sent: an empty file would mass-erase the
  // flash for nothing, a longer one would run past its end.
  if (size <= 0 || size > static_cast<long>(ISP_FLASH_SIZE)) {
    if (size < 0) {
      std::printf("Can not read File(%s)\n", safe_text(path).c_str());
    } else {
      std::printf(size == 0 ? "Nothing to program: the file is empty.\n"
                            : "Not programmed: the file is larger than the flash (0x20000 bytes).\n");
    }
    return 0;
  }
  const int result = program_blocks(file.get(), static_cast<uint32_t>(size), path);
  file.reset();
  emulboard_cp2112_isp_print_time("Download End!!!\n");
  emulboard_cp2112_set_i2c_speed(kRestBitRate);
  return result;
}
