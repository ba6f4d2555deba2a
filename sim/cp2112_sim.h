// Virtual CP2112 HID-to-SMBus bridge.
//
// Presents 0x10C4/0xEA90 through the virtual HID backend and behaves as the
// chip does on its HID reports: feature reports 0x01-0x06 (and the
// customisation reports 0x20-0x24 for reading), Data Write / Data Read
// Request / Data Write Read Request carried to its I2C target, Data Read
// Response reports (pushed as data arrives with auto-send-read on, one per
// Force Send with it off), Transfer Status Responses, GPIO direction and
// latch state. Requests outside the chip's ranges are ignored without any
// I2C traffic and counted.
//
// The report layouts are parsed here independently of the host's encoders,
// so that each checks the other.
//
// Time: a response becomes readable when it is produced (plus the configured
// delay); a read that finds nothing in time sleeps for its timeout and
// reports that the time ran out. A read without a time limit that finds
// nothing at all returns at once: in a single-threaded simulation nothing
// could ever arrive.
#pragma once

#include "i2c_target.h"
#include "platform/hid_virtual.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class VirtualCp2112 : public VirtualHidDevice {
 public:
  static constexpr uint16_t kVendorId = 0x10C4;
  static constexpr uint16_t kProductId = 0xEA90;
  static constexpr size_t kReportSize = 64;

  struct SmbusConfig {
    uint32_t bit_rate = 100000;
    uint8_t address = 0x02;
    bool auto_send_read = false;
    uint16_t write_timeout = 0;
    uint16_t read_timeout = 0;
    bool scl_low_timeout = false;
    uint16_t retry_limit = 0;  // 0: unlimited
  };

  struct Transfer {
    bool read;         // false: write
    uint8_t address7;
    bool acked;
    std::vector<uint8_t> bytes;  // written, or read back
  };

  explicit VirtualCp2112(I2cTarget* target, std::string serial = "CP2112SIM0001");

  int output_report(const uint8_t* data, size_t length) override;
  int input_report(uint8_t* buffer, size_t length, int timeout_ms) override;
  int set_feature(const uint8_t* data, size_t length) override;
  int get_feature(uint8_t* buffer, size_t length) override;
  void opened() override;

  // Chip state, open for checks and for setting up cases.
  SmbusConfig smbus;
  uint8_t direction = 0x00;  // bit set: output
  uint8_t drive = 0x00;
  uint8_t alt_function = 0x00;
  uint8_t clock_divider = 0x00;
  uint8_t latch = 0x00;          // levels the output pins drive
  uint8_t input_levels = 0xFF;   // levels outside circuitry puts on input pins
  uint8_t part_number = 0x0C;
  uint8_t device_version = 0x02;

  // Pin levels as Get GPIO Values reports them.
  uint8_t pin_levels() const;
  // Every Set GPIO Values as received: (values, mask).
  const std::vector<std::pair<uint8_t, uint8_t>>& latch_writes() const { return latch_writes_; }
  // Every I2C transfer carried to the target, in order.
  const std::vector<Transfer>& transfers() const { return transfers_; }
  // Requests ignored because a count or length was out of range.
  int refused_requests() const { return refused_; }
  // Reports received (output, set feature and get feature).
  long reports_received() const { return reports_; }
  // Data byte counts of the Data Read Responses produced (dropped ones too).
  const std::vector<size_t>& read_response_sizes() const { return response_sizes_; }
  // Input reports waiting to be read.
  size_t pending_input_reports() const { return pending_.size(); }
  // Input report reads that waited for a report and ran out of time.
  long expired_waits() const { return expired_waits_; }
  // Every SMBus configuration received, in order (the last one is in force).
  const std::vector<SmbusConfig>& smbus_history() const { return smbus_history_; }
  // When set, one line per SMBus configuration received goes to this file:
  // "rate R address AA auto A timeouts W/R scl S retries N" (AA in hex).
  FILE* smbus_log = nullptr;

  // Fault injection. Let `skip` more input reports through, then drop
  // `count` of them (negative: every one from then on).
  void drop_responses(long skip, long count);
  // Every input report produced from now on becomes readable `ms` later.
  // Cancel Transfer does not call back a report that is on its way.
  void delay_responses(int ms) { delay_ms_ = ms; }
  // A Data Read Response (data bytes 0xEE) that a killed run left behind:
  // it reaches the host `ms` after the next open. Negative: none.
  int leftover_at_open_ms = -1;
  // After `reports` more reports received the device is unplugged: that
  // report is still handled, every later transfer fails. Negative: never.
  void unplug_after(long reports);
  // Sends the unsolicited Transfer Status and empty Read Response a real chip
  // may send while it is being configured, on every SMBus configuration.
  bool stray_reports_on_config = false;

 private:
  using Clock = std::chrono::steady_clock;
  struct Pending {
    Clock::time_point ready;
    std::array<uint8_t, kReportSize> bytes;
  };

  void count_report();
  void push_input(const std::array<uint8_t, kReportSize>& report);
  void push_read_response(uint8_t status, const uint8_t* data, size_t count);
  void push_transfer_status(uint8_t status0, uint8_t status1);
  void carry_write(uint8_t slave, const uint8_t* data, size_t count);
  void carry_read(uint8_t slave, size_t count, const uint8_t* target_address, size_t target_length);
  void force_send(size_t wanted);
  void finish(uint8_t status0, uint8_t status1, uint16_t bytes_read);

  I2cTarget* target_;
  std::deque<Pending> pending_;
  std::deque<uint8_t> read_buffer_;  // read data not yet sent (auto-send-read off)
  bool read_done_ = false;           // the last read transfer has ended
  uint8_t read_status_ = 0;          // its status byte 0 for the last piece
  uint8_t status0_ = 0;              // transfer status as 0x15 reports it
  uint8_t status1_ = 0;
  uint16_t retries_ = 0;
  uint16_t bytes_read_ = 0;
  std::vector<std::pair<uint8_t, uint8_t>> latch_writes_;
  std::vector<Transfer> transfers_;
  std::vector<size_t> response_sizes_;
  int refused_ = 0;
  long reports_ = 0;
  long expired_waits_ = 0;
  std::vector<SmbusConfig> smbus_history_;
  long unplug_after_ = -1;
  long drop_skip_ = 0;
  long drop_count_ = 0;
  int delay_ms_ = 0;
};
