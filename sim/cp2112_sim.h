// Virtual CP2112 HID-to-SMBus bridge.
//
// Presents 0x10C4/0xEA90 through the virtual HID backend and behaves as the
// chip does on its HID reports: feature reports 0x01-0x06 (and the
// customisation reports 0x20-0x24 for reading), Data Write / Data Read
// Request / Data Write Read Request carried to its I2C target, Data Read
// Response reports (pushed as data arrives with auto-send-read on, one per
// Force Send with it off), Transfer Status Responses, GPIO direction and
// latch state. Requests outside the chip's ranges are ignored without any
// I2C traffic and counted as violations, and so is every field the chip
// would misread: an SMBus configuration with a bit rate of 0 or above
// 400 kHz (as any usable rate sent low byte first is), a timeout or retry
// limit above 1000, an odd or zero address or a flag other than 0 or 1 (the
// chip then keeps the configuration it had); a 16-bit count, timeout or
// retry limit that is a whole multiple of 256 (what 1, 2 or 3 look like sent
// low byte first; nothing here asks for such a value); a Reset, Transfer
// Status Request or Cancel without its 01 byte; any report shorter than its
// layout. The tests expect none.
//
// Busy: the Transfer Status Request answers busy (status 1: read or write
// in progress) while the last transfer is on the bus under the timing model,
// and then for `busy_status` more requests. Cancel Transfer ends a busy
// transfer: the chip is idle after it.
//
// The report layouts are parsed here independently of the host's encoders,
// so that each checks the other.
//
// Time: a response becomes readable when it is produced (plus the configured
// delay); a read that finds nothing in time sleeps for its timeout and
// reports that the time ran out. A read without a time limit that finds
// nothing at all returns at once: in a single-threaded simulation nothing
// could ever arrive.
//
// With `timing` enabled (sim/bus_timing.h) reports take their USB frames
// (feature reports a control transfer each) and every transfer its bus time
// at the bit rate of the SMBus configuration in force.
#pragma once

#include "bus_timing.h"
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
  // GPIO.2 carries the target's interrupt line (active low), GPIO.3 its
  // chip enable: a falling chip enable holds the controller off, which the
  // target is told as a power-off.
  static constexpr uint8_t kIntrPin = 0x04;
  static constexpr uint8_t kCePin = 0x08;

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

  // Pin levels as Get GPIO Values reports them; GPIO.2 follows the target's
  // interrupt line while GPIO.3 (chip enable) is high.
  uint8_t pin_levels() const;
  // Every Set GPIO Values as received: (values, mask).
  const std::vector<std::pair<uint8_t, uint8_t>>& latch_writes() const { return latch_writes_; }
  // Every I2C transfer carried to the target, in order.
  const std::vector<Transfer>& transfers() const { return transfers_; }
  // Reports refused or fields misread (see above).
  int violations() const { return violations_; }
  // Cancel Transfer reports received.
  long cancels() const { return cancels_; }
  // Transfer Status Requests answered busy.
  long busy_answers() const { return busy_answers_; }
  // Status requests answered busy after each transfer besides its bus time;
  // negative: every one until a Cancel.
  long busy_status = 0;
  // Reports received (output, set feature and get feature).
  long reports_received() const { return reports_; }
  // Data byte counts of the Data Read Responses produced (dropped ones too).
  const std::vector<size_t>& read_response_sizes() const { return response_sizes_; }
  // Input reports waiting to be read.
  size_t pending_input_reports() const { return pending_.size(); }
  // The bus-timing model and its counters (off unless enabled).
  BusTiming timing;
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
  // Feature reports read answer with only this many bytes when >= 0.
  int feature_answer_length = -1;
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
  // Bus-timing model: the output report or control transfer now handled
  // waits for its frame; an I2C transfer of `bytes` is booked on the bus.
  void take_out_frame();
  void take_control_frame();
  void book_transfer(size_t bytes);
  void push_input(const std::array<uint8_t, kReportSize>& report);
  void push_read_response(uint8_t status, const uint8_t* data, size_t count);
  void push_transfer_status(uint8_t status0, uint8_t status1, uint16_t retries, uint16_t bytes_read);
  void start_busy(bool read);
  int feature_answer(uint8_t* buffer, size_t length);
  void carry_write(uint8_t slave, const uint8_t* data, size_t count);
  void carry_read(uint8_t slave, size_t count, const uint8_t* target_address, size_t target_length);
  void force_send(size_t wanted);
  void finish(uint8_t status0, uint8_t status1, uint16_t bytes_read);
  void chip_enable_changed(uint8_t levels_before);

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
  int violations_ = 0;
  long cancels_ = 0;
  long busy_answers_ = 0;
  long busy_left_ = 0;                // busy answers still to give for the last transfer
  bool last_read_ = false;            // the last transfer was a read
  BusTiming::Time busy_until_{0};     // end of its bus time (timing model)
  long reports_ = 0;
  long expired_waits_ = 0;
  std::vector<SmbusConfig> smbus_history_;
  long unplug_after_ = -1;
  long drop_skip_ = 0;
  long drop_count_ = 0;
  int delay_ms_ = 0;
  BusTiming::Time arrived_{0};  // frame of the report being handled
  BusTiming::Time bus_end_{0};  // end of the last transfer on the bus
};
