// kdtool: lists bridges, shows the controller's information, hosts the
// diagnostic console, and runs the update and the flash commands, on the
// host's bridges or (--virtual) on the virtual hardware of fwdownload-sim.
//
// Exit codes as fwdownload's (app/entry.h): 0 done, 1 the operation failed,
// 2 bad command line or file, 3 no bridge (or not the one named).
#include "app/device_mode.h"
#include "app/entry.h"
#include "kdtool/kdtool.h"
#include "kdtool/all.h"
#include "kdtool/json.h"
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

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr char kSynopsis[] =
    "kdtool: the bench tool of the Pelmoranth FW Download Application\n"
    "\n"
    "  kdtool [OPTIONS] list | info | diag\n"
    "  kdtool [OPTIONS] update IMAGE CORE_VER APP_VER PARA_VER [--verify] [--force]\n"
    "  kdtool [OPTIONS] dump FILE [--at HEX] [--length HEX] [--reset]\n"
    "  kdtool [OPTIONS] program FILE [--reset] | verify FILE [--at HEX] [--keep-going] | erase [--reset]\n"
    "  kdtool [OPTIONS] reset\n"
    "  kdtool [OPTIONS] update|verify|info|reset --all [--log-dir DIR] ...   every usable bridge at once\n"
    "  kdtool remove-device TEXT [--yes]\n"
    "\n"
    "IMAGE, FILE: an Intel HEX file (named .hex, .ihx or .ihex, or starting with ':'),\n"
    "else a raw binary; --raw takes any file as raw.\n"
    "Options go before or after the command; COMMAND --help tells more.";

constexpr char kExitCodes[] =
    "Exit codes: 0 done, 1 failed, 2 bad command line or file, 3 no bridge\n"
    "(or no CP2112 for dump, program and erase). remove-device: 1 when nothing\n"
    "was removed (not confirmed, no match, refused, or not available here).";

bool g_json_failures = false;  // --json anywhere on the command line

int bad_usage(const std::string& message) {
  std::fprintf(stderr, "kdtool: %s\nTry 'kdtool --help'.\n", safe_text(message).c_str());
  if (g_json_failures) kdtool_json_failure(EXIT_BAD_INPUT, message);
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

// A release version as info prints it, "MM.mm" (two hex digits each), or
// as one hex number of up to 4 digits.
bool parse_version(const std::string& text, uint16_t* out) {
  unsigned long number = 0;
  const size_t dot = text.find('.');
  if (dot == std::string::npos) {
    if (!parse_hex(text, 4, &number)) return false;
    *out = static_cast<uint16_t>(number);
    return true;
  }
  const std::string major = text.substr(0, dot), minor = text.substr(dot + 1);
  unsigned long high = 0, low = 0;
  if (major.size() != 2 || minor.size() != 2 || !parse_hex(major, 2, &high) || !parse_hex(minor, 2, &low)) return false;
  *out = static_cast<uint16_t>(high << 8 | low);
  return true;
}

// The texts of the options with values, checked after CLI11 has read them.
struct RawOptions {
  std::string vid, pid, bridge, addr, at, length;
  std::vector<std::string> versions;
};

// The value checks and the rules across options; 0 or the exit code.
int check(const RawOptions& raw, const CLI::App& app, KdtoolOptions& options) {
  unsigned long number = 0;
  for (const auto& [name, text, field] : {std::tuple{"--vid", &raw.vid, &options.vid}, {"--pid", &raw.pid, &options.pid}}) {
    if (app.count(name) == 0) continue;
    if (!parse_hex(*text, 4, &number) || number == 0) {
      return bad_usage(std::string(name) + " " + *text + ": expected a non-zero hex number of up to 4 digits");
    }
    *field = static_cast<uint16_t>(number);
  }
  if (app.count("--bridge") != 0) {
    std::string kind = raw.bridge;  // in any case: CP2112 as the chip is named
    std::transform(kind.begin(), kind.end(), kind.begin(), [](unsigned char c) { return std::tolower(c); });
    if (kind == "any") {
      options.bridge = BridgeChoice::kAny;
    } else if (kind == "custom") {
      options.bridge = BridgeChoice::kCustom;
    } else if (kind == "cp2112") {
      options.bridge = BridgeChoice::kCp2112;
    } else {
      return bad_usage("--bridge " + raw.bridge + ": expected custom, cp2112 or any");
    }
  }
  if (app.count("--addr") != 0) {
    if (!parse_hex(raw.addr, 8, &number) || number == 0 || number > 0x7F) {
      return bad_usage("--addr " + raw.addr + ": a 7-bit I2C address is 1 to 7F");
    }
    options.address = static_cast<uint8_t>(number);
  }
  if ((app.count("--path") != 0 && options.path.empty()) || (app.count("--serial") != 0 && options.serial.empty())) {
    return bad_usage(app.count("--path") != 0 && options.path.empty() ? "--path needs a value" : "--serial needs a value");
  }
  if (!options.path.empty() && !options.serial.empty()) return bad_usage("give --path or --serial, not both");
  if ((options.vid == 0) != (options.pid == 0)) return bad_usage("--vid and --pid go together");
  if (options.command.empty()) return bad_usage("no command given");

  const bool dump = options.command == "dump";
  if (options.at_given) {
    if (!parse_hex(raw.at, 5, &number) || number >= 0x20000 || (dump && number % 4 != 0)) {
      return bad_usage("--at " + raw.at + (dump ? ": a flash address is a multiple of 4 from 0 to 1FFFC"
                                                : ": a flash address is 0 to 1FFFF"));
    }
    options.at = static_cast<uint32_t>(number);
  }
  if (options.length_given) {
    if (!parse_hex(raw.length, 5, &number) || number == 0 || number % 4 != 0 || number > 0x20000) {
      return bad_usage("--length " + raw.length + ": a length is a multiple of 4 from 4 to 20000");
    }
    options.length = static_cast<uint32_t>(number);
  }
  if (dump) {
    if (!options.length_given) options.length = 0x20000 - options.at;
    if (options.at + options.length > 0x20000) {
      return bad_usage("--at " + raw.at + " --length " + raw.length + ": runs past the end of the flash (20000)");
    }
  }
  if (options.command == "update") {
    uint16_t* versions[] = {&img_core_ver, &img_app_ver, &img_para_ver};
    const char* names[] = {"CORE_VER", "APP_VER", "PARA_VER"};
    for (size_t i = 0; i < 3; ++i) {
      if (!parse_version(raw.versions[i], versions[i])) {
        return bad_usage(std::string(names[i]) + ": " + raw.versions[i] +
                         ": expected a version as info prints it (01.02) or as hex (0102)");
      }
    }
  }
  if (options.quiet && options.verbose) return bad_usage("give -q/--quiet or -v/--verbose, not both");
  if (options.virtual_hardware && options.command == "remove-device") {
    return bad_usage("remove-device works on this computer's own devices, never on --virtual hardware");
  }
  if (options.json && options.command == "diag") {
    return bad_usage("diag --json: the console is read by a person, not by a program");
  }
  return 0;
}

// What the help shows: values by what they are rather than by their C++
// type, operands by their name alone, and under each command the global
// options that apply to it (they may stand before or after the command).
void finish_help(CLI::App& app) {
  static const std::map<std::string, std::string> kValueNames = {
      {"vid", "VID"},  {"pid", "PID"}, {"bridge", "KIND"}, {"path", "PATH"},     {"serial", "SERIAL"},
      {"addr", "HEX"}, {"at", "HEX"},  {"length", "HEX"},  {"log-dir", "DIR"}};
  static const std::map<std::string, std::vector<std::string>> kNotFor = {
      {"list", {"--addr"}},
      {"diag", {"--json"}},
      {"remove-device", {"--vid", "--pid", "--bridge", "--path", "--serial", "--addr", "--virtual", "--no-color"}}};
  std::vector<CLI::App*> apps = app.get_subcommands([](CLI::App*) { return true; });
  apps.push_back(&app);
  for (CLI::App* command : apps) {
    for (CLI::Option* option : command->get_options()) {
      if (!option->nonpositional()) {
        option->type_name("");
      } else if (!option->get_lnames().empty() && kValueNames.count(option->get_lnames()[0]) != 0) {
        option->type_name(kValueNames.at(option->get_lnames()[0]));
      }
    }
  }
  apps.pop_back();
  for (CLI::App* command : apps) {
    const auto excluded = kNotFor.find(command->get_name());
    const CLI::App& top = app;
    const std::vector<const CLI::Option*> global = top.get_options([&](const CLI::Option* option) {
      const std::string name = option->get_name();
      return option != app.get_help_ptr() && option != app.get_version_ptr() &&
             (excluded == kNotFor.end() ||
              std::find(excluded->second.begin(), excluded->second.end(), name) == excluded->second.end());
    });
    if (global.empty()) continue;
    const std::string group = CLI::Formatter().make_group("Global options (before or after the command)", false, global);
    command->footer(group.substr(1) + "\n" + kExitCodes);
  }
}

// Reads the command line into `options`; 0, or the exit code (help and
// version end with 0).
int parse(int argc, char** argv, KdtoolOptions& options) {
  CLI::App app{kSynopsis, "kdtool"};
  app.footer(kExitCodes);
  app.set_version_flag("-V,--version", std::string("kdtool ") + KDTOOL_VERSION);
  app.fallthrough();  // the global options also after the command
  RawOptions raw;
  app.add_option("--vid", raw.vid, "custom board vendor ID, hex (default 1209; with --pid)");
  app.add_option("--pid", raw.pid, "custom board product ID, hex (default 7750; with --vid)");
  app.add_option("--bridge", raw.bridge, "custom, cp2112 or any (default any: custom first)");
  app.add_option("--path", options.path, "use exactly the bridge at PATH (as list shows it)");
  app.add_option("--serial", options.serial, "use exactly the bridge with this serial");
  app.add_option("--addr", raw.addr, "7-bit controller address, hex, 1 to 7F (default 34)");
  app.add_flag("--virtual", options.virtual_hardware, "the virtual hardware of fwdownload-sim (KDSIM_* settings)");
  app.add_flag("--json", options.json, "JSON on stdout: one document (list, info) or JSON Lines");
  app.add_flag("--no-color", options.no_color, "no colours and no live progress line (also NO_COLOR, TERM=dumb)");
  app.add_flag("-q,--quiet", options.quiet, "only the verdict line (and what to do next) on stdout; errors on stderr");
  app.add_flag("-v,--verbose", options.verbose, "also the bridge's trace (frames, retries, status polls) on stderr");

  app.add_subcommand("list", "every bridge found, and whether it can be used");
  app.add_subcommand("info", "the controller's device and firmware information");
  app.add_subcommand("diag", "the diagnostic console (key x or Ctrl+C leaves; keys from stdin byte by byte "
                             "when it is not a terminal)");
  CLI::App* update = app.add_subcommand("update", "fwdownload's update without its key waits");
  raw.versions.resize(3);
  std::string image;
  update->add_option("IMAGE", image, "0x1C000-byte image, or a HEX file within 4000..1FFFF")->required();
  update->add_option("CORE_VER", raw.versions[0], "release versions, as info prints them (01.02) or hex (0102)")
      ->required();
  update->add_option("APP_VER", raw.versions[1])->required();
  update->add_option("PARA_VER", raw.versions[2])->required();
  update->add_flag("--verify", options.verify_after_write, "verify the written range before the reset request");
  update->add_flag("--force", options.force, "write even when the controller has the release versions");
  std::string file;
  CLI::App* dump = app.add_subcommand("dump", "flash into FILE (ISP mode, CP2112)");
  dump->add_option("FILE", file, "the file to write")->required();
  dump->add_option("--at", raw.at, "first flash address, hex, word-aligned (default 0)");
  dump->add_option("--length", raw.length, "bytes, hex, word-aligned (default up to the end, 20000)");
  CLI::App* program = app.add_subcommand("program", "mass erase, then FILE from flash address 0 (ISP mode, CP2112)");
  program->add_option("FILE", file, "raw binary from address 0, or a HEX file within 0..1FFFF")->required();
  CLI::App* verify = app.add_subcommand("verify", "FILE against the flash through the IAP check");
  verify->add_option("FILE", file, "raw binary, or a HEX file (checked from its lowest address)")->required();
  verify->add_option("--at", raw.at, "flash address of the file's first byte, hex (default 2000)");
  verify->add_flag("--keep-going", options.keep_going, "check every unit, past the first mismatch, and list each one");
  for (CLI::App* command : {update, program, verify}) {
    command->add_flag("--raw", options.raw, "the file is a raw image, even when it is named or looks like HEX or text");
  }
  CLI::App* erase = app.add_subcommand("erase", "the flash sector at 0x2000 (ISP mode, CP2112)");
  for (CLI::App* command : {dump, program, erase}) {
    command->add_flag("--reset", options.reset_after, "reset the controller at the end (it leaves ISP mode)");
  }
  app.add_subcommand("reset", "power-cycles the controller (CP2112; the custom board: its reset request), "
                              "waits for it and shows its versions");
  CLI::App* remove = app.add_subcommand("remove-device", "removes from Windows the first device whose first "
                                                          "hardware ID contains TEXT (any case), after a question");
  std::string text;
  remove->add_option("TEXT", text, "part of the hardware ID")->required();
  remove->add_flag("--yes", options.yes, "ask no question");
  for (const char* name : {"update", "verify", "info", "reset"}) kdtool_all_add_options(app.get_subcommand(name));
  app.require_subcommand(0, 1);
  app.allow_extras();  // told apart below: unknown options, commands and operands
  finish_help(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return -1;
  } catch (const CLI::CallForAllHelp&) {
    std::fputs(app.help("", CLI::AppFormatMode::All).c_str(), stdout);
    return -1;
  } catch (const CLI::CallForVersion& e) {
    std::printf("%s\n", e.what());
    return -1;
  } catch (const CLI::ParseError& e) {
    // A command's own --help arrives here as CallForHelp from the command.
    if (e.get_exit_code() == 0) {
      for (CLI::App* sub : app.get_subcommands()) std::fputs(sub->help().c_str(), stdout);
      return -1;
    }
    std::string message = e.what();
    message.erase(std::remove(message.begin(), message.end(), '\n'), message.end());
    return bad_usage(message);
  }
  for (CLI::App* sub : app.get_subcommands()) options.command = sub->get_name();
  std::vector<std::string> extras = app.remaining();
  for (CLI::App* sub : app.get_subcommands()) {
    const std::vector<std::string> more = sub->remaining();
    extras.insert(extras.end(), more.begin(), more.end());
  }
  // "--" ends the options (update -- -image.bin ...): itself no operand.
  extras.erase(std::remove(extras.begin(), extras.end(), "--"), extras.end());
  if (!extras.empty()) {
    const std::string& first = extras.front();
    if (first.size() > 1 && first[0] == '-') return bad_usage("unknown option " + first);
    if (options.command.empty()) return bad_usage("unknown command " + first);
    return bad_usage(options.command + ": unexpected operand " + first);
  }
  if (options.command == "update") options.operands = {image};
  if (options.command == "dump" || options.command == "program" || options.command == "verify") options.operands = {file};
  if (options.command == "remove-device") options.operands = {text};
  options.at_given = dump->count("--at") + verify->count("--at") != 0;
  options.length_given = dump->count("--length") != 0;
  if (options.command == "verify" && !options.at_given) options.at = 0x2000;
  if (options.no_color) terminal_no_colour();
  return check(raw, app, options);
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
    return bad_usage(text.empty() ? "remove-device: an empty TEXT would match the first device of the system"
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
    std::fprintf(stderr, "%s\n\n%s\nkdtool --help tells more.\n", kSynopsis, kExitCodes);
    return EXIT_BAD_INPUT;
  }
  bool virtual_hardware = false;
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) g_json_failures = true;
    if (std::strcmp(argv[i], "--virtual") == 0) virtual_hardware = true;
  }
  // Before anything else, so a virtual run is never taken for a real one.
  if (virtual_hardware) {
    std::fputs("kdtool: VIRTUAL hardware (KDSIM_* settings): no real bridge or controller is used.\n",
               g_json_failures ? stderr : stdout);
  }
  if (const int code = parse(argc, argv, options); code != 0) return code < 0 ? EXIT_UPDATED : code;
  if (options.verbose) emul_debug_to_stderr();
  if (kdtool_all_requested()) return kdtool_all_run(options, argc, argv);

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
