// The virtual KD63507's ISP side, and the data compare of IAP command 5.
//
// ISP registers as the flash controller has them (32-bit words):
//   0x0004 key, 0x000C status (bits 0x40 and 0x20 report completion and are
//   cleared by writing 1), 0x0010 command, 0x0014 flash address, 0x0018 and
//   0x001C set-up, 0x0028 data word 0, 0x0030 read data, 0x00D0 protection
//   set-up, 0x0100-0x0178 data words 1 to 31.
// Commands: 0x1044 mass erase (set-up 1), 0x1042 sector erase of the 4 KiB
// sector holding the address (set-up 0x20), 0x1041 program the 128-byte
// block at the address (set-up 4, 0x1F; programming only clears bits, as on
// real flash), 0x1048 read the word at the address into 0x0030 (set-up 0),
// 0x80000041 the protection command (status bit 0x20), which clears the
// protection when its registers hold the access-code table's values.
// Erase and program commands are ignored while the flash is protected, as
// is any command with a wrong set-up or address: their completion bit never
// comes. Only 2-byte (address) and 6-byte (register word) writes are
// acknowledged in ISP mode.
//
// Strict on what a host may get wrong: the status comes up with both
// completion bits set (as a run cut off before its clear leaves them), a
// completion bit stays until the host clears it, and the read data register
// changes only when a read completes, so a host that skips a clear polls a
// stale bit and reads stale data. Protocol violations (counted): a command
// written while another is still pending, a non-zero set-up value written
// over another without 0 between, and IAP data compares whose window writes
// came closer than 2 ms apart.
#include "kd63507.h"

#include "bridge/cp2112/kd63507_isp_codes.h"

#include <algorithm>

namespace {

constexpr uint16_t kKey = 0x0004;
constexpr uint16_t kStatus = 0x000C;
constexpr uint16_t kCommand = 0x0010;
constexpr uint16_t kAddress = 0x0014;
constexpr uint16_t kSetup = 0x0018;
constexpr uint16_t kSetup2 = 0x001C;
constexpr uint16_t kData0 = 0x0028;
constexpr uint16_t kReadData = 0x0030;
constexpr uint16_t kProtection = 0x00D0;
constexpr uint16_t kData1 = 0x0100;
constexpr uint16_t kRegisterEnd = 0x0180;

constexpr uint32_t kProgram = 0x1041;
constexpr uint32_t kSectorErase = 0x1042;
constexpr uint32_t kMassErase = 0x1044;
constexpr uint32_t kRead = 0x1048;
constexpr uint32_t kProtectionCommand = 0x80000041;
constexpr uint8_t kDone = 0x40;
constexpr uint8_t kProtectionDone = 0x20;
constexpr uint32_t kBlock = 128;

constexpr uint8_t kIapProgram = 3;
constexpr uint8_t kIapCheck = 5;

uint32_t be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

}  // namespace

void VirtualKd63507::powered_off() {
  // A request the controller took and has not finished is lost with the
  // power (flash half programmed, a mode switch cut short): the host must
  // wait for the ready status first, unless the controller will never give
  // it (never ready, or no longer answering).
  const bool vanished = config_.vanish_after >= 0 && addressed_transfers_ > config_.vanish_after;
  if (busy_ && !config_.never_ready && !vanished) violation("powered off while busy", kRegStatus);
  busy_ = false;
  on_done_ = nullptr;
  // The firmware starts afresh at the next power-up: out of update mode
  // (a bootloader, any protocol but TCIP, knows no other mode).
  update_mode_ = config_.protocol != "TCIP";
  regs_[kRegStatus] = kStatusReady;
  IspState fresh;
  fresh.refused = isp_.refused;
  fresh.nacked = isp_.nacked;
  fresh.frames_to_nack_reg = isp_.frames_to_nack_reg;
  isp_ = fresh;
}

void VirtualKd63507::isp_complete() {
  isp_.regs[kStatus / 4] |= isp_.pending_bit;
  if (isp_.pending_is_read) isp_.regs[kReadData / 4] = isp_.pending_read;
  isp_.pending_bit = 0;
  isp_.pending_is_read = false;
}

int VirtualKd63507::isp_write(const uint8_t* data, size_t length) {
  const IspAccessCodes& codes = ISP_ACCESS_CODES;
  const uint16_t reg = length >= 2 ? static_cast<uint16_t>(data[0] << 8 | data[1]) : 0;
  if (!isp_.active) {
    // Watch for the entry sequence: three codes, then two unlock words, each
    // one register word in order; anything else starts it over.
    const uint32_t value = length == 6 ? be32(data + 2) : 0;
    const int step = isp_.entry_step;
    const bool next = length == 6 && (step < 3 ? reg == codes.entry_register && value == codes.entry_codes[step]
                                               : reg == kKey && value == codes.unlock_words[step - 3]);
    isp_.entry_step = next ? step + 1 : (length == 6 && reg == codes.entry_register && value == codes.entry_codes[0]);
    if (isp_.entry_step == 5) {
      isp_.active = true;
      isp_.regs[kStatus / 4] = kDone | kProtectionDone;
    }
    return -1;
  }
  const Kd63507Config::IspNack& nack = config_.isp_nack;
  if (nack.nth > 0 && length >= 2 && reg == nack.reg) {
    const long n = ++isp_.frames_to_nack_reg;
    if (n >= nack.nth && n - nack.nth < nack.count) {
      ++isp_.nacked;
      return 0;
    }
  }
  if (length == 2) {
    isp_.pointer = reg;
    return 1;
  }
  if (length != 6 || reg % 4 != 0 || reg >= kRegisterEnd) return 0;
  isp_.pointer = reg;
  const uint32_t value = be32(data + 2);
  uint32_t& word = isp_.regs[reg / 4];
  if (reg == kStatus) {
    word &= ~(value & (kDone | kProtectionDone));
  } else if (reg != kReadData) {
    if (reg == kSetup && value != 0 && word != 0 && word != value) violation("ISP set-up changed without 0 between", reg);
    if (reg == kCommand && isp_.pending_bit != 0) violation("ISP command while another is pending", reg);
    word = value;
    if (reg == kCommand) isp_command(value);
  }
  return 1;
}

void VirtualKd63507::isp_read(uint8_t* data, size_t length) {
  if (isp_.pointer == kStatus) ++isp_.status_reads;
  if (isp_.pointer == kStatus && isp_.pending_bit != 0) {
    if (isp_.busy_left > 0) {
      --isp_.busy_left;
    } else if (now() >= isp_.ready_at) {
      isp_complete();
    }
  }
  for (size_t i = 0; i < length; ++i) {
    const uint16_t at = static_cast<uint16_t>(isp_.pointer + i);
    const uint32_t word = at < kRegisterEnd ? isp_.regs[at / 4] : 0;
    data[i] = static_cast<uint8_t>(word >> (8 * (3 - at % 4)));
  }
  isp_.pointer = static_cast<uint16_t>(isp_.pointer + length);
}

void VirtualKd63507::isp_command(uint32_t command) {
  auto reg = [&](uint16_t r) { return isp_.regs[r / 4]; };
  const uint32_t address = reg(kAddress);
  bool done = false;
  uint32_t read = 0;
  switch (command) {
    case kProtectionCommand: {
      const IspAccessCodes& codes = ISP_ACCESS_CODES;
      done = true;
      if (reg(kSetup2) == 0x80 && reg(kSetup) == 0x100 && reg(kProtection) == codes.protection_setup &&
          address == 0x0C && reg(kData0) == codes.protection_setting) {
        isp_.unprotected = true;
      }
      break;
    }
    case kMassErase:
      done = isp_.unprotected && reg(kSetup) == 1;
      if (done) flash_.fill(0xFF);
      break;
    case kSectorErase:
      done = isp_.unprotected && reg(kSetup) == 0x20 && address < kFlashSize;
      if (done) std::fill_n(flash_.begin() + (address & ~(kIspSectorSize - 1)), kIspSectorSize, 0xFF);
      break;
    case kProgram:
      done = isp_.unprotected && reg(kSetup) == 4 && reg(kSetup2) == 0x1F && address % kBlock == 0 &&
             address < kFlashSize;
      for (uint32_t k = 0; done && k < kBlock / 4; ++k) {
        const uint32_t word = k == 0 ? reg(kData0) : reg(static_cast<uint16_t>(kData1 + 4 * (k - 1)));
        for (uint32_t i = 0; i < 4; ++i) flash_[address + 4 * k + i] &= static_cast<uint8_t>(word >> (8 * i));
      }
      break;
    case kRead:
      done = reg(kSetup) == 0 && address % 4 == 0 && address < kFlashSize;
      if (done) {
        read = static_cast<uint32_t>(flash_[address]) | static_cast<uint32_t>(flash_[address + 1]) << 8 |
                                   static_cast<uint32_t>(flash_[address + 2]) << 16 |
                                   static_cast<uint32_t>(flash_[address + 3]) << 24;
      }
      break;
    default:
      break;
  }
  if (!done) {
    ++isp_.refused;
    return;
  }
  if (command != kRead && command != kProtectionCommand) ++flash_writes_;
  const auto& stuck = config_.isp_stuck_commands;
  if (std::find(stuck.begin(), stuck.end(), command) != stuck.end()) return;
  isp_.pending_bit = command == kProtectionCommand ? kProtectionDone : kDone;
  isp_.pending_is_read = command == kRead;
  isp_.pending_read = read;
  isp_.busy_left = config_.isp_busy_reads;
  const Kd63507Timing& t = config_.timing;
  started_busy_ = command == kProtectionCommand ? t.protection
                  : command == kMassErase       ? t.mass_erase
                  : command == kSectorErase     ? t.sector_erase
                  : command == kProgram         ? t.program_row
                                                : t.isp_read;
  isp_.ready_at = now() + started_busy_;
  if (isp_.busy_left == 0 && started_busy_.count() == 0) isp_complete();
}

void VirtualKd63507::iap_window_written() {
  const SimClock::time_point at = now();
  if (iap_window_writes_++ > 0 && at - iap_last_window_write_ < kIapComparePause) iap_window_rushed_ = true;
  iap_last_window_write_ = at;
}

bool VirtualKd63507::iap_follows_program(uint8_t command, uint32_t address, uint32_t length) {
  // A data compare takes its window writes at least 2 ms apart.
  if (command == kIapCheck && iap_last_command_ != kIapProgram && iap_window_rushed_) {
    violation("IAP data compare after window writes closer than 2 ms", kRegIapWindow);
  }
  iap_window_writes_ = 0;
  iap_window_rushed_ = false;
  const bool follows = iap_last_command_ == kIapProgram && iap_last_address_ == address && iap_last_length_ == length;
  iap_last_command_ = command;
  iap_last_address_ = address;
  iap_last_length_ = length;
  return follows && command == kIapCheck;
}

uint8_t VirtualKd63507::iap_compare(uint32_t address, uint32_t length) const {
  if (config_.compare_never_answers) return 0;
  return std::equal(flash_.begin() + address, flash_.begin() + address + length, regs_.begin() + kRegIapWindow) ? 1 : 2;
}

void VirtualKd63507::iap_program_fault(uint32_t address) {
  const auto& units = config_.corrupt_units;
  if (std::find(units.begin(), units.end(), address) != units.end()) flash_[address] ^= 0x01;
}
