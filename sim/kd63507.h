// Virtual KD63507 touch controller: its register space and status, its modes,
// the IAP command block with a 128 KiB flash behind it, and fault injection.
//
// Register framing: a write transfer starts with the 16-bit register address
// (high byte first) and its data lands at consecutive registers; a read
// transfer returns consecutive registers from where the last address write or
// the last read left off.
//
// Timing: every request (a mode write, an IAP command) makes the controller
// busy for a number of status reads and at least a stretch of time; only when
// both have passed does the request take effect (mode changed, flash
// programmed, ucResult set) and the status read ready. Until then a read of
// the command block returns the previous result. Writes to the data window or
// the command block while busy are protocol violations: counted, and marked
// in the trace with a line starting with "!".
#pragma once

#include "i2c_target.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

// The virtual hardware's clock: everything time-dependent in the virtual
// controller reads it through VirtualKd63507::now().
using SimClock = std::chrono::steady_clock;

struct Kd63507Config {
  uint8_t address7 = 0x34;
  // Version block at 0x0120: BOOT, CORE, PUBL, CONF.
  std::array<uint16_t, 4> versions = {0x0001, 0x0000, 0x0000, 0x0000};
  // Protocol name of the interface block at 0x0150 (at most 8 characters).
  // A controller whose name is not TCIP (a DFUP bootloader) starts in update
  // mode.
  std::string protocol = "TCIP";
  uint16_t protocol_version = 0x0100;
  // Answer to the unit query (IAP command 8): true 4 KiB units.
  bool unit_4k = true;
  // Status reads that answer busy after each request.
  int busy_reads = 1;
  // The controller never reports ready.
  bool never_ready = false;
  // Unit check faults: the unit ending at this KiB fails its check (IAP
  // command 5) this many times before it passes.
  std::map<uint32_t, int> check_failures;
  // Time each request keeps the controller busy, on top of busy_reads.
  std::chrono::microseconds busy_time{0};
  // After this many I2C transfers addressed to it the controller stops
  // answering (no acknowledge). Negative: never.
  long vanish_after = -1;
};

class VirtualKd63507 : public I2cTarget {
 public:
  static constexpr uint32_t kFlashSize = 0x20000;
  static constexpr uint16_t kRegVersion = 0x0120;
  static constexpr uint16_t kRegInterface = 0x0150;
  static constexpr uint16_t kRegStatus = 0x0600;
  static constexpr uint16_t kRegMode = 0x0610;
  static constexpr uint16_t kRegLogCtrl = 0x1010;
  static constexpr uint16_t kRegIapCommand = 0x1400;
  static constexpr uint16_t kRegIapWindow = 0x6000;
  static constexpr uint16_t kIapWindowSize = 0x1000;
  static constexpr uint8_t kStatusReady = 0xA0;
  static constexpr uint8_t kStatusBusy = 0x01;
  static constexpr uint8_t kModeUpdate = 0x02;
  static constexpr uint8_t kModeReset = 0x11;
  // ucResult of a refused program (or unknown) command. A refused check or
  // unit query answers 0 instead: "does not check out", "128-byte units".
  static constexpr uint8_t kResultRefused = 0xE0;

  struct Transfer {
    bool read;            // false: write
    uint8_t address7;
    bool acked;           // false: addressed to another device
    std::vector<uint8_t> bytes;
    SimClock::time_point at;  // when the transfer reached the controller
  };

  explicit VirtualKd63507(Kd63507Config config = {});

  bool i2c_write(uint8_t address7, const uint8_t* data, size_t length) override;
  bool i2c_read(uint8_t address7, uint8_t* data, size_t length) override;

  // Flash contents (erased: 0xFF).
  std::array<uint8_t, kFlashSize>& flash() { return flash_; }
  // Raw register space (for inspection and for setting up cases).
  std::array<uint8_t, 0x10000>& registers() { return regs_; }
  Kd63507Config& config() { return config_; }

  bool in_update_mode() const { return update_mode_; }
  // Counters of what the controller was asked to do.
  int reset_requests() const { return reset_requests_; }
  int program_commands() const { return program_commands_; }
  int check_commands() const { return check_commands_; }
  int refused_commands() const { return refused_commands_; }
  int status_reads() const { return status_reads_; }
  // Window or command block writes while busy (see the top of this file).
  int protocol_violations() const { return protocol_violations_; }

  // Request timing, for every side of the controller: busy for `reads`
  // status reads and at least `duration`; then `on_done` runs and the status
  // reads ready. Config never_ready holds the request for ever.
  void start_busy(int reads, std::chrono::microseconds duration, std::function<void()> on_done = {});
  bool busy() const { return busy_; }
  // The next `reads` status reads answer `status` (0x77 a log record, 0xAA an
  // image waiting) ahead of the busy/ready answer.
  void announce(uint8_t status, int reads = 1);
  SimClock::time_point now() const { return SimClock::now(); }

  // Every transfer seen, in order (kept only while recording is on).
  const std::vector<Transfer>& transfers() const { return transfers_; }
  void set_recording(bool on) { recording_ = on; }
  void clear_transfers() { transfers_.clear(); }
  // Also writes one line per transfer to `file` ("W 34: 14 00 ...").
  void set_trace_file(FILE* file) { trace_file_ = file; }
  static std::string format_transfer(const Transfer& transfer);

 private:
  void record(bool read, uint8_t address7, bool acked, const uint8_t* data, size_t length);
  void on_register_write(uint16_t first, size_t count);
  void run_iap_command();
  void start_request(std::function<void()> on_done);
  // Runs the pending request once its reads and time have passed.
  void settle();
  uint8_t answer_status();
  void violation(const char* what, uint16_t reg);
  void set_result(uint8_t result);
  // True when the transfer is addressed to this controller and it still
  // answers (see Kd63507Config::vanish_after).
  bool answers(uint8_t address7);

  Kd63507Config config_;
  std::array<uint8_t, 0x10000> regs_{};
  std::array<uint8_t, kFlashSize> flash_{};
  uint16_t pointer_ = 0;
  bool update_mode_ = false;
  int reset_requests_ = 0;
  int program_commands_ = 0;
  int check_commands_ = 0;
  int refused_commands_ = 0;
  int status_reads_ = 0;
  bool recording_ = true;
  std::vector<Transfer> transfers_;
  FILE* trace_file_ = nullptr;

  // Request timing.
  bool busy_ = false;
  int busy_reads_left_ = 0;
  SimClock::time_point busy_until_{};
  std::function<void()> on_done_;
  int announce_reads_ = 0;
  uint8_t announce_status_ = 0;
  uint8_t result_ = 0;  // the controller's ucResult; a host write cannot change it
  int protocol_violations_ = 0;
  long addressed_transfers_ = 0;
};

// The unit checksum the controller checks a programmed unit against: CRC-16
// (poly 0x8005, MSB first, init 0, no final XOR) over the even and the odd
// 16-bit little-endian words, fed high byte first, combined as
// ~((odd << 16) | even). Written independently of the host's table-driven
// version so that each checks the other.
uint32_t kd63507_unit_checksum(const uint8_t* data, size_t length);
