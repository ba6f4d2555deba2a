// kdtool: lists bridges, shows the controller's information, hosts the
// diagnostic console and runs fwdownload's update, on the host's bridges or
// (--virtual) on the virtual hardware of fwdownload-sim.
//
// Exit codes as fwdownload's (app/entry.h): 0 done, 1 the operation failed,
// 2 bad command line or file, 3 no bridge (or not the one named).
#include "app/device_mode.h"
#include "app/entry.h"
#include "app/flash_commands.h"
#include "app/iap_update.h"
#include "app/kdtool.h"
#include "app/master.h"
#include "bridge/cp2112/sys_helpers.h"
#include "bridge/hidboard/usb_drv_qbm7750.h"
#include "console/util_console.h"
#include "diag/master_TCIP.h"
#include "platform/hid.h"
#include "platform/sleep.h"
#include "platform/terminal.h"
#include "sim_env.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

// An update run from a script has nobody to press a key: a controller that
// stops reporting ready ends it after this long (a 4 KiB unit takes well
// under a second).
constexpr uint32_t kUnattendedReadyLimitMs = 30000;

constexpr char kUsage[] =
    "Usage: kdtool [OPTIONS] list\n"
    "       kdtool [OPTIONS] info\n"
    "       kdtool [OPTIONS] diag\n"
    "       kdtool [OPTIONS] update IMAGE CORE_VER APP_VER PARA_VER [--verify]\n"
    "       kdtool [OPTIONS] dump FILE | program FILE | verify FILE [--at HEX] | erase\n"
    "       kdtool remove-device TEXT [--yes]\n"
    "\n"
    "  list     every bridge found, and whether it can be used\n"
    "  info     the controller's device and firmware information\n"
    "  diag     the diagnostic console (key x or Ctrl+C leaves; keys from stdin\n"
    "           byte by byte when it is not a terminal)\n"
    "  update   fwdownload's update, without its key waits; --verify checks the\n"
    "           written range before the reset request\n"
    "  dump     the whole 128 KiB flash into FILE (ISP mode, CP2112)\n"
    "  program  mass erase, then FILE from flash address 0 (ISP mode, CP2112)\n"
    "  verify   FILE against the flash from HEX (default 2000) through the IAP check\n"
    "  erase    the flash sector at 0x2000 (ISP mode, CP2112)\n"
    "  remove-device  removes from Windows the first device whose first hardware\n"
    "           ID contains TEXT (any case), after a question unless --yes\n"
    "\n"
    "Options:\n"
    "  --vid HEX --pid HEX     custom board identifiers (default 1209:7750)\n"
    "  --bridge custom|cp2112|any   which bridge kind (default any: custom first)\n"
    "  --path PATH             use exactly the bridge at PATH\n"
    "  --serial TEXT           use exactly the bridge with this serial\n"
    "  --addr HEX              7-bit controller address, 1 to 7F (default 34)\n"
    "  --virtual               the virtual hardware of fwdownload-sim (KDSIM_* settings)\n"
    "  --json                  list and info: one JSON document on stdout\n"
    "  --help, --version\n"
    "\n"
    "Exit codes: 0 done, 1 failed, 2 bad command line or file, 3 no bridge\n"
    "(or no CP2112 for dump, program and erase). remove-device: 1 when nothing\n"
    "was removed (not confirmed, no match, refused, or not available here).\n";

int bad_usage(const std::string& message) {
  std::fprintf(stderr, "kdtool: %s\nTry 'kdtool --help'.\n", message.c_str());
  return EXIT_BAD_INPUT;
}

// A whole-text hexadecimal number of 1 to `digits` digits, "0x" allowed.
bool parse_hex(const std::string& text, size_t digits, unsigned long* out) {
  std::string hex = text;
  if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex = hex.substr(2);
  if (hex.empty() || hex.size() > digits) return false;
  if (!std::all_of(hex.begin(), hex.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); })) {
    return false;
  }
  *out = std::strtoul(hex.c_str(), nullptr, 16);
  return true;
}

// Reads the command line into `options`; 0 or the exit code.
int parse(int argc, char** argv, KdtoolOptions& options) {
  bool only_operands = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (only_operands || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      if (options.command.empty()) {
        options.command = arg;
      } else {
        options.operands.push_back(arg);
      }
      continue;
    }
    if (arg == "--") {
      only_operands = true;
      continue;
    }
    if (arg == "--virtual" || arg == "--json") {
      (arg == "--json" ? options.json : options.virtual_hardware) = true;
      continue;
    }
    if (arg == "--verify" || arg == "--yes") {
      (arg == "--yes" ? options.yes : options.verify_after_write) = true;
      continue;
    }
    if (arg != "--vid" && arg != "--pid" && arg != "--bridge" && arg != "--path" && arg != "--serial" &&
        arg != "--addr" && arg != "--at") {
      return bad_usage("unknown option " + arg);
    }
    if (i + 1 >= argc) return bad_usage(arg + " needs a value");
    const std::string value = argv[++i];
    unsigned long number = 0;
    if (arg == "--vid" || arg == "--pid") {
      if (!parse_hex(value, 4, &number) || number == 0) {
        return bad_usage(arg + " " + value + ": expected a non-zero hex number of up to 4 digits");
      }
      (arg == "--vid" ? options.vid : options.pid) = static_cast<uint16_t>(number);
    } else if (arg == "--bridge") {
      if (value == "any") {
        options.bridge = BridgeChoice::kAny;
      } else if (value == "custom") {
        options.bridge = BridgeChoice::kCustom;
      } else if (value == "cp2112") {
        options.bridge = BridgeChoice::kCp2112;
      } else {
        return bad_usage("--bridge " + value + ": expected custom, cp2112 or any");
      }
    } else if (arg == "--addr") {
      if (!parse_hex(value, 8, &number) || number == 0 || number > 0x7F) {
        return bad_usage("--addr " + value + ": a 7-bit I2C address is 1 to 7F");
      }
      options.address = static_cast<uint8_t>(number);
    } else if (arg == "--at") {
      if (!parse_hex(value, 5, &number) || number >= 0x20000) {
        return bad_usage("--at " + value + ": a flash address is 0 to 1FFFF");
      }
      options.verify_at = static_cast<uint32_t>(number);
      options.verify_at_given = true;
    } else if (value.empty()) {
      return bad_usage(arg + " needs a value");
    } else {
      (arg == "--path" ? options.path : options.serial) = value;
    }
  }
  if (!options.path.empty() && !options.serial.empty()) return bad_usage("give --path or --serial, not both");
  if ((options.vid == 0) != (options.pid == 0)) return bad_usage("--vid and --pid go together");
  if (options.command.empty()) return bad_usage("no command given");
  const std::string& command = options.command;
  const bool update = command == "update";
  const bool with_file =
      command == "dump" || command == "program" || command == "verify" || command == "remove-device";
  if (command != "list" && command != "info" && command != "diag" && command != "erase" && !update && !with_file) {
    return bad_usage("unknown command " + command);
  }
  if (options.operands.size() != (update ? 4u : with_file ? 1u : 0u)) {
    return bad_usage(update ? "update takes IMAGE CORE_VER APP_VER PARA_VER"
                     : command == "remove-device" ? "remove-device takes one TEXT"
                     : with_file                  ? command + " takes one FILE"
                                 : command + " takes no operands");
  }
  if (options.verify_after_write && !update) return bad_usage("--verify is for update");
  if (options.verify_at_given && command != "verify") return bad_usage("--at is for verify");
  if (options.yes && command != "remove-device") return bad_usage("--yes is for remove-device");
  if (options.virtual_hardware && command == "remove-device") {
    return bad_usage("remove-device works on this computer's own devices, never on --virtual hardware");
  }
  if (options.json && options.command != "list" && options.command != "info") {
    return bad_usage("--json is for list and info");
  }
  return 0;
}

// While the bridge and the controller are worked on for --json, their
// console lines go to stderr: stdout carries the JSON document alone.
class ConsoleToStderr {
 public:
  explicit ConsoleToStderr(bool active) {
    if (!active) return;
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    if (saved_ >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
  }
  ~ConsoleToStderr() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  ConsoleToStderr(const ConsoleToStderr&) = delete;
  ConsoleToStderr& operator=(const ConsoleToStderr&) = delete;

 private:
  int saved_ = -1;
};

// Finds the bridge the options name; on failure says so on stderr.
bool select_bridge(const KdtoolOptions& options) {
  if (bridge_select(options.bridge) != BOARD_NONE) return true;
  target_shut_down();
  std::string wanted = options.bridge == BridgeChoice::kCustom   ? "custom board"
                       : options.bridge == BridgeChoice::kCp2112 ? "CP2112"
                                                                  : "bridge (custom board or CP2112)";
  if (!options.path.empty()) wanted += " at " + options.path;
  if (!options.serial.empty()) wanted += " with serial " + options.serial;
  std::fprintf(stderr, "kdtool: Device Not Found: no usable %s.\n", wanted.c_str());
  return false;
}

// A controller must answer before its information means anything: a failed
// read, or the idle bus (all ones) the custom board reads when nothing acks.
bool controller_answers(const KdtoolOptions& options) {
  uint8_t interface_block[10] = {};
  const bool read = i2c_read_from(0x0150, interface_block, sizeof interface_block) != 0;
  if (read && std::any_of(std::begin(interface_block), std::end(interface_block), [](uint8_t b) { return b != 0xFF; })) {
    return true;
  }
  std::fprintf(stderr, "kdtool: no answer from the touch controller at address 0x%02X.\n", options.address);
  return false;
}

int run_info(const KdtoolOptions& options) {
  std::string document;
  {
    const ConsoleToStderr quiet(options.json);
    if (!select_bridge(options)) return EXIT_NO_BRIDGE;
    target_bring_up();
    const bool answered = controller_answers(options);
    if (answered && options.json) {
      document = kdtool_info_json(options);
    } else if (answered) {
      g_master_init_quiet = true;
      master_init();
      Check_Firmware_Info();
    }
    target_shut_down();
    if (!answered) return EXIT_UPDATE_FAILED;
  }
  std::fputs(document.c_str(), stdout);
  return EXIT_UPDATED;
}

int run_diag(const KdtoolOptions& options) {
  if (!select_bridge(options)) return EXIT_NO_BRIDGE;
  target_bring_up();
  if (!controller_answers(options)) {
    target_shut_down();
    return EXIT_UPDATE_FAILED;
  }
  // Keys from a script: nobody can end a wait that never ends.
  if (!console_keys_from_terminal()) g_unattended_ready_limit_ms = kUnattendedReadyLimitMs;
  master_init();
  while (gloop != 0) {
    g_master_run_busy = false;
    master_run();
    if (gloop == 0) break;
    bool keyed = false;
    if (console_chk_input_history() != 0) {
      const int key = console_read_key();
      if (key < 0) break;  // end of input: a scripted session is over
      if (key <= 0xFF) master_packet_sender(static_cast<uint8_t>(key));  // an escape sequence does nothing
      keyed = true;
    }
    if (!keyed && !g_master_run_busy) platform_sleep_ms(1);
  }
  target_shut_down();
  return g_master_controller_lost ? EXIT_UPDATE_FAILED : EXIT_UPDATED;
}

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};

int run_update(const KdtoolOptions& options) {
  const std::string& image_path = options.operands[0];
  uint16_t* versions[] = {&img_core_ver, &img_app_ver, &img_para_ver};
  for (size_t i = 0; i < 3; ++i) {
    unsigned long word = 0;
    if (!parse_hex(options.operands[i + 1], 4, &word)) {
      return bad_usage("version " + options.operands[i + 1] + ": expected a hex number of up to 4 digits");
    }
    *versions[i] = static_cast<uint16_t>(word);
  }
  std::unique_ptr<FILE, FileCloser> image(std::fopen(image_path.c_str(), "rb"));
  if (!image) {
    std::fprintf(stderr, "kdtool: Image file open error: %s: %s\n", image_path.c_str(), std::strerror(errno));
    return EXIT_BAD_INPUT;
  }
  const ImageLoad loaded = load_image(image.get());
  if (loaded != ImageLoad::kLoaded) {
    std::fprintf(stderr, "kdtool: Image file %s error: %s (an image is exactly %u bytes)\n",
                 loaded == ImageLoad::kWrongSize ? "size" : "read", image_path.c_str(), IMAGE_SIZE);
    return EXIT_BAD_INPUT;
  }
  image.reset();

  print_console_app_message(1);
  if (!select_bridge(options)) {
    print_console_app_message(0);
    return EXIT_NO_BRIDGE;
  }
  target_bring_up();
  g_exit_key_waits = false;  // several updates may run at once from a script
  g_unattended_ready_limit_ms = kUnattendedReadyLimitMs;
  g_verify_after_write = options.verify_after_write;
  emulboard_cp2112_program_to_flash_using_iapmode_Customer();
  target_shut_down();
  print_console_app_message(0);
  return update_exit_code();
}

// dump, program, verify and erase. The ISP commands look for a CP2112 unless
// a bridge kind was named.
int run_flash_command(KdtoolOptions options) {
  const bool isp = options.command != "verify";
  if (isp && options.bridge == BridgeChoice::kAny) options.bridge = BridgeChoice::kCp2112;
  g_unattended_ready_limit_ms = kUnattendedReadyLimitMs;  // verify's waits: nobody is at the keyboard
  if (!select_bridge(options)) return EXIT_NO_BRIDGE;
  target_bring_up();
  const char* file = options.operands.empty() ? "" : options.operands[0].c_str();
  const int code = options.command == "dump"      ? kdtool_cmd_dump(file)
                   : options.command == "program" ? kdtool_cmd_program(file)
                   : options.command == "verify"  ? kdtool_cmd_verify(file, options.verify_at)
                                                  : kdtool_cmd_erase();
  target_shut_down();
  return code;
}

// remove-device: the device removal of the system helpers, behind a
// question. The text is checked first on every system, so a script learns
// of a bad text wherever it runs.
int run_remove_device(const KdtoolOptions& options) {
  const std::string& text = options.operands[0];
  std::string pattern;
  if (!sys_removal_pattern(text.c_str(), &pattern)) {
    return bad_usage(text.empty() ? "remove-device: an empty TEXT would match the first device of the system"
                                  : "remove-device: TEXT is longer than " + std::to_string(SYS_PATTERN_MAX) +
                                        " characters");
  }
  if (!options.yes) {
    std::printf("Remove from the system the first device whose first hardware ID contains \"%s\"? [yes/no] ",
                text.c_str());
    std::fflush(stdout);
    char answer[16] = {};
    const bool read = std::fgets(answer, sizeof answer, stdin) != nullptr;
    std::string word = read ? answer : "";
    while (!word.empty() && (word.back() == '\n' || word.back() == '\r' || word.back() == ' ')) word.pop_back();
    std::transform(word.begin(), word.end(), word.begin(), [](unsigned char c) { return std::tolower(c); });
    if (!read) std::putchar('\n');
    if (word != "yes" && word != "y") {
      std::puts("Nothing removed.");
      return EXIT_UPDATE_FAILED;
    }
  }
  if (ZQ_RemoveDevice(text.c_str()) == 1) {
    std::printf("Removed the first device whose first hardware ID contains \"%s\".\n", text.c_str());
    return EXIT_UPDATED;
  }
  // Elsewhere the helper has said that it is not available.
  if (sys_helpers_available()) {
    std::printf("Nothing removed: no device's first hardware ID contains \"%s\", or the system refused "
                "the removal (it needs administrator rights).\n",
                text.c_str());
  }
  return EXIT_UPDATE_FAILED;
}

}  // namespace

int main(int argc, char** argv) {
  terminal_startup();
  KdtoolOptions options;
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return EXIT_UPDATED;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("kdtool %s\n", KDTOOL_VERSION);
      return EXIT_UPDATED;
    }
    if (std::strcmp(argv[i], "--json") == 0) options.json = true;
    if (std::strcmp(argv[i], "--virtual") == 0) options.virtual_hardware = true;
  }
  // Before anything else, so a virtual run is never taken for a real one.
  if (options.virtual_hardware) {
    std::fputs("kdtool: VIRTUAL hardware (KDSIM_* settings): no real bridge or controller is used.\n",
               options.json ? stderr : stdout);
  }
  if (const int code = parse(argc, argv, options); code != 0) return code;

  if (options.command == "remove-device") return run_remove_device(options);

  img_vid = options.vid != 0 ? options.vid : QBM7750_FALLBACK_VID;
  img_pid = options.pid != 0 ? options.pid : QBM7750_FALLBACK_PID;
  g_slave_addr = options.address;
  if (!terminal_catch_ctrl_c(signal_handler)) return -1;
  {
    const ConsoleToStderr quiet(options.json);
    const int code = options.virtual_hardware ? kdsim_start() : hid_transport_start(&hid_transport_system);
    if (code != 0) return code;
  }
  hid_transport_restrict(options.path, options.serial);

  if (options.command == "list") return kdtool_list(options);
  if (options.command == "info") return run_info(options);
  if (options.command == "diag") return run_diag(options);
  if (options.command == "update") return run_update(options);
  return run_flash_command(options);
}
