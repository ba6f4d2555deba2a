// kdtool: lists bridges, shows the controller's information, hosts the
// diagnostic console and runs fwdownload's update, on the host's bridges or
// (--virtual) on the virtual hardware of fwdownload-sim.
//
// Exit codes as fwdownload's (app/entry.h): 0 done, 1 the operation failed,
// 2 bad command line or file, 3 no bridge (or not the one named).
#include "app/device_mode.h"
#include "app/entry.h"
#include "app/iap_update.h"
#include "app/kdtool.h"
#include "app/master.h"
#include "bridge/hidboard/usb_drv_qbm7750.h"
#include "console/util_console.h"
#include "diag/master_TCIP.h"
#include "platform/hid.h"
#include "platform/sleep.h"
#include "sim_env.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr char kUsage[] =
    "Usage: kdtool [OPTIONS] list\n"
    "       kdtool [OPTIONS] info\n"
    "       kdtool [OPTIONS] diag\n"
    "       kdtool [OPTIONS] update IMAGE CORE_VER APP_VER PARA_VER\n"
    "\n"
    "  list     every bridge found, and whether it can be used\n"
    "  info     the controller's device and firmware information\n"
    "  diag     the diagnostic console (key x or Ctrl+C leaves; keys from stdin\n"
    "           byte by byte when it is not a terminal)\n"
    "  update   fwdownload's update, without its key waits\n"
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
    "Exit codes: 0 done, 1 failed, 2 bad command line or file, 3 no bridge.\n";

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
    if (arg != "--vid" && arg != "--pid" && arg != "--bridge" && arg != "--path" && arg != "--serial" &&
        arg != "--addr") {
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
    } else if (value.empty()) {
      return bad_usage(arg + " needs a value");
    } else {
      (arg == "--path" ? options.path : options.serial) = value;
    }
  }
  if (!options.path.empty() && !options.serial.empty()) return bad_usage("give --path or --serial, not both");
  if ((options.vid == 0) != (options.pid == 0)) return bad_usage("--vid and --pid go together");
  if (options.command.empty()) return bad_usage("no command given");
  const bool update = options.command == "update";
  if (options.command != "list" && options.command != "info" && options.command != "diag" && !update) {
    return bad_usage("unknown command " + options.command);
  }
  if (options.operands.size() != (update ? 4u : 0u)) {
    return bad_usage(update ? "update takes IMAGE CORE_VER APP_VER PARA_VER" : options.command + " takes no operands");
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
  master_init();
  while (gloop != 0) {
    g_master_run_busy = false;
    master_run();
    if (gloop == 0) break;
    bool keyed = false;
    if (console_chk_input_history() != 0) {
      const int key = console_read_key();
      if (key < 0) break;  // end of input: a scripted session is over
      master_packet_sender(static_cast<uint8_t>(key));
      keyed = true;
    }
    if (!keyed && !g_master_run_busy) platform_sleep_ms(1);
  }
  target_shut_down();
  return EXIT_UPDATED;
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
  emulboard_cp2112_program_to_flash_using_iapmode_Customer();
  target_shut_down();
  print_console_app_message(0);
  return update_exit_code();
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
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

  img_vid = options.vid != 0 ? options.vid : QBM7750_FALLBACK_VID;
  img_pid = options.pid != 0 ? options.pid : QBM7750_FALLBACK_PID;
  g_slave_addr = options.address;
  if (std::signal(SIGINT, signal_handler) == SIG_ERR) return -1;
  {
    const ConsoleToStderr quiet(options.json);
    const int code = options.virtual_hardware ? kdsim_start() : hid_transport_start(&hid_transport_system);
    if (code != 0) return code;
  }
  hid_transport_restrict(options.path, options.serial);

  if (options.command == "list") return kdtool_list(options);
  if (options.command == "info") return run_info(options);
  if (options.command == "diag") return run_diag(options);
  return run_update(options);
}
