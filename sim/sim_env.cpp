// fwdownload-sim's virtual hardware from the KDSIM_* environment variables:
//
//   KDSIM_BRIDGE        custom | cp2112 | both | none          (custom)
//                       serials BOARDSIM0001 (custom), CP2112SIM0001
//   KDSIM_BOARD_ID      VID:PID of the virtual custom board     (the fallback pair)
//   KDSIM_VERSIONS      BOOT,CORE,PUBL,CONF, four hex words     (0001,0000,0000,0000)
//   KDSIM_PROTOCOL      protocol name, 1 to 8 characters         (TCIP)
//   KDSIM_UNIT          4k | 128: the unit query's answer       (4k)
//   KDSIM_CHECK_FAIL    END_KIB:COUNT[,END_KIB:COUNT...]        (none)
//   KDSIM_TIMING        off | fullspeed: the bus-timing model of the
//                       bridges (1 ms USB frames, I2C bit times) and the
//                       controller's typical busy times; status reads then
//                       answer busy by time alone (KDSIM_BUSY,
//                       KDSIM_ISP_BUSY still add reads)            (off)
//   KDSIM_BUSY          busy status reads after each request    (1)
//   KDSIM_NEVER_READY   0 | 1                                   (0)
//   KDSIM_UNPLUG_AFTER  HID reports before the bridge is pulled (never)
//   KDSIM_CP2112_SILENT_AFTER  input reports the virtual CP2112 still sends
//                       before its answers stop coming              (never)
//   KDSIM_VANISH_AFTER  I2C transfers the controller answers before it stops
//                       answering: the custom board then reads the idle bus
//                       (0xFF), the CP2112 sees no acknowledge     (never)
//   KDSIM_FLASH_IN      128 KiB file loaded into the flash      (erased)
//   KDSIM_FLASH_OUT     file the flash is written to at exit    (none)
//   KDSIM_TRACE         file receiving one line per I2C transfer (none)
//   KDSIM_ISP_BUSY      busy ISP status reads after each ISP command (1)
//   KDSIM_ISP_STUCK     ISP command words, hex, comma-separated, whose
//                       completion bit never comes                (none)
//   KDSIM_ISP_NACK      REG:N[:COUNT]: the COUNT (1) ISP frames written to
//                       register REG (hex) from the Nth on are refused (none)
//   KDSIM_CORRUPT_UNIT  flash addresses, hex, comma-separated, of units an
//                       IAP program command stores with one bit flipped (none)
//   KDSIM_CP2112_SMBUS_LOG  file receiving one line per SMBus configuration
//                       the virtual CP2112 takes                    (none)
//   KDSIM_TOUCH         touch packets queued, one finger moving  (0)
//   KDSIM_ESD           ESD reports queued after them            (0)
//   KDSIM_LOGS          log records before the end record        (5)
//   KDSIM_EVENT_INTR    event interrupt type: 0 none, 1 INTR line, 2 flag (2)
//
// A value that cannot be used is an error, never a silent default.
#include "sim_env.h"

#include "app/entry.h"
#include "bridge/hidboard/usb_drv_qbm7750.h"
#include "cp2112_sim.h"
#include "hid_unplug.h"
#include "hidboard_sim.h"
#include "kd63507.h"
#include "platform/hid_virtual.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t kMaxProtocolName = 8;
constexpr unsigned long kMaxBusyReads = 1000000;
constexpr unsigned long kMaxUnplugAfter = 1000000000;
constexpr unsigned long kFlashKib = VirtualKd63507::kFlashSize / 1024;
constexpr unsigned long kMaxDiagItems = 100000;

std::unique_ptr<VirtualKd63507> g_controller;
FILE* g_trace = nullptr;
FILE* g_smbus_log = nullptr;
std::string g_flash_out;

// Reports a bad value; the caller returns the exit code.
int bad(const char* name, const char* value, const char* expected) {
  std::fprintf(stderr, "%s: invalid value \"%s\" (expected %s)\n", name, value, expected);
  return EXIT_BAD_INPUT;
}

// Whole-text unsigned numbers; an optional "0x" only for hexadecimal.
bool parse_number(const std::string& text, int base, unsigned long max, unsigned long* out) {
  std::string digits = text;
  if (base == 16 && digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits = digits.substr(2);
  }
  if (digits.empty() || digits.size() > 10) return false;
  for (char c : digits) {
    if (base == 16 ? !std::isxdigit(static_cast<unsigned char>(c)) : !std::isdigit(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  errno = 0;
  const unsigned long value = std::strtoul(digits.c_str(), nullptr, base);
  if (errno != 0 || value > max) return false;
  *out = value;
  return true;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

struct Settings {
  bool custom = true;
  bool cp2112 = false;
  uint16_t board_vid = QBM7750_FALLBACK_VID;
  uint16_t board_pid = QBM7750_FALLBACK_PID;
  long unplug_after = -1;
  long cp2112_silent_after = -1;
  std::string flash_in;
  std::string flash_out;
  std::string trace;
  std::string smbus_log;
  bool timing = false;
  Kd63507Config controller;
};

// Each reader leaves the default when the variable is unset and returns 0,
// or reports the bad value and returns the exit code.
int read_bridge(Settings& s) {
  const char* value = std::getenv("KDSIM_BRIDGE");
  if (value == nullptr) return 0;
  const std::string v = value;
  if (v == "custom" || v == "cp2112" || v == "both" || v == "none") {
    s.custom = v == "custom" || v == "both";
    s.cp2112 = v == "cp2112" || v == "both";
    return 0;
  }
  return bad("KDSIM_BRIDGE", value, "custom, cp2112, both or none");
}

int read_board_id(Settings& s) {
  const char* value = std::getenv("KDSIM_BOARD_ID");
  if (value == nullptr) return 0;
  const std::vector<std::string> parts = split(value, ':');
  unsigned long vid = 0;
  unsigned long pid = 0;
  if (parts.size() != 2 || !parse_number(parts[0], 16, 0xFFFF, &vid) || !parse_number(parts[1], 16, 0xFFFF, &pid) ||
      vid == 0 || pid == 0) {
    return bad("KDSIM_BOARD_ID", value, "VID:PID, two non-zero hex numbers of up to 4 digits");
  }
  s.board_vid = static_cast<uint16_t>(vid);
  s.board_pid = static_cast<uint16_t>(pid);
  return 0;
}

int read_versions(Settings& s) {
  const char* value = std::getenv("KDSIM_VERSIONS");
  if (value == nullptr) return 0;
  const std::vector<std::string> parts = split(value, ',');
  if (parts.size() != s.controller.versions.size()) return bad("KDSIM_VERSIONS", value, "BOOT,CORE,PUBL,CONF as four hex words");
  for (size_t i = 0; i < parts.size(); ++i) {
    unsigned long word = 0;
    if (!parse_number(parts[i], 16, 0xFFFF, &word)) return bad("KDSIM_VERSIONS", value, "BOOT,CORE,PUBL,CONF as four hex words");
    s.controller.versions[i] = static_cast<uint16_t>(word);
  }
  return 0;
}

int read_protocol(Settings& s) {
  const char* value = std::getenv("KDSIM_PROTOCOL");
  if (value == nullptr) return 0;
  const std::string v = value;
  bool printable = !v.empty() && v.size() <= kMaxProtocolName;
  for (char c : v) printable = printable && c > ' ' && c < 0x7F;
  if (!printable) return bad("KDSIM_PROTOCOL", value, "a name of 1 to 8 printable characters, for example TCIP");
  s.controller.protocol = v;
  return 0;
}

int read_unit(Settings& s) {
  const char* value = std::getenv("KDSIM_UNIT");
  if (value == nullptr) return 0;
  const std::string v = value;
  if (v != "4k" && v != "128") return bad("KDSIM_UNIT", value, "4k or 128");
  s.controller.unit_4k = v == "4k";
  return 0;
}

int read_check_fail(Settings& s) {
  const char* value = std::getenv("KDSIM_CHECK_FAIL");
  if (value == nullptr) return 0;
  for (const std::string& item : split(value, ',')) {
    const std::vector<std::string> pair = split(item, ':');
    unsigned long end_kib = 0;
    unsigned long count = 0;
    if (pair.size() != 2 || !parse_number(pair[0], 10, kFlashKib, &end_kib) || end_kib == 0 ||
        !parse_number(pair[1], 10, 1000, &count)) {
      return bad("KDSIM_CHECK_FAIL", value, "END_KIB:COUNT[,END_KIB:COUNT...] in decimal, END_KIB 1 to 128");
    }
    s.controller.check_failures[static_cast<uint32_t>(end_kib)] = static_cast<int>(count);
  }
  return 0;
}

int read_busy(Settings& s) {
  const char* value = std::getenv("KDSIM_BUSY");
  if (value == nullptr) return 0;
  unsigned long busy = 0;
  if (!parse_number(value, 10, kMaxBusyReads, &busy)) return bad("KDSIM_BUSY", value, "a decimal count, 0 to 1000000");
  s.controller.busy_reads = static_cast<int>(busy);
  return 0;
}

int read_timing(Settings& s) {
  const char* value = std::getenv("KDSIM_TIMING");
  if (value == nullptr) return 0;
  const std::string v = value;
  if (v != "off" && v != "fullspeed") return bad("KDSIM_TIMING", value, "off or fullspeed");
  s.timing = v == "fullspeed";
  if (s.timing) {
    s.controller.timing = KD63507_TYPICAL_TIMING;
    s.controller.busy_reads = 0;
    s.controller.isp_busy_reads = 0;
  }
  return 0;
}

int read_never_ready(Settings& s) {
  const char* value = std::getenv("KDSIM_NEVER_READY");
  if (value == nullptr) return 0;
  const std::string v = value;
  if (v != "0" && v != "1") return bad("KDSIM_NEVER_READY", value, "0 or 1");
  s.controller.never_ready = v == "1";
  return 0;
}

int read_unplug_after(Settings& s) {
  const char* value = std::getenv("KDSIM_UNPLUG_AFTER");
  if (value == nullptr) return 0;
  unsigned long reports = 0;
  if (!parse_number(value, 10, kMaxUnplugAfter, &reports)) {
    return bad("KDSIM_UNPLUG_AFTER", value, "a decimal count of HID reports");
  }
  s.unplug_after = static_cast<long>(reports);
  return 0;
}

int read_cp2112_silent_after(Settings& s) {
  const char* value = std::getenv("KDSIM_CP2112_SILENT_AFTER");
  if (value == nullptr) return 0;
  unsigned long reports = 0;
  if (!parse_number(value, 10, kMaxUnplugAfter, &reports)) {
    return bad("KDSIM_CP2112_SILENT_AFTER", value, "a decimal count of input reports");
  }
  s.cp2112_silent_after = static_cast<long>(reports);
  return 0;
}

int read_vanish_after(Settings& s) {
  const char* value = std::getenv("KDSIM_VANISH_AFTER");
  if (value == nullptr) return 0;
  unsigned long transfers = 0;
  if (!parse_number(value, 10, kMaxUnplugAfter, &transfers)) {
    return bad("KDSIM_VANISH_AFTER", value, "a decimal count of I2C transfers");
  }
  s.controller.vanish_after = static_cast<long>(transfers);
  return 0;
}

// A decimal count of diagnostic items for the virtual controller.
int read_count(const char* name, unsigned long max, int& out) {
  const char* value = std::getenv(name);
  if (value == nullptr) return 0;
  unsigned long count = 0;
  if (!parse_number(value, 10, max, &count)) {
    const std::string expected = "a decimal count, 0 to " + std::to_string(max);
    return bad(name, value, expected.c_str());
  }
  out = static_cast<int>(count);
  return 0;
}

int read_diag(Settings& s) {
  int event_type = s.controller.diag.event_interrupt_type;
  for (const int code : {read_count("KDSIM_TOUCH", kMaxDiagItems, s.controller.diag.touch_packets),
                         read_count("KDSIM_ESD", kMaxDiagItems, s.controller.diag.esd_reports),
                         read_count("KDSIM_LOGS", kMaxDiagItems, s.controller.diag.log_records),
                         read_count("KDSIM_EVENT_INTR", 2, event_type)}) {
    if (code != 0) return code;
  }
  s.controller.diag.event_interrupt_type = static_cast<uint8_t>(event_type);
  return 0;
}

int read_isp_busy(Settings& s) {
  const char* value = std::getenv("KDSIM_ISP_BUSY");
  if (value == nullptr) return 0;
  unsigned long busy = 0;
  if (!parse_number(value, 10, kMaxBusyReads, &busy)) return bad("KDSIM_ISP_BUSY", value, "a decimal count, 0 to 1000000");
  s.controller.isp_busy_reads = static_cast<int>(busy);
  return 0;
}

// A comma-separated list of hex words, each at most `max` and a multiple of
// `align`.
int read_hex_list(const char* name, unsigned long max, unsigned long align, const char* expected,
                  std::vector<uint32_t>& out) {
  const char* value = std::getenv(name);
  if (value == nullptr) return 0;
  for (const std::string& item : split(value, ',')) {
    unsigned long word = 0;
    if (!parse_number(item, 16, max, &word) || word % align != 0) return bad(name, value, expected);
    out.push_back(static_cast<uint32_t>(word));
  }
  return 0;
}

int read_isp_nack(Settings& s) {
  const char* value = std::getenv("KDSIM_ISP_NACK");
  if (value == nullptr) return 0;
  const std::string text = value;
  const size_t colon = text.find(':');
  const size_t second = colon == std::string::npos ? colon : text.find(':', colon + 1);
  unsigned long reg = 0, nth = 0, count = 1;
  if (colon == std::string::npos || !parse_number(text.substr(0, colon), 16, 0xFFFF, &reg) ||
      !parse_number(text.substr(colon + 1, second - colon - 1), 10, 1000000000, &nth) || nth == 0 ||
      (second != std::string::npos && (!parse_number(text.substr(second + 1), 10, 1000000000, &count) || count == 0))) {
    return bad("KDSIM_ISP_NACK", value, "REG:N[:COUNT]: a hex register, then decimal counts from 1");
  }
  s.controller.isp_nack = {static_cast<uint16_t>(reg), static_cast<long>(nth), static_cast<long>(count)};
  return 0;
}
int read_isp_stuck(Settings& s) {
  return read_hex_list("KDSIM_ISP_STUCK", 0xFFFFFFFF, 1, "ISP command words in hex, for example 1041,1044",
                       s.controller.isp_stuck_commands);
}

int read_corrupt_unit(Settings& s) {
  return read_hex_list("KDSIM_CORRUPT_UNIT", VirtualKd63507::kFlashSize - 128, 128,
                       "flash addresses in hex, multiples of 80 below 20000, for example 4080",
                       s.controller.corrupt_units);
}

int read_path(const char* name, std::string& out) {
  const char* value = std::getenv(name);
  if (value == nullptr) return 0;
  if (*value == '\0') return bad(name, value, "a file name");
  out = value;
  return 0;
}

int load_flash(const std::string& path, VirtualKd63507& controller) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    std::fprintf(stderr, "KDSIM_FLASH_IN: cannot open \"%s\": %s\n", path.c_str(), std::strerror(errno));
    return EXIT_BAD_INPUT;
  }
  auto& flash = controller.flash();
  const size_t got = std::fread(flash.data(), 1, flash.size(), file);
  const bool longer = std::fgetc(file) != EOF;
  std::fclose(file);
  if (got != flash.size() || longer) {
    std::fprintf(stderr, "KDSIM_FLASH_IN: \"%s\" is not %zu bytes long\n", path.c_str(), flash.size());
    return EXIT_BAD_INPUT;
  }
  return 0;
}

void write_flash_at_exit() {
  if (g_trace != nullptr) {
    std::fclose(g_trace);
    g_trace = nullptr;
  }
  if (g_flash_out.empty() || !g_controller) return;
  FILE* file = std::fopen(g_flash_out.c_str(), "wb");
  const auto& flash = g_controller->flash();
  if (file == nullptr || std::fwrite(flash.data(), 1, flash.size(), file) != flash.size()) {
    std::fprintf(stderr, "KDSIM_FLASH_OUT: cannot write \"%s\"\n", g_flash_out.c_str());
  }
  if (file != nullptr) std::fclose(file);
}

}  // namespace

int kdsim_setup_from_environment(void) {
  Settings s;
  for (int (*reader)(Settings&) : {read_bridge, read_board_id, read_versions, read_protocol, read_unit, read_check_fail,
                                   read_timing, read_busy, read_never_ready, read_unplug_after, read_cp2112_silent_after,
                                   read_vanish_after, read_diag, read_isp_busy, read_isp_nack, read_isp_stuck,
                                   read_corrupt_unit}) {
    if (const int code = reader(s); code != 0) return code;
  }
  if (const int code = read_path("KDSIM_FLASH_IN", s.flash_in); code != 0) return code;
  if (const int code = read_path("KDSIM_FLASH_OUT", s.flash_out); code != 0) return code;
  if (const int code = read_path("KDSIM_TRACE", s.trace); code != 0) return code;
  if (const int code = read_path("KDSIM_CP2112_SMBUS_LOG", s.smbus_log); code != 0) return code;

  auto controller = std::make_unique<VirtualKd63507>(s.controller);
  controller->set_recording(false);  // a whole update would pile up every transfer
  if (!s.flash_in.empty()) {
    if (const int code = load_flash(s.flash_in, *controller); code != 0) return code;
  }
  // Both output files are tried now, so that a run cannot end in a file that
  // was never written.
  if (!s.flash_out.empty()) {
    FILE* probe = std::fopen(s.flash_out.c_str(), "wb");
    if (probe == nullptr) {
      std::fprintf(stderr, "KDSIM_FLASH_OUT: cannot create \"%s\": %s\n", s.flash_out.c_str(), std::strerror(errno));
      return EXIT_BAD_INPUT;
    }
    std::fclose(probe);
  }
  FILE* trace = nullptr;
  if (!s.trace.empty()) {
    trace = std::fopen(s.trace.c_str(), "w");
    if (trace == nullptr) {
      std::fprintf(stderr, "KDSIM_TRACE: cannot create \"%s\": %s\n", s.trace.c_str(), std::strerror(errno));
      return EXIT_BAD_INPUT;
    }
    controller->set_trace_file(trace);
  }

  FILE* smbus_log = nullptr;
  if (!s.smbus_log.empty()) {
    smbus_log = std::fopen(s.smbus_log.c_str(), "w");
    if (smbus_log == nullptr) {
      std::fprintf(stderr, "KDSIM_CP2112_SMBUS_LOG: cannot create \"%s\": %s\n", s.smbus_log.c_str(),
                   std::strerror(errno));
      if (trace != nullptr) std::fclose(trace);
      return EXIT_BAD_INPUT;
    }
  }

  std::vector<std::shared_ptr<VirtualHidDevice>> bridges;
  if (s.custom) {
    auto board = std::make_shared<VirtualHidBoard>(controller.get(), s.board_vid, s.board_pid);
    board->info.serial = KDSIM_BOARD_SERIAL;
    board->timing.enabled = s.timing;
    bridges.push_back(std::move(board));
  }
  if (s.cp2112) {
    auto cp2112 = std::make_shared<VirtualCp2112>(controller.get(), KDSIM_CP2112_SERIAL);
    if (s.cp2112_silent_after >= 0) cp2112->drop_responses(s.cp2112_silent_after, -1);
    cp2112->smbus_log = smbus_log;
    cp2112->timing.enabled = s.timing;
    bridges.push_back(std::move(cp2112));
  }

  hid_virtual_detach_all();
  for (auto& bridge : bridges) {
    hid_virtual_attach(s.unplug_after >= 0 ? unplug_after_reports(bridge, s.unplug_after) : bridge);
  }
  const bool first_setup = !g_controller;
  g_controller = std::move(controller);
  if (g_trace != nullptr) std::fclose(g_trace);
  g_trace = trace;
  if (g_smbus_log != nullptr) std::fclose(g_smbus_log);
  g_smbus_log = smbus_log;
  g_flash_out = s.flash_out;
  if (first_setup) std::atexit(write_flash_at_exit);
  return 0;
}

int kdsim_start(void) {
  if (const int code = kdsim_setup_from_environment(); code != 0) return code;
  return hid_transport_start(&hid_transport_virtual);
}
