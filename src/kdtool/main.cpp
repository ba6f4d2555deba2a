// kdtool: lists bridges, shows the controller's information, hosts the
// diagnostic console, and runs the update and the flash commands, on the
// host's bridges or (--virtual) on the virtual hardware of fwdownload-sim.
//
// Exit codes as fwdownload's (app/entry.h): 0 done, 1 the operation failed,
// 2 bad command line or file, 3 no bridge (or not the one named).
//
// This file: main, the bridge selection, and the info, diag and
// remove-device runs; options.cpp reads the command line.
#include "app/device_mode.h"
#include "app/entry.h"
#include "kdtool/kdtool.h"
#include "kdtool/all.h"
#include "kdtool/json.h"
#include "kdtool/options.h"
#include "kdtool/station.h"
#include "app/master.h"
#include "app/run_outcome.h"
#include "bridge/cp2112/sys_helpers.h"
#include "bridge/hidboard/usb_drv_qbm7750.h"
#include "console/log.h"
#include "console/safe_text.h"
#include "console/util_console.h"
#include "diag/master_TCIP.h"
#include "platform/file_open.h"
#include "platform/hid.h"
#include "platform/sleep.h"
#include "platform/terminal.h"
#include "sim_env.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

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

}  // namespace

bool kdtool_select_bridge(const KdtoolOptions& options) {
  if (bridge_select(options.bridge) != BOARD_NONE) return true;
  target_shut_down();
  // What is there, whatever --path or --serial asked for.
  hid_transport_restrict("", "");
  const std::vector<KdtoolSeenBridge> seen = kdtool_seen_bridges(options);
  const bool isp = options.command == "dump" || options.command == "program" || options.command == "erase";
  const std::string& named = !options.serial.empty() ? options.serial : options.path;
  const auto is_named = [&](const KdtoolSeenBridge& b) {
    return !named.empty() && (b.serial == options.serial || b.path == options.path);
  };
  const auto custom_named = std::find_if(seen.begin(), seen.end(), [&](const KdtoolSeenBridge& b) {
    return is_named(b) && b.kind == "custom";
  });
  // The one named is there, but of the wrong kind: nothing else to find.
  const bool wrong_kind = isp && options.bridge == BridgeChoice::kCp2112 && custom_named != seen.end();
  if (wrong_kind) {
    run_reason_set("%s is a custom board; %s needs a CP2112", named.c_str(), options.command.c_str());
    std::fprintf(stderr, "kdtool: %s.\n", safe_text(run_reason()).c_str());
  } else {
    std::string wanted = options.bridge == BridgeChoice::kCustom   ? "custom board"
                         : options.bridge == BridgeChoice::kCp2112 ? "CP2112"
                                                                    : "bridge (custom board or CP2112)";
    if (!options.path.empty()) wanted += " at " + options.path;
    if (!options.serial.empty()) wanted += " with serial " + options.serial;
    std::fprintf(stderr, "kdtool: Device Not Found: no usable %s.\n", safe_text(wanted).c_str());
  }
  if (seen.empty()) std::fputs("kdtool: no bridge of either kind was seen.\n", stderr);
  bool in_use = false;
  for (const KdtoolSeenBridge& b : seen) {
    std::fprintf(stderr, "kdtool: seen: %s %s at %s: %s\n", b.kind.c_str(),
                 b.serial.empty() ? "(no serial)" : safe_text(b.serial).c_str(), safe_text(b.path).c_str(),
                 b.problem.empty() ? "usable" : safe_text(b.problem).c_str());
    if (b.problem.find("in use") != std::string::npos && (named.empty() || is_named(b))) in_use = true;
  }
  const RunReasonClass reason_class = in_use ? RUN_CLASS_IN_USE : RUN_CLASS_NO_BRIDGE;
  if (!wrong_kind) {
    run_reason_set_class(reason_class, "no usable bridge");
    std::fprintf(stderr, "Hint: %s\n", run_reason_hint(reason_class));
  }
  return false;
}

namespace {

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

// Information is only worth showing whole: any read that failed or read the
// idle bus fails the run, named by the first such block (its "Cannot read"
// line, or null in the document, shows where).
int run_info(const KdtoolOptions& options) {
  std::string document;
  std::string reason;
  int code = EXIT_UPDATED;
  run_reason_clear();
  {
    const ConsoleToStderr quiet(options.json);
    if (!kdtool_select_bridge(options)) {
      code = EXIT_NO_BRIDGE;
      reason = "no usable bridge";
    } else {
      target_bring_up();
      if (!controller_answers(options)) {
        code = EXIT_UPDATE_FAILED;
        reason = "the controller does not answer";
        run_reason_set_class(RUN_CLASS_NO_CONTROLLER, "%s", reason.c_str());
      } else {
        if (options.json) {
          document = kdtool_info_json(options);
        } else {
          g_master_init_quiet = true;
          master_init();
          Check_Firmware_Info();
        }
        if (hid_transport_lost() || !run_reason().empty()) {
          code = EXIT_UPDATE_FAILED;
          reason = hid_transport_lost() ? RUN_BRIDGE_UNPLUGGED : run_reason();
        }
      }
      target_shut_down();
    }
  }
  const char* hint = code != EXIT_UPDATED ? run_reason_hint(run_reason_class()) : nullptr;
  if (code == EXIT_UPDATE_FAILED) {
    std::fprintf(options.json ? stderr : stdout, "Info FAILED: %s\n", reason.c_str());
    if (hint != nullptr) std::fprintf(options.json ? stderr : stdout, "Hint: %s\n", hint);
  }
  std::fputs(document.c_str(), stdout);
  if (code != EXIT_UPDATED && options.json) kdtool_json_failure(code, reason, hint != nullptr ? hint : "");
  return code;
}

int run_diag(const KdtoolOptions& options) {
  if (!kdtool_select_bridge(options)) return EXIT_NO_BRIDGE;
  target_bring_up();
  if (!controller_answers(options)) {
    target_shut_down();
    return EXIT_UPDATE_FAILED;
  }
  // Keys from a script: nobody can end a wait that never ends.
  if (!console_keys_from_terminal()) g_unattended_ready_limit_ms = KDTOOL_UNATTENDED_READY_LIMIT_MS;
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

// Asks, removes and says what happened; the exit code, the reason when
// nothing was removed.
int remove_device(const KdtoolOptions& options, std::string* reason) {
  const std::string& text = options.operands[0];
  if (!options.yes) {
    std::printf("Remove from the system the first device whose first hardware ID contains \"%s\"? [yes/no] ",
                safe_text(text).c_str());
    std::fflush(stdout);
    char answer[16] = {};
    const bool read = std::fgets(answer, sizeof answer, stdin) != nullptr;
    std::string word = read ? answer : "";
    while (!word.empty() && (word.back() == '\n' || word.back() == '\r' || word.back() == ' ')) word.pop_back();
    std::transform(word.begin(), word.end(), word.begin(), [](unsigned char c) { return std::tolower(c); });
    if (!read) std::putchar('\n');
    if (word != "yes" && word != "y") {
      std::puts("Nothing removed.");
      *reason = "not confirmed: nothing removed";
      return EXIT_UPDATE_FAILED;
    }
  }
  if (ZQ_RemoveDevice(text.c_str()) == 1) {
    std::printf("Removed the first device whose first hardware ID contains \"%s\".\n", safe_text(text).c_str());
    return EXIT_UPDATED;
  }
  // Elsewhere the helper has said that it is not available.
  if (sys_helpers_available()) {
    std::printf("Nothing removed: no device's first hardware ID contains \"%s\", or the system refused "
                "the removal (it needs administrator rights).\n",
                safe_text(text).c_str());
    *reason = "nothing removed: no device matches, or the system refused the removal";
  } else {
    *reason = "removing a device is not available on this system";
  }
  return EXIT_UPDATE_FAILED;
}

// remove-device: the device removal of the system helpers, behind a
// question. The text is checked first on every system, so a script learns
// of a bad text wherever it runs.
//
// With --json the question and the lines go to stderr, and stdout gets the
// end object alone.
int run_remove_device(const KdtoolOptions& options) {
  const std::string& text = options.operands[0];
  std::string pattern;
  if (!sys_removal_pattern(text.c_str(), &pattern)) {
    return kdtool_bad_usage(text.empty() ? "remove-device: an empty TEXT would match the first device of the system"
                                  : "remove-device: TEXT is longer than " + std::to_string(SYS_PATTERN_MAX) +
                                        " characters");
  }
  std::string reason;
  int code = EXIT_UPDATE_FAILED;
  {
    const ConsoleToStderr quiet(options.json);
    code = remove_device(options, &reason);
  }
  if (options.json) {
    std::printf("%s\n", kdtool_json_text(kdtool_json_end(code == EXIT_UPDATED, code, reason,
                                                         kdtool_json_elapsed_since_start()))
                            .c_str());
  }
  return code;
}


}  // namespace

int main(int argc, char** argv) {
  argv = platform_utf8_argv(&argc, argv);
  terminal_startup();
  KdtoolOptions options;
  if (argc <= 1) {
    std::fprintf(stderr, "%s\n\n%s\nkdtool --help tells more.\n", KDTOOL_SYNOPSIS, KDTOOL_EXIT_CODES);
    return EXIT_BAD_INPUT;
  }
  bool virtual_hardware = false;
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) kdtool_json_failures = true;
    if (std::strcmp(argv[i], "--virtual") == 0) virtual_hardware = true;
  }
  // Before anything else, so a virtual run is never taken for a real one.
  if (virtual_hardware) {
    std::fputs("kdtool: VIRTUAL hardware (KDSIM_* settings): no real bridge or controller is used.\n",
               kdtool_json_failures ? stderr : stdout);
  }
  if (const int code = kdtool_parse(argc, argv, options); code != 0) return code < 0 ? EXIT_UPDATED : code;
  if (options.verbose) emul_debug_to_stderr();
  if (kdtool_all_requested()) return kdtool_all_run(options, argc, argv);
  if (options.command == "station") {
    img_vid = options.vid != 0 ? options.vid : QBM7750_FALLBACK_VID;
    img_pid = options.pid != 0 ? options.pid : QBM7750_FALLBACK_PID;
    g_slave_addr = options.address;
    return kdtool_station_run(options, argc, argv);
  }

  if (options.command == "remove-device") return run_remove_device(options);

  img_vid = options.vid != 0 ? options.vid : QBM7750_FALLBACK_VID;
  img_pid = options.pid != 0 ? options.pid : QBM7750_FALLBACK_PID;
  g_slave_addr = options.address;
  if (!terminal_catch_ctrl_c(signal_handler)) return -1;
  int started = 0;
  {
    const ConsoleToStderr quiet(options.json);
    started = options.virtual_hardware ? kdsim_start() : hid_transport_start(&hid_transport_system);
  }
  if (started != 0) {
    if (options.json) kdtool_json_failure(started, "the HID transport could not be started (see above)");
    return started;
  }
  hid_transport_restrict(options.path, options.serial);

  if (options.command == "list") return kdtool_list(options);
  if (options.command == "info") return run_info(options);
  if (options.command == "diag") return run_diag(options);
  // A flash operation is not cut in half by a reader that goes away, nor by
  // the end of the kdtool --all that started it.
  terminal_keep_running_without_reader();
  if (const char* parent = std::getenv(KDTOOL_ALL_PARENT)) terminal_stop_with_parent(std::atol(parent));
  return kdtool_run_operation(options);
}
