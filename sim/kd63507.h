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
// in the trace with a line starting with "!"; so is a power-off while busy
// (powered_off), which loses the request.
#pragma once

#include "i2c_target.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <deque>
#include <map>
#include <string>
#include <vector>

// The virtual hardware's clock: everything time-dependent in the virtual
// controller reads it through VirtualKd63507::now().
using SimClock = std::chrono::steady_clock;
// ---- Diagnostic side (kd63507_diag.cpp) -----------------------------------
// What the diagnostic console reads besides the update registers:
//   0x0100 panel block, 0x0130 flash sections, 0x0200 event format, 0x0611
//   event interrupt type, buffer descriptors 0x0A00 (tests), 0x0C00 (images),
//   0x1000 (logs).
//   Event packets: queued packets wait one at a time at 0x0210 (header, then
//   payload); while one waits 0x0601 reads 1 and the interrupt line is low
//   (from the host's first transfer on: the bring-up's latch writes never
//   see it asserted).
//   A read that reaches a packet's last byte consumes it.
//   Images: 1 to 4 written to 0x0C10 lays out an image (format 0x0C20,
//   regions 0x0C30/0x0C31, data with stride and keys) and the status reads
//   0xAA until 0 is written there.
//   Tests: a test number written to 0x0A10 fills descriptor, format (0x0A20)
//   and data; 0xFF releases it.
//   Logs: bLogEnable 1 written to 0x1014 while logging is off starts the
//   records; while it is on the status reads 0x77 with a record's header at
//   0x1020 and its matrix in the log buffer; each further 1 written
//   acknowledges the record and announces the next, and after the last one
//   the end record (code 0, no rows) stays; 0 stops logging.
struct Kd63507DiagConfig {
  std::string product = "KD63507 VIRTUAL";  // at most 16 characters
  uint16_t resolution_x = 1080;
  uint16_t resolution_y = 1920;
  uint8_t node_x = 16;  // columns of images and matrices
  uint8_t node_y = 10;  // rows
  uint8_t keys = 2;
  std::array<uint8_t, 8> sections = {0, 16, 16, 64, 64, 120, 120, 128};  // KiB: start, end of BOOT, CORE, PUBL, CONF
  uint8_t event_interrupt_type = 2;
  uint16_t packet_format = 1;  // 0: 7-byte items, 1: 9-byte items
  uint8_t item_size = 9;
  int touch_packets = 0;  // one finger moving across the panel
  int esd_reports = 0;    // counting reports, queued after the touch packets
  int log_records = 5;    // records before the end record
};

class Kd63507Diag {
 public:
  static constexpr uint16_t kRegPanel = 0x0100;
  static constexpr uint16_t kRegSections = 0x0130;
  static constexpr uint16_t kRegEventFormat = 0x0200;
  static constexpr uint16_t kRegEventPacket = 0x0210;
  static constexpr uint16_t kRegEventFlag = 0x0601;
  static constexpr uint16_t kRegEventType = 0x0611;
  static constexpr uint16_t kRegTestInfo = 0x0A00;
  static constexpr uint16_t kRegTestRequest = 0x0A10;
  static constexpr uint16_t kRegTestFormat = 0x0A20;
  static constexpr uint16_t kRegImageInfo = 0x0C00;
  static constexpr uint16_t kRegImageRequest = 0x0C10;
  static constexpr uint16_t kRegImageFormat = 0x0C20;
  static constexpr uint16_t kRegRegionCount = 0x0C30;
  static constexpr uint16_t kRegRegions = 0x0C31;
  static constexpr uint16_t kRegLogInfo = 0x1000;
  static constexpr uint16_t kRegLogEnable = 0x1014;
  static constexpr uint16_t kRegLogHeader = 0x1020;
  static constexpr uint16_t kImageBuffer = 0x2000;
  static constexpr uint16_t kTestBuffer = 0x2800;
  static constexpr uint16_t kLogBuffer = 0x7000;
  static constexpr uint8_t kStatusLog = 0x77;
  static constexpr uint8_t kStatusImage = 0xAA;

  Kd63507Diag(const Kd63507DiagConfig& config, std::array<uint8_t, 0x10000>& regs) : config_(config), regs_(regs) {}
  // Lays out the blocks and queues the configured packets.
  void power_up();
  // After `count` bytes from `first` were written, or read.
  void on_write(uint16_t first, size_t count);
  void on_read(uint16_t first, size_t count);
  // A mode request the controller takes drops an image still waiting: the
  // new mode starts its own frames.
  void on_mode_request() { image_ready_ = false; }
  // The status a controller with nothing else to do reports: a log record
  // (0x77) before an image (0xAA) before `ready`.
  uint8_t status(uint8_t ready) const;
  // Low once the host has first addressed the controller (its firmware has
  // booted) and while a packet waits.
  bool interrupt_asserted() const { return awake_ && !events_.empty(); }
  // Queues an event packet: header byte, then the payload.
  void queue_event(std::vector<uint8_t> packet);
  size_t pending_events() const { return events_.size(); }
  int tests_run() const { return tests_run_; }

 private:
  void load_event();
  void make_image(uint8_t kind);
  void run_test(uint8_t test);
  void announce_log();
  void put_matrix(uint16_t base, int rows, int cols, int stride, int size, int (*value)(int r, int c));
  void put_format(uint16_t reg, int rows, int cols, int stride, int rotated, int keys, uint8_t type);

  const Kd63507DiagConfig& config_;
  std::array<uint8_t, 0x10000>& regs_;
  std::deque<std::vector<uint8_t>> events_;
  bool awake_ = false;
  bool image_ready_ = false;
  bool logging_ = false;
  int log_record_ = 0;
  int tests_run_ = 0;
};
// ---- End of the diagnostic side ---------------------------------------------

// How long each request keeps the controller busy, on top of
// Kd63507Config::busy_time. All zero by default (answers as fast as the
// host asks); KD63507_TYPICAL_TIMING holds the times of the bus-timing model.
struct Kd63507Timing {
  std::chrono::microseconds mode_change{0};   // a mode request other than reset
  std::chrono::microseconds reset{0};         // reset request: the firmware restarts
  std::chrono::microseconds sector_erase{0};  // a program whose unit starts a 4 KiB sector erases it first
  std::chrono::microseconds program_row{0};   // programming each 128 bytes
  std::chrono::microseconds check_kib{0};     // the unit check, per KiB
  std::chrono::microseconds unit_query{0};
  std::chrono::microseconds isp_read{0};      // ISP read command, one word
  std::chrono::microseconds mass_erase{0};
  std::chrono::microseconds protection{0};
};
// Typical figures of a small controller's embedded flash: 4 KiB sector erase
// 20 ms, 0.8 ms per 128-byte row, so a 4 KiB unit takes 45.6 ms and a
// 128-byte unit 0.8 ms (20.8 ms when it starts a sector); mass erase 40 ms.
inline constexpr Kd63507Timing KD63507_TYPICAL_TIMING = {
    .mode_change = std::chrono::milliseconds(5),
    .reset = std::chrono::milliseconds(50),
    .sector_erase = std::chrono::milliseconds(20),
    .program_row = std::chrono::microseconds(800),
    .check_kib = std::chrono::microseconds(250),
    .unit_query = std::chrono::microseconds(100),
    .isp_read = std::chrono::microseconds(10),
    .mass_erase = std::chrono::milliseconds(40),
    .protection = std::chrono::milliseconds(5),
};

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
  // Busy time by kind of request, on top of busy_time (ISP commands too).
  Kd63507Timing timing = {};
  // After this many I2C transfers addressed to it the controller stops
  // answering (no acknowledge). Negative: never.
  long vanish_after = -1;
  // Diagnostic side.
  Kd63507DiagConfig diag = {};

  // ISP mode and the IAP compare (sim/kd63507_isp.cpp).
  // Status reads before an ISP command's completion bit shows.
  int isp_busy_reads = 1;
  // ISP command words whose completion bit never comes.
  std::vector<uint32_t> isp_stuck_commands = {};
  // Refused ISP frames: `count` consecutive frames written to `reg` (address
  // frames and register words alike), from the `nth` one on (1 the first).
  // nth 0: none.
  struct IspNack {
    uint16_t reg = 0;
    long nth = 0;
    long count = 1;
  } isp_nack = {};
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
  // ucResult of a refused program (or unknown) command. A refused check or
  // unit query answers 0 instead: "does not check out", "128-byte units".
  static constexpr uint8_t kResultRefused = 0xE0;

  struct Transfer {
    bool read;            // false: write
    uint8_t address7;
    bool acked;           // false: addressed to another device
    std::vector<uint8_t> bytes;
    SimClock::time_point at;  // when the transfer reached the controller
    // A status read, or the address write that points at the status
    // register for one (IAP 0x0600, ISP 0x000C).
    bool poll = false;
    // The request this write started keeps the controller busy this long
    // (its time only, not busy_reads).
    std::chrono::microseconds busy{0};
  };

  explicit VirtualKd63507(Kd63507Config config = {});

  bool i2c_write(uint8_t address7, const uint8_t* data, size_t length) override;
  bool i2c_read(uint8_t address7, uint8_t* data, size_t length) override;
  bool interrupt_asserted() const override { return diag_.interrupt_asserted(); }
  void at_time(SimClock::time_point when) override { bus_time_ = when; }
  VirtualKd63507(const VirtualKd63507&) = delete;  // the diagnostic side refers to this one's registers
  VirtualKd63507& operator=(const VirtualKd63507&) = delete;
  Kd63507Diag& diag() { return diag_; }

  // Flash contents (erased: 0xFF).
  std::array<uint8_t, kFlashSize>& flash() { return flash_; }
  // Raw register space (for inspection and for setting up cases).
  std::array<uint8_t, 0x10000>& registers() { return regs_; }
  Kd63507Config& config() { return config_; }

  bool in_update_mode() const { return update_mode_; }
  // Counters of what the controller was asked to do.
  int reset_requests() const { return reset_requests_; }
  int program_commands() const { return program_commands_; }
  // Changes made to the flash: IAP programs, ISP programs and erases.
  int flash_writes() const { return flash_writes_; }
  int check_commands() const { return check_commands_; }
  int refused_commands() const { return refused_commands_; }
  int status_reads() const { return status_reads_; }
  int isp_status_reads() const { return isp_.status_reads; }
  // Window or command block writes while busy (see the top of this file),
  // and the ISP and data-compare faults of sim/kd63507_isp.cpp.
  int protocol_violations() const { return protocol_violations_; }

  // Request timing, for every side of the controller: busy for `reads`
  // status reads and at least `duration`; then `on_done` runs and the status
  // reads ready. Config never_ready holds the request for ever.
  void start_busy(int reads, std::chrono::microseconds duration, std::function<void()> on_done = {});
  bool busy() const { return busy_; }
  // The next `reads` status reads answer `status` (0x77 a log record, 0xAA an
  // image waiting) ahead of the busy/ready answer.
  void announce(uint8_t status, int reads = 1);
  // The bus-timing model may put a transfer ahead of the clock (at_time).
  SimClock::time_point now() const { return std::max(SimClock::now(), bus_time_); }

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
  void start_request(std::chrono::microseconds time, std::function<void()> on_done);
  // Busy time of the IAP command now in the command block.
  std::chrono::microseconds iap_busy_time() const;
  // Marks the transfer just recorded (see Transfer).
  void mark_last(bool poll, std::chrono::microseconds busy);
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
  int flash_writes_ = 0;
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
  std::chrono::microseconds started_busy_{0};  // by the write being handled
  SimClock::time_point bus_time_{};
  int protocol_violations_ = 0;
  long addressed_transfers_ = 0;
  Kd63507Diag diag_{config_.diag, regs_};
  // ---- Console side (kd63507_console.cpp): what the console keys touch ------
 public:
  static constexpr uint16_t kRegPacket = 0x0055;        // one byte, key q
  static constexpr uint16_t kRegModuleConf = 0x1200;    // 4 bytes; byte 3 := 1 asks for a config read
  static constexpr uint16_t kRegPwmList = 0x1210;       // 14 x 16-bit
  static constexpr uint16_t kRegRoicList = 0x1230;      // 46 x 32-bit
  static constexpr uint16_t kRegDumpA = 0x8000;         // 440-byte window, key 0
  static constexpr uint16_t kRegDumpB = 0x3010;         // 100-byte window, key 9
  // Mode numbers written alone to 0x0610 (mode requests), in order.
  const std::vector<uint8_t>& mode_requests() const { return console_.mode_requests; }
  // Module configuration reads the host asked for (byte 3 of 0x1200 set).
  int module_config_reads() const { return console_.module_config_reads; }

 private:
  // Fills the windows and lists with recognisable values (constructor).
  void console_seed();
  // After every register write: records mode requests and serves the module
  // configuration read request.
  void console_on_write(uint16_t first, size_t count);
  struct ConsoleState {
    std::vector<uint8_t> mode_requests;
    int module_config_reads = 0;
  } console_;
  // ---- ISP mode and the IAP data compare (sim/kd63507_isp.cpp) ----
  // The entry sequence and unlock words of the access-code table switch the
  // controller into ISP mode: 32-bit registers at 16-bit addresses, values
  // most significant byte first, flash protected until the protection
  // command is given the table's values. A power-off ends ISP mode, and
  // update mode with it.
 public:
  static constexpr uint32_t kIspSectorSize = 0x1000;
  bool in_isp_mode() const { return isp_.active; }
  bool isp_protected() const { return !isp_.unprotected; }
  // ISP commands ignored: flash protected, wrong set-up or address, unknown.
  int isp_refused_commands() const { return isp_.refused; }
  // ISP frames refused by Kd63507Config::isp_nack.
  int isp_nacked_frames() const { return isp_.nacked; }
  void powered_off() override;

 private:
  struct IspState {
    bool active = false;
    int entry_step = 0;  // entry codes and unlock words seen in order
    bool unprotected = false;
    uint16_t pointer = 0;
    std::array<uint32_t, 0x60> regs{};  // 0x0000 to 0x017F
    uint8_t pending_bit = 0;            // completion bit still to come
    uint32_t pending_read = 0;          // the word a read command delivers when it completes
    bool pending_is_read = false;
    int busy_left = 0;
    SimClock::time_point ready_at{};    // and not before this
    int status_reads = 0;
    int refused = 0;
    long frames_to_nack_reg = 0;        // frames written to isp_nack.reg so far
    int nacked = 0;
  };
  // The pending command's completion: its bit, and a read's data word.
  void isp_complete();
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
  // A write into the data window (for the pauses of a data compare).
  void iap_window_written();
  static constexpr std::chrono::milliseconds kIapComparePause{2};

  IspState isp_;
  uint8_t iap_last_command_ = 0;
  uint32_t iap_last_address_ = 0;
  uint32_t iap_last_length_ = 0;
  int iap_window_writes_ = 0;  // since the last command
  bool iap_window_rushed_ = false;
  SimClock::time_point iap_last_window_write_{};
};

// The unit checksum the controller checks a programmed unit against: CRC-16
// (poly 0x8005, MSB first, init 0, no final XOR) over the even and the odd
// 16-bit little-endian words, fed high byte first, combined as
// ~((odd << 16) | even). Written independently of the host's table-driven
// version so that each checks the other.
uint32_t kd63507_unit_checksum(const uint8_t* data, size_t length);
