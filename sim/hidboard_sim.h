// Virtual custom HID bridge board: takes the board's request reports byte for
// byte and carries them as I2C transfers to a target on its bus.
//
// Request (output report, report ID 0x09): byte 1 holds the 7-bit slave
// address in bits 7-1 and the direction in bit 0 (1 read); bytes 2-3 the
// transfer length, little-endian, at most 60; a write's data from byte 4. A
// read is answered with one input report: ID, the address byte and length of
// the request, then the bytes read from byte 4 on. A write gets no answer.
// Like the board's firmware, it ignores a request it cannot carry (wrong
// report ID, length above 60, report too short for its header or data): no
// I2C traffic, no answer report.
#pragma once

#include "i2c_target.h"
#include "platform/hid_virtual.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <vector>

class VirtualHidBoard : public VirtualHidDevice {
 public:
  static constexpr uint8_t kReportId = 0x09;
  static constexpr uint16_t kReportLength = 64;  // both directions, ID byte included
  static constexpr uint16_t kMaxTransfer = 60;

  VirtualHidBoard(I2cTarget* target, uint16_t vendor_id, uint16_t product_id);

  int output_report(const uint8_t* data, size_t length) override;
  // An empty queue ends the wait at once (0): in a single-threaded simulation
  // nothing could arrive. A queued answer that is not readable yet is waited
  // for in real time, up to the timeout.
  int input_report(uint8_t* buffer, size_t length, int timeout_ms) override;
  void opened() override;
  void closed() override;

  // Fault injection. The answers to the next `count` read requests become
  // readable `ms` after their request (a board slowed down by its bus).
  void delay_answers(int count, int ms) {
    delayed_answers_ = count;
    delay_ms_ = ms;
  }
  // A report waiting in the IN endpoint when the board is opened, as a run
  // killed between a request and its answer leaves one. Empty: none.
  std::vector<uint8_t> leftover_at_open;

  // Every output report received, whole, in order.
  const std::vector<std::vector<uint8_t>>& requests() const { return requests_; }
  // Requests ignored as malformed.
  int refused_requests() const { return refused_; }
  // Answer reports waiting to be read.
  size_t pending_answers() const { return answers_.size(); }

 private:
  I2cTarget* target_;
  std::vector<std::vector<uint8_t>> requests_;
  struct Answer {
    std::chrono::steady_clock::time_point ready;
    std::vector<uint8_t> bytes;
  };
  std::deque<Answer> answers_;
  int refused_ = 0;
  int delayed_answers_ = 0;
  int delay_ms_ = 0;
};
