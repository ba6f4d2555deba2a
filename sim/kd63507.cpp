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
}

void VirtualKd63507::record(bool read, uint8_t address7, bool acked, const uint8_t* data, size_t length) {
  if (!recording_ && trace_file_ == nullptr) return;
  Transfer transfer{read, address7, acked, std::vector<uint8_t>(data, data + (acked ? length : 0))};
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

bool VirtualKd63507::i2c_write(uint8_t address7, const uint8_t* data, size_t length) {
  const bool ours = address7 == config_.address7;
  record(false, address7, ours, data, length);
  if (!ours) return false;
  if (const int isp = isp_write(data, length); isp >= 0) return isp != 0;
  if (length < 2) return true;  // no complete register address: acknowledged, ignored
  const uint16_t first = static_cast<uint16_t>(data[0] << 8 | data[1]);
  const size_t count = length - 2;
  for (size_t i = 0; i < count; ++i) regs_[static_cast<uint16_t>(first + i)] = data[2 + i];
  pointer_ = static_cast<uint16_t>(first + count);
  if (count == 0) pointer_ = first;
  on_register_write(first, count);
  return true;
}

bool VirtualKd63507::i2c_read(uint8_t address7, uint8_t* data, size_t length) {
  const bool ours = address7 == config_.address7;
  if (ours && isp_.active) {
    isp_read(data, length);
  } else if (ours) {
    if (pointer_ == kRegStatus) {
      ++status_reads_;
      if (config_.never_ready) {
        regs_[kRegStatus] = kStatusBusy;
      } else if (busy_left_ > 0) {
        --busy_left_;
        regs_[kRegStatus] = kStatusBusy;
      } else {
        regs_[kRegStatus] = kStatusReady;
      }
    }
    for (size_t i = 0; i < length; ++i) data[i] = regs_[static_cast<uint16_t>(pointer_ + i)];
    pointer_ = static_cast<uint16_t>(pointer_ + length);
  }
  record(true, address7, ours, data, length);
  return ours;
}

void VirtualKd63507::start_request() {
  busy_left_ = config_.busy_reads;
  regs_[kRegStatus] = config_.busy_reads > 0 || config_.never_ready ? kStatusBusy : kStatusReady;
}

void VirtualKd63507::on_register_write(uint16_t first, size_t count) {
  auto covers = [&](uint16_t reg) { return count > 0 && static_cast<uint16_t>(reg - first) < count; };
  if (covers(kRegMode)) {
    const uint8_t mode = regs_[kRegMode];
    if (mode == kModeReset) {
      ++reset_requests_;
      update_mode_ = config_.protocol != "TCIP";
    } else {
      update_mode_ = mode == kModeUpdate;
    }
    start_request();
  }
  if (covers(kRegIapCommand + kCmdCommand)) {
    run_iap_command();
    start_request();
  }
}

void VirtualKd63507::run_iap_command() {
  uint8_t* block = &regs_[kRegIapCommand];
  const uint32_t address = static_cast<uint32_t>(block[kCmdAddress]) | static_cast<uint32_t>(block[kCmdAddress + 1]) << 8 |
                           static_cast<uint32_t>(block[kCmdAddress + 2]) << 16 |
                           static_cast<uint32_t>(block[kCmdAddress + 3]) << 24;
  const uint32_t length = static_cast<uint32_t>(block[kCmdLength]) | static_cast<uint32_t>(block[kCmdLength + 1]) << 8;
  const uint8_t command = block[kCmdCommand];
  block[kCmdResult] = 0;
  const bool in_flash = length <= kIapWindowSize && address <= kFlashSize && length <= kFlashSize - address;
  if (!update_mode_) {
    ++refused_commands_;
    return;
  }
  const bool after_program = iap_follows_program(command, address, length);
  switch (command) {
    case kIapProgram:
      ++program_commands_;
      if (in_flash) std::memcpy(&flash_[address], &regs_[kRegIapWindow], length);
      if (in_flash) iap_program_fault(address);
      break;
    case kIapCheck: {
      ++check_commands_;
      if (!in_flash) break;
      if (!after_program) {
        block[kCmdResult] = iap_compare(address, length);
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
      block[kCmdResult] = good ? 1 : 0;
      break;
    }
    case kIapUnitQuery:
      block[kCmdResult] = config_.unit_4k ? 1 : 0;
      break;
    default:
      ++refused_commands_;
      break;
  }
}
