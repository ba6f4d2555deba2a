#include "kd63507.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint16_t kCmdAddress = 0;  // offsets inside the IAP command block
constexpr uint16_t kCmdLength = 4;
constexpr uint16_t kCmdResult = 6;
constexpr uint16_t kCmdCommand = 7;
constexpr uint8_t kIapProgram = 3;
constexpr uint8_t kIapCheck = 5;
constexpr uint8_t kIapUnitQuery = 8;
constexpr uint16_t kCmdSize = 8;

uint16_t crc16_bitwise(uint16_t crc, uint8_t byte) {
  crc ^= static_cast<uint16_t>(byte << 8);
  for (int bit = 0; bit < 8; ++bit) {
    crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x8005) : static_cast<uint16_t>(crc << 1);
  }
  return crc;
}

}  // namespace

uint32_t kd63507_unit_checksum(const uint8_t* data, size_t length) {
  uint16_t lane[2] = {0, 0};
  for (size_t word = 0; word * 2 + 1 < length; ++word) {
    uint16_t& crc = lane[word & 1];
    crc = crc16_bitwise(crc, data[word * 2 + 1]);
    crc = crc16_bitwise(crc, data[word * 2]);
  }
  return ~((static_cast<uint32_t>(lane[1]) << 16) | lane[0]);
}

VirtualKd63507::VirtualKd63507(Kd63507Config config) : config_(std::move(config)) {
  flash_.fill(0xFF);
  for (size_t i = 0; i < 4; ++i) {
    regs_[kRegVersion + 2 * i] = static_cast<uint8_t>(config_.versions[i]);
    regs_[kRegVersion + 2 * i + 1] = static_cast<uint8_t>(config_.versions[i] >> 8);
  }
  char name[8] = {};
  std::memcpy(name, config_.protocol.data(), std::min<size_t>(config_.protocol.size(), sizeof name));
  std::memcpy(&regs_[kRegInterface], name, sizeof name);
  regs_[kRegInterface + 8] = static_cast<uint8_t>(config_.protocol_version);
  regs_[kRegInterface + 9] = static_cast<uint8_t>(config_.protocol_version >> 8);
  // A bootloader (any name but TCIP) does nothing but take IAP commands.
  update_mode_ = config_.protocol != "TCIP";
  regs_[kRegStatus] = kStatusReady;
  diag_.power_up();
  console_seed();
}

void VirtualKd63507::record(bool read, uint8_t address7, bool acked, const uint8_t* data, size_t length) {
  if (!recording_ && trace_file_ == nullptr) return;
  Transfer transfer{read, address7, acked, std::vector<uint8_t>(data, data + (acked ? length : 0)), now()};
  if (trace_file_ != nullptr) std::fprintf(trace_file_, "%s\n", format_transfer(transfer).c_str());
  if (recording_) transfers_.push_back(std::move(transfer));
}

std::string VirtualKd63507::format_transfer(const Transfer& transfer) {
  char head[8];
  std::snprintf(head, sizeof head, "%c %02X:", transfer.read ? 'R' : 'W', transfer.address7);
  std::string line = head;
  for (uint8_t byte : transfer.bytes) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", byte);
    line += hex;
  }
  return line;
}

void VirtualKd63507::violation(const char* what, uint16_t reg) {
  ++protocol_violations_;
  if (trace_file_ != nullptr) std::fprintf(trace_file_, "! protocol violation: %s %04X\n", what, reg);
}

bool VirtualKd63507::answers(uint8_t address7) {
  if (address7 != config_.address7) return false;
  ++addressed_transfers_;
  return config_.vanish_after < 0 || addressed_transfers_ <= config_.vanish_after;
}

void VirtualKd63507::mark_last(bool poll, std::chrono::microseconds busy) {
  if (!recording_ || transfers_.empty()) return;
  transfers_.back().poll = poll;
  transfers_.back().busy = busy;
}

bool VirtualKd63507::i2c_write(uint8_t address7, const uint8_t* data, size_t length) {
  const bool ours = answers(address7);
  record(false, address7, ours, data, length);
  if (!ours) return false;
  settle();
  started_busy_ = {};
  if (const int isp = isp_write(data, length); isp >= 0) {
    mark_last(isp_.active && length == 2 && isp_.pointer == 0x000C, started_busy_);
    return isp != 0;
  }
  if (length < 2) return true;  // no complete register address: acknowledged, ignored
  const uint16_t first = static_cast<uint16_t>(data[0] << 8 | data[1]);
  struct Mark {
    VirtualKd63507* self;
    bool poll;
    ~Mark() { self->mark_last(poll, self->started_busy_); }
  } mark{this, length == 2 && first == kRegStatus};
  const size_t count = length - 2;
  auto covers = [&](uint16_t reg, size_t n) {
    return count > 0 && (static_cast<uint16_t>(reg - first) < count || static_cast<uint16_t>(first - reg) < n);
  };
  if (busy_) {
    if (covers(kRegIapCommand, kCmdSize)) violation("write to the command block while busy", first);
    if (covers(kRegIapWindow, kIapWindowSize)) violation("write to the data window while busy", first);
    if (covers(kRegMode, 1)) violation("write to the mode register while busy", first);
  }
  if (covers(kRegIapWindow, kIapWindowSize)) iap_window_written();
  for (size_t i = 0; i < count; ++i) regs_[static_cast<uint16_t>(first + i)] = data[2 + i];
  // While a command runs, ucResult belongs to the controller: a host write
  // then does not change it.
  if (busy_ && covers(kRegIapCommand + kCmdResult, 1)) regs_[kRegIapCommand + kCmdResult] = result_;
  pointer_ = static_cast<uint16_t>(first + count);
  if (count == 0) pointer_ = first;
  on_register_write(first, count);
  diag_.on_write(first, count);
  return true;
}

bool VirtualKd63507::i2c_read(uint8_t address7, uint8_t* data, size_t length) {
  const bool ours = answers(address7);
  if (ours && isp_.active) {
    isp_read(data, length);
  } else if (ours) {
    settle();
    if (pointer_ == kRegStatus) {
      ++status_reads_;
      regs_[kRegStatus] = answer_status();
      regs_[kRegStatus] = diag_.status(regs_[kRegStatus]);
    }
    for (size_t i = 0; i < length; ++i) data[i] = regs_[static_cast<uint16_t>(pointer_ + i)];
    // The controller works on while the host reads elsewhere: any read counts
    // toward the busy time, but only after it was answered with the old state.
    if (pointer_ != kRegStatus && busy_ && busy_reads_left_ > 0) --busy_reads_left_;
    diag_.on_read(pointer_, length);
    pointer_ = static_cast<uint16_t>(pointer_ + length);
  }
  const bool poll = ours && (isp_.active ? isp_.pointer == 0x000C + length : pointer_ == kRegStatus + length);
  record(true, address7, ours, data, length);
  mark_last(poll, {});
  return ours;
}

uint8_t VirtualKd63507::answer_status() {
  if (announce_reads_ > 0) {
    --announce_reads_;
    return announce_status_;
  }
  if (config_.never_ready) return kStatusBusy;
  if (!busy_) return kStatusReady;
  if (busy_reads_left_ > 0) {
    --busy_reads_left_;
    return kStatusBusy;
  }
  settle();
  return busy_ ? kStatusBusy : kStatusReady;
}

void VirtualKd63507::start_busy(int reads, std::chrono::microseconds duration, std::function<void()> on_done) {
  busy_ = true;
  busy_reads_left_ = reads;
  busy_until_ = now() + duration;
  on_done_ = std::move(on_done);
  regs_[kRegStatus] = kStatusBusy;
}

void VirtualKd63507::settle() {
  if (!busy_ || busy_reads_left_ > 0 || config_.never_ready || now() < busy_until_) return;
  busy_ = false;
  regs_[kRegStatus] = kStatusReady;
  if (auto done = std::move(on_done_)) {
    on_done_ = nullptr;
    done();
  }
}

void VirtualKd63507::announce(uint8_t status, int reads) {
  announce_status_ = status;
  announce_reads_ = reads;
}

void VirtualKd63507::start_request(std::chrono::microseconds time, std::function<void()> on_done) {
  started_busy_ = config_.busy_time + time;
  start_busy(config_.busy_reads, started_busy_, std::move(on_done));
}

std::chrono::microseconds VirtualKd63507::iap_busy_time() const {
  const uint8_t* block = &regs_[kRegIapCommand];
  const uint32_t address = static_cast<uint32_t>(block[kCmdAddress]) | static_cast<uint32_t>(block[kCmdAddress + 1]) << 8;
  const uint32_t length = static_cast<uint32_t>(block[kCmdLength]) | static_cast<uint32_t>(block[kCmdLength + 1]) << 8;
  const Kd63507Timing& t = config_.timing;
  switch (block[kCmdCommand]) {
    case kIapProgram:
      return (address % 0x1000 == 0 ? t.sector_erase : std::chrono::microseconds{0}) +
             t.program_row * static_cast<long>((length + 127) / 128);
    case kIapCheck:
      return t.check_kib * static_cast<long>((length + 1023) / 1024);
    default:
      return t.unit_query;
  }
}

void VirtualKd63507::on_register_write(uint16_t first, size_t count) {
  auto covers = [&](uint16_t reg) { return count > 0 && static_cast<uint16_t>(reg - first) < count; };
  // A request written while busy is not taken: the controller is not listening.
  if (covers(kRegMode) && !busy_) {
    const uint8_t mode = regs_[kRegMode];
    if (mode == kModeReset) ++reset_requests_;
    diag_.on_mode_request();
    start_request(mode == kModeReset ? config_.timing.reset : config_.timing.mode_change, [this, mode] {
      update_mode_ = mode == kModeReset ? config_.protocol != "TCIP" : mode == kModeUpdate;
    });
  }
  if (covers(kRegIapCommand + kCmdCommand) && !busy_) start_request(iap_busy_time(), [this] { run_iap_command(); });
  console_on_write(first, count);
}

void VirtualKd63507::set_result(uint8_t result) {
  result_ = result;
  regs_[kRegIapCommand + kCmdResult] = result;
}

void VirtualKd63507::run_iap_command() {
  const uint8_t* block = &regs_[kRegIapCommand];
  const uint32_t address = static_cast<uint32_t>(block[kCmdAddress]) | static_cast<uint32_t>(block[kCmdAddress + 1]) << 8 |
                           static_cast<uint32_t>(block[kCmdAddress + 2]) << 16 |
                           static_cast<uint32_t>(block[kCmdAddress + 3]) << 24;
  const uint32_t length = static_cast<uint32_t>(block[kCmdLength]) | static_cast<uint32_t>(block[kCmdLength + 1]) << 8;
  const uint8_t command = block[kCmdCommand];
  const bool in_flash = length <= kIapWindowSize && address <= kFlashSize && length <= kFlashSize - address;
  // Refused: not in update mode, a unit outside the flash, an unknown command.
  const bool known = command == kIapProgram || command == kIapCheck || command == kIapUnitQuery;
  if (!update_mode_ || !known || (command != kIapUnitQuery && !in_flash)) {
    ++refused_commands_;
    set_result(command == kIapCheck || command == kIapUnitQuery ? 0 : kResultRefused);
    return;
  }
  const bool after_program = iap_follows_program(command, address, length);
  switch (command) {
    case kIapProgram:
      ++program_commands_;
      ++flash_writes_;
      std::memcpy(&flash_[address], &regs_[kRegIapWindow], length);
      iap_program_fault(address);
      // The controller reads the unit back: 1 when it matches the window.
      set_result(std::memcmp(&flash_[address], &regs_[kRegIapWindow], length) == 0 ? 1 : 2);
      break;
    case kIapCheck: {
      ++check_commands_;
      if (!after_program) {
        set_result(iap_compare(address, length));
        break;
      }
      const uint8_t* window = &regs_[kRegIapWindow];
      const uint32_t expected = static_cast<uint32_t>(window[0]) | static_cast<uint32_t>(window[1]) << 8 |
                                static_cast<uint32_t>(window[2]) << 16 | static_cast<uint32_t>(window[3]) << 24;
      bool good = kd63507_unit_checksum(&flash_[address], length) == expected;
      auto fault = config_.check_failures.find((address + length) / 1024);
      if (fault != config_.check_failures.end() && fault->second > 0) {
        --fault->second;
        good = false;
      }
      set_result(good ? 1 : 0);
      break;
    }
    default:  // kIapUnitQuery
      set_result(config_.unit_4k ? 1 : 0);
      break;
  }
}
