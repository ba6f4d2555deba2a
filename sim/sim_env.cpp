// fwdownload-sim's virtual hardware from the KDSIM_* environment variables:
//
//   KDSIM_BRIDGE        custom | cp2112 | both | none          (custom)
//                       serials BOARDSIM0001 (custom), CP2112SIM0001
//   KDSIM_BRIDGES       KIND:COUNT[,KIND:COUNT...], KIND custom or cp2112:
//                       that many bridges, in that order, each with a
//                       controller and files of its own; serials
//                       BOARDSIM0001.., CP2112SIM0001.. (not with
//                       KDSIM_BRIDGE)                           (not set)
//                       With it, KDSIM_<SERIAL>_<SETTING> gives one board
//                       its own value of any setting below, and %s in the
//                       file names stands for the board's serial.
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
//   KDSIM_CP2112_BUSY   transfer status requests the virtual CP2112
//                       answers busy after each transfer, besides its bus
//                       time under KDSIM_TIMING; "always": until a Cancel (0)
//   KDSIM_VANISH_AFTER  I2C transfers the controller answers before it stops
//                       answering: the custom board then reads the idle bus
//                       (0xFF), the CP2112 sees no acknowledge     (never)
//   KDSIM_FLASH_IN      128 KiB file loaded into the flash      (erased)
//   KDSIM_FLASH_OUT     file the flash is written to at exit    (none)
//   KDSIM_TRACE         file receiving one line per I2C transfer (none)
//   KDSIM_FIXTURE       control file of the board's fixture (KDSIM_BRIDGES
//                       only, not with KDSIM_FLASH_IN/OUT): what it holds
//                       now, read at each enumeration and open (sim/fixture.h)
//                                                                  (none)
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
// What a bridge says about itself, and whether it opens, is set per bridge,
// keyed by the serial it would have, with KDSIM_BRIDGE and KDSIM_BRIDGES
// alike (so that tests can make a board lie):
//   KDSIM_<SERIAL>_SERIAL        the serial it reports instead; C escapes
//                                (\xNN, \n, \t, \\ ...) for any byte; may
//                                be empty                        (SERIAL)
//   KDSIM_<SERIAL>_PRODUCT       its product string, escapes as above
//   KDSIM_<SERIAL>_MANUFACTURER  its manufacturer string, escapes as above
//   KDSIM_<SERIAL>_REFUSE_OPEN   busy | permission: listed, but every open
//                                fails (in use / no permission)   (opens)
// Its settings and %s in its file names keep the serial it would have.
//
// A value that cannot be used is an error, never a silent default.
#include "sim_env.h"

#include "app/entry.h"
#include "bridge/hidboard/usb_drv_qbm7750.h"
#include "console/safe_text.h"
#include "cp2112_sim.h"
#include "fixture.h"
#include "hid_unplug.h"
#include "hidboard_sim.h"
#include "kd63507.h"
#include "platform/hid_virtual.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#define KDSIM_ENVIRON _environ
#else
extern char** environ;
#define KDSIM_ENVIRON environ
#endif

namespace {

constexpr size_t kMaxProtocolName = 8;
constexpr unsigned long kMaxBusyReads = 1000000;
constexpr unsigned long kMaxUnplugAfter = 1000000000;
constexpr unsigned long kFlashKib = VirtualKd63507::kFlashSize / 1024;
constexpr unsigned long kMaxDiagItems = 100000;

constexpr unsigned long kMaxBridges = 64;

// The serial of the board whose settings are being read (KDSIM_BRIDGES):
// its own variables, KDSIM_<SERIAL>_<SETTING>, take precedence over the
// shared ones. Empty for the bridges of KDSIM_BRIDGE.
std::string g_board_serial;
// kdsim_leave_flash_files: this process writes no KDSIM_FLASH_OUT file.
bool g_leave_flash_files = false;
// The variable the last setting() found, for the message on a bad value.
std::string g_variable;
// While the module line of a fixture is read: its SETTING=VALUE words stand
// in for the environment, and a message starts with `g_module_where`.
const std::map<std::string, std::string>* g_module_settings = nullptr;
std::string g_module_where;

// The value of a setting (a KDSIM_ name) for the board being read, or null.
const char* setting(const char* name) {
  if (g_module_settings != nullptr) {
    const std::string bare = name + std::strlen("KDSIM_");
    g_variable = g_module_where + bare;
    const auto found = g_module_settings->find(bare);
    return found == g_module_settings->end() ? nullptr : found->second.c_str();
  }
  if (!g_board_serial.empty()) {
    const std::string own = "KDSIM_" + g_board_serial + "_" + (name + std::strlen("KDSIM_"));
    if (const char* value = std::getenv(own.c_str()); value != nullptr) {
      g_variable = own;
      return value;
    }
  }
  g_variable = name;
  return std::getenv(name);
}

// Reports a bad value of the variable setting() found last; the caller
// returns the exit code.
int bad(const char* value, const char* expected) {
  std::fprintf(stderr, "%s: invalid value \"%s\" (expected %s)\n", g_variable.c_str(), safe_text(value).c_str(),
               expected);
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
  long cp2112_busy = 0;  // negative: always
  std::string flash_in;
  std::string flash_out;
  std::string trace;
  std::string smbus_log;
  std::string fixture;
  std::string fixture_variable;  // the variable that gave it
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
  g_variable = "KDSIM_BRIDGE";
  return bad(value, "custom, cp2112, both or none");
}

int read_board_id(Settings& s) {
  const char* value = setting("KDSIM_BOARD_ID");
  if (value == nullptr) return 0;
  const std::vector<std::string> parts = split(value, ':');
  unsigned long vid = 0;
  unsigned long pid = 0;
  if (parts.size() != 2 || !parse_number(parts[0], 16, 0xFFFF, &vid) || !parse_number(parts[1], 16, 0xFFFF, &pid) ||
      vid == 0 || pid == 0) {
    return bad(value, "VID:PID, two non-zero hex numbers of up to 4 digits");
  }
  s.board_vid = static_cast<uint16_t>(vid);
  s.board_pid = static_cast<uint16_t>(pid);
  return 0;
}

int read_versions(Settings& s) {
  const char* value = setting("KDSIM_VERSIONS");
  if (value == nullptr) return 0;
  const std::vector<std::string> parts = split(value, ',');
  if (parts.size() != s.controller.versions.size()) return bad(value, "BOOT,CORE,PUBL,CONF as four hex words");
  for (size_t i = 0; i < parts.size(); ++i) {
    unsigned long word = 0;
    if (!parse_number(parts[i], 16, 0xFFFF, &word)) return bad(value, "BOOT,CORE,PUBL,CONF as four hex words");
    s.controller.versions[i] = static_cast<uint16_t>(word);
  }
  return 0;
}

int read_protocol(Settings& s) {
  const char* value = setting("KDSIM_PROTOCOL");
  if (value == nullptr) return 0;
  const std::string v = value;
  bool printable = !v.empty() && v.size() <= kMaxProtocolName;
  for (char c : v) printable = printable && c > ' ' && c < 0x7F;
  if (!printable) return bad(value, "a name of 1 to 8 printable characters, for example TCIP");
  s.controller.protocol = v;
  return 0;
}

int read_unit(Settings& s) {
  const char* value = setting("KDSIM_UNIT");
  if (value == nullptr) return 0;
  const std::string v = value;
  if (v != "4k" && v != "128") return bad(value, "4k or 128");
  s.controller.unit_4k = v == "4k";
  return 0;
}

int read_check_fail(Settings& s) {
  const char* value = setting("KDSIM_CHECK_FAIL");
  if (value == nullptr) return 0;
  for (const std::string& item : split(value, ',')) {
    const std::vector<std::string> pair = split(item, ':');
    unsigned long end_kib = 0;
    unsigned long count = 0;
    if (pair.size() != 2 || !parse_number(pair[0], 10, kFlashKib, &end_kib) || end_kib == 0 ||
        !parse_number(pair[1], 10, 1000, &count)) {
      return bad(value, "END_KIB:COUNT[,END_KIB:COUNT...] in decimal, END_KIB 1 to 128");
    }
    s.controller.check_failures[static_cast<uint32_t>(end_kib)] = static_cast<int>(count);
  }
  return 0;
}

int read_busy(Settings& s) {
  const char* value = setting("KDSIM_BUSY");
  if (value == nullptr) return 0;
  unsigned long busy = 0;
  if (!parse_number(value, 10, kMaxBusyReads, &busy)) return bad(value, "a decimal count, 0 to 1000000");
  s.controller.busy_reads = static_cast<int>(busy);
  return 0;
}

int read_timing(Settings& s) {
  const char* value = setting("KDSIM_TIMING");
  if (value == nullptr) return 0;
  const std::string v = value;
  if (v != "off" && v != "fullspeed") return bad(value, "off or fullspeed");
  s.timing = v == "fullspeed";
  if (s.timing) {
    s.controller.timing = KD63507_TYPICAL_TIMING;
    s.controller.busy_reads = 0;
    s.controller.isp_busy_reads = 0;
  }
  return 0;
}

int read_never_ready(Settings& s) {
  const char* value = setting("KDSIM_NEVER_READY");
  if (value == nullptr) return 0;
  const std::string v = value;
  if (v != "0" && v != "1") return bad(value, "0 or 1");
  s.controller.never_ready = v == "1";
  return 0;
}

int read_unplug_after(Settings& s) {
  const char* value = setting("KDSIM_UNPLUG_AFTER");
  if (value == nullptr) return 0;
  unsigned long reports = 0;
  if (!parse_number(value, 10, kMaxUnplugAfter, &reports)) {
    return bad(value, "a decimal count of HID reports");
  }
  s.unplug_after = static_cast<long>(reports);
  return 0;
}

int read_cp2112_silent_after(Settings& s) {
  const char* value = setting("KDSIM_CP2112_SILENT_AFTER");
  if (value == nullptr) return 0;
  unsigned long reports = 0;
  if (!parse_number(value, 10, kMaxUnplugAfter, &reports)) {
    return bad(value, "a decimal count of input reports");
  }
  s.cp2112_silent_after = static_cast<long>(reports);
  return 0;
}

int read_cp2112_busy(Settings& s) {
  const char* value = setting("KDSIM_CP2112_BUSY");
  if (value == nullptr) return 0;
  if (std::string(value) == "always") {
    s.cp2112_busy = -1;
    return 0;
  }
  unsigned long busy = 0;
  if (!parse_number(value, 10, kMaxBusyReads, &busy)) return bad(value, "a decimal count, 0 to 1000000, or always");
  s.cp2112_busy = static_cast<long>(busy);
  return 0;
}

int read_vanish_after(Settings& s) {
  const char* value = setting("KDSIM_VANISH_AFTER");
  if (value == nullptr) return 0;
  unsigned long transfers = 0;
  if (!parse_number(value, 10, kMaxUnplugAfter, &transfers)) {
    return bad(value, "a decimal count of I2C transfers");
  }
  s.controller.vanish_after = static_cast<long>(transfers);
  return 0;
}

// A decimal count of diagnostic items for the virtual controller.
int read_count(const char* name, unsigned long max, int& out) {
  const char* value = setting(name);
  if (value == nullptr) return 0;
  unsigned long count = 0;
  if (!parse_number(value, 10, max, &count)) {
    const std::string expected = "a decimal count, 0 to " + std::to_string(max);
    return bad(value, expected.c_str());
  }
  out = static_cast<int>(count);
  return 0;
}

// One item after the other, so that only the first bad value is reported.
int read_diag(Settings& s) {
  int event_type = s.controller.diag.event_interrupt_type;
  if (const int code = read_count("KDSIM_TOUCH", kMaxDiagItems, s.controller.diag.touch_packets); code != 0) return code;
  if (const int code = read_count("KDSIM_ESD", kMaxDiagItems, s.controller.diag.esd_reports); code != 0) return code;
  if (const int code = read_count("KDSIM_LOGS", kMaxDiagItems, s.controller.diag.log_records); code != 0) return code;
  if (const int code = read_count("KDSIM_EVENT_INTR", 2, event_type); code != 0) return code;
  s.controller.diag.event_interrupt_type = static_cast<uint8_t>(event_type);
  return 0;
}

int read_isp_busy(Settings& s) {
  const char* value = setting("KDSIM_ISP_BUSY");
  if (value == nullptr) return 0;
  unsigned long busy = 0;
  if (!parse_number(value, 10, kMaxBusyReads, &busy)) return bad(value, "a decimal count, 0 to 1000000");
  s.controller.isp_busy_reads = static_cast<int>(busy);
  return 0;
}

// A comma-separated list of hex words, each at most `max` and a multiple of
// `align`.
int read_hex_list(const char* name, unsigned long max, unsigned long align, const char* expected,
                  std::vector<uint32_t>& out) {
  const char* value = setting(name);
  if (value == nullptr) return 0;
  for (const std::string& item : split(value, ',')) {
    unsigned long word = 0;
    if (!parse_number(item, 16, max, &word) || word % align != 0) return bad(value, expected);
    out.push_back(static_cast<uint32_t>(word));
  }
  return 0;
}

int read_isp_nack(Settings& s) {
  const char* value = setting("KDSIM_ISP_NACK");
  if (value == nullptr) return 0;
  const std::string text = value;
  const size_t colon = text.find(':');
  const size_t second = colon == std::string::npos ? colon : text.find(':', colon + 1);
  unsigned long reg = 0, nth = 0, count = 1;
  if (colon == std::string::npos || !parse_number(text.substr(0, colon), 16, 0xFFFF, &reg) ||
      !parse_number(text.substr(colon + 1, second - colon - 1), 10, 1000000000, &nth) || nth == 0 ||
      (second != std::string::npos && (!parse_number(text.substr(second + 1), 10, 1000000000, &count) || count == 0))) {
    return bad(value, "REG:N[:COUNT]: a hex register, then decimal counts from 1");
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

// A file name; for a board of KDSIM_BRIDGES each %s in it stands for the
// board's serial.
int read_path(const char* name, std::string& out) {
  const char* value = setting(name);
  if (value == nullptr) return 0;
  if (*value == '\0') return bad(value, "a file name");
  out = value;
  if (g_board_serial.empty()) return 0;
  for (size_t at = out.find("%s"); at != std::string::npos; at = out.find("%s", at + g_board_serial.size())) {
    out.replace(at, 2, g_board_serial);
  }
  return 0;
}

int read_paths(Settings& s) {
  if (const int code = read_path("KDSIM_FLASH_IN", s.flash_in); code != 0) return code;
  if (const int code = read_path("KDSIM_FLASH_OUT", s.flash_out); code != 0) return code;
  if (g_leave_flash_files) s.flash_out.clear();
  if (const int code = read_path("KDSIM_TRACE", s.trace); code != 0) return code;
  if (const int code = read_path("KDSIM_FIXTURE", s.fixture); code != 0) return code;
  if (!s.fixture.empty()) s.fixture_variable = g_variable;
  return read_path("KDSIM_CP2112_SMBUS_LOG", s.smbus_log);
}

// Every setting of one bridge and its controller, read for g_board_serial.
int read_settings(Settings& s) {
  for (int (*reader)(Settings&) :
       {read_board_id, read_versions, read_protocol, read_unit, read_check_fail, read_timing, read_busy,
        read_never_ready, read_unplug_after, read_cp2112_silent_after, read_cp2112_busy, read_vanish_after,
        read_diag, read_isp_busy, read_isp_nack, read_isp_stuck, read_corrupt_unit, read_paths}) {
    if (const int code = reader(s); code != 0) return code;
  }
  return 0;
}

// The settings a board of KDSIM_BRIDGES may have of its own: all but the
// choice of bridges.
constexpr const char* kBoardSettings[] = {
    "BOARD_ID", "VERSIONS",     "PROTOCOL",           "UNIT",       "CHECK_FAIL",          "TIMING",
    "BUSY",     "NEVER_READY",  "UNPLUG_AFTER",       "CP2112_SILENT_AFTER", "CP2112_BUSY", "VANISH_AFTER", "TOUCH",
    "ESD",      "LOGS",         "EVENT_INTR",         "ISP_BUSY",   "ISP_NACK",   "ISP_STUCK",           "CORRUPT_UNIT",
    "FLASH_IN", "FLASH_OUT",    "TRACE",              "CP2112_SMBUS_LOG", "FIXTURE"};

// The settings of a fixture's module line: those of its controller.
constexpr const char* kModuleSettings[] = {"VERSIONS", "PROTOCOL",   "UNIT",     "CHECK_FAIL", "BUSY",
                                           "NEVER_READY", "VANISH_AFTER", "TOUCH", "ESD",        "LOGS",
                                           "EVENT_INTR", "ISP_BUSY",   "ISP_NACK", "ISP_STUCK",  "CORRUPT_UNIT"};

// A module line's SETTING=VALUE words over the board's controller
// configuration (ModuleSettings, sim/fixture.h); a list given replaces the
// board's list.
int apply_module_settings(const std::map<std::string, std::string>& settings, const std::string& where,
                          Kd63507Config& config) {
  for (const auto& entry : settings) {
    bool known = false;
    for (const char* name : kModuleSettings) known = known || entry.first == name;
    if (!known) {
      std::fprintf(stderr, "%s%s: not a setting of a module (VERSIONS, VANISH_AFTER, CORRUPT_UNIT, ... as KDSIM_)\n",
                   where.c_str(), safe_text(entry.first).c_str());
      return EXIT_BAD_INPUT;
    }
  }
  Settings s;
  s.controller = config;
  if (settings.count("CHECK_FAIL") != 0) s.controller.check_failures.clear();
  if (settings.count("ISP_STUCK") != 0) s.controller.isp_stuck_commands.clear();
  if (settings.count("CORRUPT_UNIT") != 0) s.controller.corrupt_units.clear();
  g_module_settings = &settings;
  g_module_where = where;
  int code = 0;
  for (int (*reader)(Settings&) : {read_versions, read_protocol, read_unit, read_check_fail, read_busy, read_never_ready,
                                   read_vanish_after, read_diag, read_isp_busy, read_isp_nack, read_isp_stuck,
                                   read_corrupt_unit}) {
    if (code = reader(s); code != 0) break;
  }
  g_module_settings = nullptr;
  if (code == 0) config = s.controller;
  return code;
}

// What a bridge says about itself, set per bridge (with KDSIM_BRIDGE too).
constexpr const char* kIdentitySettings[] = {"SERIAL", "PRODUCT", "MANUFACTURER", "REFUSE_OPEN"};

// C escapes in a string setting: \xH or \xHH for any byte, \n \r \t \a \b
// \f \v \e \0 and \\. False on anything else after a backslash.
bool unescape(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      *out += text[i];
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case 'n': *out += '\n'; break;
      case 'r': *out += '\r'; break;
      case 't': *out += '\t'; break;
      case 'a': *out += '\a'; break;
      case 'b': *out += '\b'; break;
      case 'f': *out += '\f'; break;
      case 'v': *out += '\v'; break;
      case 'e': *out += '\x1b'; break;
      case '0': *out += '\0'; break;
      case '\\': *out += '\\'; break;
      case 'x': {
        size_t digits = 0;
        unsigned value = 0;
        while (digits < 2 && i + 1 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
          const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[++i])));
          value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
          ++digits;
        }
        if (digits == 0) return false;
        *out += static_cast<char>(value);
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

// Applies KDSIM_<SERIAL>_SERIAL, _PRODUCT, _MANUFACTURER and _REFUSE_OPEN to
// a bridge whose own serial is `serial`. 0, or a message and the exit code.
int apply_identity(VirtualHidDevice& bridge, std::string serial) {  // a copy: it may be the field being set
  struct Text {
    const char* what;
    std::string HidDeviceInfo::*field;
  };
  for (const Text& text : {Text{"SERIAL", &HidDeviceInfo::serial}, Text{"PRODUCT", &HidDeviceInfo::product},
                           Text{"MANUFACTURER", &HidDeviceInfo::manufacturer}}) {
    g_variable = "KDSIM_" + serial + "_" + text.what;
    const char* value = std::getenv(g_variable.c_str());
    if (value == nullptr) continue;
    if (!unescape(value, &(bridge.info.*text.field))) {
      return bad(value, "text with C escapes: \\xHH, \\n, \\r, \\t, \\e, \\0, \\\\ ...");
    }
  }
  g_variable = "KDSIM_" + serial + "_REFUSE_OPEN";
  if (const char* value = std::getenv(g_variable.c_str()); value != nullptr) {
    const std::string v = value;
    if (v != "busy" && v != "permission") return bad(value, "busy or permission");
    bridge.in_use = v == "busy";
    bridge.refuse_open = v == "permission";
  }
  return 0;
}


// One virtual bridge with the controller behind it and the files of both.
// A KDSIM_BRIDGE set is one of these (with one or two bridges on its one
// controller); each bridge of KDSIM_BRIDGES is one of its own.
struct Board {
  std::string serial;  // its KDSIM_BRIDGES serial; empty for KDSIM_BRIDGE
  Settings s;
  std::unique_ptr<VirtualKd63507> controller;  // or, with KDSIM_FIXTURE, the fixture's module
  std::unique_ptr<Fixture> fixture;
  std::vector<std::shared_ptr<VirtualHidDevice>> bridges;
  std::vector<std::string> own_serials;  // the serial each bridge would have, before _SERIAL
  VirtualCp2112* cp2112 = nullptr;
  FILE* trace = nullptr;
  FILE* smbus_log = nullptr;
  bool active = false;  // its files are in use, and its flash is written at exit
};

std::vector<std::unique_ptr<Board>> g_boards;

void close_files(Board& board) {
  if (board.trace != nullptr) std::fclose(board.trace);
  if (board.smbus_log != nullptr) std::fclose(board.smbus_log);
  board.trace = nullptr;
  board.smbus_log = nullptr;
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

// Loads a board's flash and opens its output files, which makes it active.
// 0, or a message on stderr and the exit code.
int open_files(Board& board) {
  const Settings& s = board.s;
  if (!s.flash_in.empty()) {
    if (const int code = load_flash(s.flash_in, *board.controller); code != 0) return code;
  }
  // Every output file is tried now, so that a run cannot end in a file that
  // was never written.
  if (!s.flash_out.empty()) {
    FILE* probe = std::fopen(s.flash_out.c_str(), "wb");
    if (probe == nullptr) {
      std::fprintf(stderr, "KDSIM_FLASH_OUT: cannot create \"%s\": %s\n", s.flash_out.c_str(), std::strerror(errno));
      return EXIT_BAD_INPUT;
    }
    std::fclose(probe);
  }
  if (!s.trace.empty()) {
    board.trace = std::fopen(s.trace.c_str(), "w");
    if (board.trace == nullptr) {
      std::fprintf(stderr, "KDSIM_TRACE: cannot create \"%s\": %s\n", s.trace.c_str(), std::strerror(errno));
      return EXIT_BAD_INPUT;
    }
    if (board.fixture) {
      board.fixture->set_trace_file(board.trace);
    } else {
      board.controller->set_trace_file(board.trace);
    }
  }
  if (!s.smbus_log.empty()) {
    board.smbus_log = std::fopen(s.smbus_log.c_str(), "w");
    if (board.smbus_log == nullptr) {
      std::fprintf(stderr, "KDSIM_CP2112_SMBUS_LOG: cannot create \"%s\": %s\n", s.smbus_log.c_str(),
                   std::strerror(errno));
      return EXIT_BAD_INPUT;
    }
    if (board.cp2112 != nullptr) board.cp2112->smbus_log = board.smbus_log;
  }
  board.active = true;
  return 0;
}

// A board of KDSIM_BRIDGES touches its files only once the process talks to
// it: a process limited to one board (kdtool --serial) leaves the others'
// files alone, and a listing (which opens and closes each bridge) none.
// A file that cannot be used then ends the process as at start-up. It ends
// from inside a transfer, with the bridge's handle open: no exit handlers or
// static destructors run there (they would close that handle after the
// transport's own records are gone), and no flash file is written.
void open_files_on_first_transfer(Board& board) {
  if (const int code = open_files(board); code != 0) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(code);
  }
}

void write_flash_at_exit() {
  for (const auto& board : g_boards) {
    if (board->fixture) board->fixture->write_back();
    if (!board->active) continue;
    if (board->trace != nullptr) {
      if (board->fixture) {
        board->fixture->set_trace_file(nullptr);
      } else {
        board->controller->set_trace_file(nullptr);
      }
      std::fclose(board->trace);
      board->trace = nullptr;
    }
    const std::string& path = board->s.flash_out;
    if (path.empty() || board->fixture) continue;
    FILE* file = std::fopen(path.c_str(), "wb");
    const auto& flash = board->controller->flash();
    if (file == nullptr || std::fwrite(flash.data(), 1, flash.size(), file) != flash.size()) {
      std::fprintf(stderr, "KDSIM_FLASH_OUT: cannot write \"%s\"\n", path.c_str());
    }
    if (file != nullptr) std::fclose(file);
  }
}

// A fixture's control file is read on enumeration and open, from inside the
// transport: a bad line ends the process there, as a bad file at the first
// transfer does (open_files_on_first_transfer).
void refresh_fixture(Fixture& fixture) {
  if (const int code = fixture.refresh(); code != 0) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(code);
  }
}

// Builds a board's controller, or its fixture, and bridges (kinds "custom",
// "cp2112") on it. 0, or a message on stderr and the exit code.
int build_board(Board& board, bool custom, bool cp2112, const char* cp2112_serial) {
  const Settings& s = board.s;
  I2cTarget* target = nullptr;
  if (!s.fixture.empty()) {
    board.fixture = std::make_unique<Fixture>(s.fixture_variable, s.fixture, s.controller, apply_module_settings);
    target = board.fixture.get();
  } else {
    board.controller = std::make_unique<VirtualKd63507>(s.controller);
    board.controller->set_recording(false);  // a whole update would pile up every transfer
    target = board.controller.get();
  }
  if (custom) {
    auto hid_board = std::make_shared<VirtualHidBoard>(target, s.board_vid, s.board_pid);
    hid_board->info.serial = board.serial.empty() ? KDSIM_BOARD_SERIAL : board.serial;
    hid_board->timing.enabled = s.timing;
    board.own_serials.push_back(hid_board->info.serial);
    if (const int code = apply_identity(*hid_board, hid_board->info.serial); code != 0) return code;
    board.bridges.push_back(std::move(hid_board));
  }
  if (cp2112) {
    auto bridge = std::make_shared<VirtualCp2112>(target, cp2112_serial);
    if (s.cp2112_silent_after >= 0) bridge->drop_responses(s.cp2112_silent_after, -1);
    bridge->busy_status = s.cp2112_busy;
    bridge->timing.enabled = s.timing;
    board.own_serials.push_back(bridge->info.serial);
    if (const int code = apply_identity(*bridge, bridge->info.serial); code != 0) return code;
    board.cp2112 = bridge.get();
    board.bridges.push_back(std::move(bridge));
  }
  for (auto& bridge : board.bridges) {
    if (s.unplug_after >= 0) bridge = unplug_after_reports(bridge, s.unplug_after);
  }
  if (board.fixture) {  // a board of KDSIM_BRIDGES: one bridge
    Fixture* fixture = board.fixture.get();
    fixture->set_bridge(board.bridges.front().get());
    board.bridges.front()->refresh = [fixture] { refresh_fixture(*fixture); };
  }
  return 0;
}

// KDSIM_BRIDGES: KIND:COUNT[,KIND:COUNT...] into one kind per board, in order.
int read_bridge_list(const char* value, std::vector<std::string>& kinds) {
  g_variable = "KDSIM_BRIDGES";
  const char* expected = "KIND:COUNT[,KIND:COUNT...], KIND custom or cp2112, COUNT 1 to 64 in all";
  for (const std::string& item : split(value, ',')) {
    const std::vector<std::string> pair = split(item, ':');
    unsigned long count = 0;
    if (pair.size() != 2 || (pair[0] != "custom" && pair[0] != "cp2112") ||
        !parse_number(pair[1], 10, kMaxBridges, &count) || count == 0 || kinds.size() + count > kMaxBridges) {
      return bad(value, expected);
    }
    kinds.insert(kinds.end(), count, pair[0]);
  }
  return 0;
}

// The names of the serials of KDSIM_BRIDGES, numbered per kind from 0001.
std::string board_serial(const std::string& kind, int number) {
  char serial[24];
  std::snprintf(serial, sizeof serial, "%s%04d", kind == "custom" ? "BOARDSIM" : "CP2112SIM", number);
  return serial;
}

bool is_board_setting(const std::string& name) {
  for (const char* known : kBoardSettings) {
    if (name == known) return true;
  }
  return false;
}

// A per-board variable (KDSIM_BOARDSIM..._ or KDSIM_CP2112SIM..._) must name
// a board of the set and one of its settings: a typo would otherwise leave
// the board with the shared value, unnoticed.
int check_board_variables(const std::vector<std::unique_ptr<Board>>& boards) {
  for (char** entry = KDSIM_ENVIRON; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    const std::string prefix = "KDSIM_";
    if (name.rfind(prefix + "BOARDSIM", 0) != 0 && name.rfind(prefix + "CP2112SIM", 0) != 0) continue;
    const size_t underscore = name.find('_', prefix.size());
    const std::string serial = name.substr(prefix.size(), underscore == std::string::npos ? std::string::npos
                                                                                         : underscore - prefix.size());
    const std::string what = underscore == std::string::npos ? "" : name.substr(underscore + 1);
    bool known_board = false;
    for (const auto& board : boards) known_board = known_board || board->serial == serial;
    bool identity = false;
    for (const char* known : kIdentitySettings) identity = identity || what == known;
    bool known_bridge = false;
    for (const auto& board : boards) {
      for (const auto& own : board->own_serials) known_bridge = known_bridge || own == serial;
    }
    const char* problem = nullptr;
    if (identity) {
      if (!known_bridge) problem = "no bridge has that serial (KDSIM_BRIDGE: BOARDSIM0001, CP2112SIM0001)";
    } else if (boards.empty() || boards.front()->serial.empty()) {
      problem = "settings of one board need KDSIM_BRIDGES";
    } else if (!known_board) {
      problem = "KDSIM_BRIDGES has no board of that serial";
    } else if (!is_board_setting(what)) {
      problem = "not a setting of a board";
    }
    if (problem != nullptr) {
      std::fprintf(stderr, "%s: %s\n", name.c_str(), problem);
      return EXIT_BAD_INPUT;
    }
  }
  return 0;
}

// Two boards must not write the same output file.
int check_distinct_outputs(const std::vector<std::unique_ptr<Board>>& boards) {
  struct Output {
    const char* variable;
    std::string Settings::*path;
    bool cp2112_only;  // only a CP2112 writes its SMBus log
  };
  // Two fixtures on one control file would hold one module and both write
  // its flash file.
  const Output outputs[] = {{"KDSIM_FLASH_OUT", &Settings::flash_out, false},
                            {"KDSIM_TRACE", &Settings::trace, false},
                            {"KDSIM_CP2112_SMBUS_LOG", &Settings::smbus_log, true},
                            {"KDSIM_FIXTURE", &Settings::fixture, false}};
  for (size_t i = 0; i < boards.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      for (const Output& out : outputs) {
        const std::string& path = boards[i]->s.*out.path;
        if (path.empty() || path != boards[j]->s.*out.path) continue;
        if (out.cp2112_only && (boards[i]->cp2112 == nullptr || boards[j]->cp2112 == nullptr)) continue;
        std::fprintf(stderr, "%s: %s and %s would both write \"%s\" (%%s in the name stands for the serial)\n",
                     out.variable, boards[j]->serial.c_str(), boards[i]->serial.c_str(), path.c_str());
        return EXIT_BAD_INPUT;
      }
    }
  }
  return 0;
}

// The boards of the environment: one per KDSIM_BRIDGES bridge, or the one
// of KDSIM_BRIDGE. 0, or a message on stderr and the exit code.
int read_boards(std::vector<std::unique_ptr<Board>>& boards) {
  const char* list = std::getenv("KDSIM_BRIDGES");
  if (list == nullptr) {
    auto board = std::make_unique<Board>();
    g_board_serial.clear();
    if (const int code = read_bridge(board->s); code != 0) return code;
    if (const int code = read_settings(board->s); code != 0) return code;
    if (!board->s.fixture.empty()) {
      std::fprintf(stderr, "KDSIM_FIXTURE: a fixture needs KDSIM_BRIDGES (one bridge per fixture)\n");
      return EXIT_BAD_INPUT;
    }
    if (const int code = build_board(*board, board->s.custom, board->s.cp2112, KDSIM_CP2112_SERIAL); code != 0) {
      return code;
    }
    boards.push_back(std::move(board));
    return check_board_variables(boards);
  }
  if (std::getenv("KDSIM_BRIDGE") != nullptr) {
    std::fprintf(stderr, "KDSIM_BRIDGES: cannot be given together with KDSIM_BRIDGE (use one of them)\n");
    return EXIT_BAD_INPUT;
  }
  std::vector<std::string> kinds;
  if (const int code = read_bridge_list(list, kinds); code != 0) return code;
  int customs = 0;
  int cp2112s = 0;
  for (const std::string& kind : kinds) {
    auto board = std::make_unique<Board>();
    board->serial = board_serial(kind, kind == "custom" ? ++customs : ++cp2112s);
    g_board_serial = board->serial;
    const int code = read_settings(board->s);
    g_board_serial.clear();
    if (code != 0) return code;
    if (!board->s.fixture.empty() && (!board->s.flash_in.empty() || !board->s.flash_out.empty())) {
      std::fprintf(stderr, "%s: a board in a fixture has its flash in the module's file, not in %s\n",
                   board->s.fixture_variable.c_str(), board->s.flash_in.empty() ? "KDSIM_FLASH_OUT" : "KDSIM_FLASH_IN");
      return EXIT_BAD_INPUT;
    }
    if (const int code = build_board(*board, kind == "custom", kind == "cp2112", board->serial.c_str()); code != 0) {
      return code;
    }
    boards.push_back(std::move(board));
  }
  if (const int code = check_board_variables(boards); code != 0) return code;
  return check_distinct_outputs(boards);
}

}  // namespace

int kdsim_setup_from_environment(void) {
  std::vector<std::unique_ptr<Board>> boards;
  if (const int code = read_boards(boards); code != 0) return code;
  const bool single = boards.front()->serial.empty();
  if (single) {
    // The one board of KDSIM_BRIDGE takes its files at start.
    if (const int code = open_files(*boards.front()); code != 0) {
      close_files(*boards.front());
      return code;
    }
  } else {
    for (auto& board : boards) {
      Board* own = board.get();
      for (auto& bridge : board->bridges) bridge->before_first_transfer = [own] { open_files_on_first_transfer(*own); };
    }
  }

  hid_virtual_detach_all();
  for (const auto& board : boards) {
    for (const auto& bridge : board->bridges) hid_virtual_attach(bridge);
  }
  const bool first_setup = g_boards.empty();
  for (auto& board : g_boards) close_files(*board);
  g_boards = std::move(boards);
  if (first_setup) std::atexit(write_flash_at_exit);
  return 0;
}

int kdsim_start(void) {
  if (const int code = kdsim_setup_from_environment(); code != 0) return code;
  return hid_transport_start(&hid_transport_virtual);
}

void kdsim_leave_flash_files(void) { g_leave_flash_files = true; }
