#include "hidboard_sim.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace {

constexpr size_t kByteAddress = 1;
constexpr size_t kByteLengthLow = 2;
constexpr size_t kByteLengthHigh = 3;
constexpr size_t kByteData = 4;
constexpr uint8_t kDirectionRead = 0x01;
// An address nobody acknowledges reads as a released bus.
constexpr uint8_t kIdleBusByte = 0xFF;

}  // namespace

VirtualHidBoard::VirtualHidBoard(I2cTarget* target, uint16_t vendor_id, uint16_t product_id) : target_(target) {
  info.vendor_id = vendor_id;
  info.product_id = product_id;
  info.release_number = 0x0100;
  info.manufacturer = "Pelmoranth";
  info.product = "KD63507 USB HID bridge";
  info.input_report_length = kReportLength;
  info.output_report_length = kReportLength;
}

int VirtualHidBoard::output_report(const uint8_t* data, size_t length) {
  requests_.emplace_back(data, data + length);
  if (length < kByteData || data[0] != kReportId) {
    ++refused_;
    return static_cast<int>(length);
  }
  const uint8_t address7 = data[kByteAddress] >> 1;
  const bool read = (data[kByteAddress] & kDirectionRead) != 0;
  const size_t count = static_cast<size_t>(data[kByteLengthLow] | data[kByteLengthHigh] << 8);
  if (count > kMaxTransfer || (!read && length < kByteData + count)) {
    ++refused_;
    return static_cast<int>(length);
  }
  if (!read) {
    target_->i2c_write(address7, data + kByteData, count);
    return static_cast<int>(length);
  }
  std::vector<uint8_t> answer(kReportLength, 0);
  answer[0] = kReportId;
  answer[kByteAddress] = data[kByteAddress];
  answer[kByteLengthLow] = data[kByteLengthLow];
  answer[kByteLengthHigh] = data[kByteLengthHigh];
  std::fill_n(answer.begin() + kByteData, count, kIdleBusByte);
  target_->i2c_read(address7, answer.data() + kByteData, count);
  auto ready = std::chrono::steady_clock::now();
  if (delayed_answers_ > 0) {
    --delayed_answers_;
    ready += std::chrono::milliseconds(delay_ms_);
  }
  // One IN endpoint: an answer never overtakes an earlier one.
  if (!answers_.empty()) ready = std::max(ready, answers_.back().ready);
  answers_.push_back({ready, std::move(answer)});
  return static_cast<int>(length);
}

int VirtualHidBoard::input_report(uint8_t* buffer, size_t length, int timeout_ms) {
  if (answers_.empty()) return 0;
  const auto ready = answers_.front().ready;
  const auto now = std::chrono::steady_clock::now();
  if (ready > now) {
    if (timeout_ms >= 0 && ready - now > std::chrono::milliseconds(timeout_ms)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
      return 0;
    }
    std::this_thread::sleep_until(ready);
  }
  const std::vector<uint8_t> answer = std::move(answers_.front().bytes);
  answers_.pop_front();
  const size_t copied = std::min(length, answer.size());
  std::memcpy(buffer, answer.data(), copied);
  return static_cast<int>(copied);
}

void VirtualHidBoard::opened() {
  if (!leftover_at_open.empty()) answers_.push_back({std::chrono::steady_clock::now(), leftover_at_open});
}

void VirtualHidBoard::closed() {
  // Answers not yet read belonged to that handle's queue.
  answers_.clear();
}
