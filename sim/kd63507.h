// Virtual KD63507 touch controller: its register space and status, its modes,
// the IAP command block with a 128 KiB flash behind it, and fault injection.
//
// Register framing: a write transfer starts with the 16-bit register address
// (high byte first) and its data lands at consecutive registers; a read
// transfer returns consecutive registers from where the last address write or
// the last read left off.
#pragma once

#include "i2c_target.h"

#include <array>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

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

  // ISP mode and the IAP compare (sim/kd63507_isp.cpp).
  // Status reads before an ISP command's completion bit shows.
  int isp_busy_reads = 1;
  // ISP command words whose completion bit never comes.
  std::vector<uint32_t> isp_stuck_commands = {};
  // Flash addresses of units that an IAP program command stores with the
  // lowest bit of their first byte flipped, without a word.
  std::vector<uint32_t> corrupt_units = {};
  // IAP data compares leave ucResult at 0 for ever.
  bool compare_never_answers = false;
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

  struct Transfer {
    bool read;            // false: write
    uint8_t address7;
    bool acked;           // false: addressed to another device
    std::vector<uint8_t> bytes;
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
  void start_request();

  Kd63507Config config_;
  std::array<uint8_t, 0x10000> regs_{};
  std::array<uint8_t, kFlashSize> flash_{};
  uint16_t pointer_ = 0;
  bool update_mode_ = false;
  int busy_left_ = 0;
  int reset_requests_ = 0;
  int program_commands_ = 0;
  int check_commands_ = 0;
  int refused_commands_ = 0;
  int status_reads_ = 0;
  bool recording_ = true;
  std::vector<Transfer> transfers_;
  FILE* trace_file_ = nullptr;

  // ---- ISP mode and the IAP data compare (sim/kd63507_isp.cpp) ----
  // The entry sequence and unlock words of the access-code table switch the
  // controller into ISP mode: 32-bit registers at 16-bit addresses, values
  // most significant byte first, flash protected until the protection
  // command is given the table's values. A power-off ends ISP mode.
 public:
  static constexpr uint32_t kIspSectorSize = 0x1000;
  bool in_isp_mode() const { return isp_.active; }
  bool isp_protected() const { return !isp_.unprotected; }
  // ISP commands ignored: flash protected, wrong set-up or address, unknown.
  int isp_refused_commands() const { return isp_.refused; }
  void powered_off() override;

 private:
  struct IspState {
    bool active = false;
    int entry_step = 0;  // entry codes and unlock words seen in order
    bool unprotected = false;
    uint16_t pointer = 0;
    std::array<uint32_t, 0x60> regs{};  // 0x0000 to 0x017F
    uint8_t pending_bit = 0;            // completion bit still to come
    int busy_left = 0;
    int refused = 0;
  };
  // -1: not for the ISP side (normal mode); else 1 acknowledged, 0 not.
  int isp_write(const uint8_t* data, size_t length);
  void isp_read(uint8_t* data, size_t length);
  void isp_command(uint32_t command);
  // Whether this IAP command follows a program command of the same address
  // and length (remembers this one for the next).
  bool iap_follows_program(uint8_t command, uint32_t address, uint32_t length);
  // Command 5 that compares data: 1 match, 2 mismatch, 0 no answer.
  uint8_t iap_compare(uint32_t address, uint32_t length) const;
  void iap_program_fault(uint32_t address);

  IspState isp_;
  uint8_t iap_last_command_ = 0;
  uint32_t iap_last_address_ = 0;
  uint32_t iap_last_length_ = 0;
};

// The unit checksum the controller checks a programmed unit against: CRC-16
// (poly 0x8005, MSB first, init 0, no final XOR) over the even and the odd
// 16-bit little-endian words, fed high byte first, combined as
// ~((odd << 16) | even). Written independently of the host's table-driven
// version so that each checks the other.
uint32_t kd63507_unit_checksum(const uint8_t* data, size_t length);
