// kdtool's command line: the command table and the options (the CLI11
// set-up), their parsing and checks, and the help text.
#include "kdtool/options.h"

#include "app/entry.h"
#include "kdtool/all.h"
#include "kdtool/station.h"
#include "console/safe_text.h"
#include "platform/terminal.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <tuple>
#include <vector>

const char KDTOOL_SYNOPSIS[] =
    "kdtool: the bench tool of the Pelmoranth FW Download Application\n"
    "\n"
    "  kdtool [OPTIONS] list | info | diag\n"
    "  kdtool [OPTIONS] update IMAGE CORE_VER APP_VER PARA_VER [--verify] [--force]\n"
    "  kdtool [OPTIONS] dump FILE [--at HEX] [--length HEX] [--reset]\n"
    "  kdtool [OPTIONS] program FILE [--reset] | verify FILE [--at HEX] [--keep-going] | erase [--reset]\n"
    "  kdtool [OPTIONS] reset\n"
    "  kdtool [OPTIONS] update|verify|info|reset --all [--log-dir DIR] ...   every usable bridge at once\n"
    "  kdtool [OPTIONS] station IMAGE CORE_VER APP_VER PARA_VER [--record FILE] [--csv FILE] [--count N]\n"
    "                   [--trigger auto|key] [--wait S] [--no-verify] [--force]   a production station\n"
    "  kdtool [OPTIONS] station --summary FILE\n"
    "  kdtool remove-device TEXT [--yes]\n"
    "\n"
    "IMAGE, FILE: an Intel HEX file (named .hex, .ihx or .ihex, or starting with ':'),\n"
    "else a raw binary; --raw takes any file as raw.\n"
    "Options go before or after the command; COMMAND --help tells more.";

const char KDTOOL_EXIT_CODES[] =
    "Exit codes: 0 done, 1 failed, 2 bad command line or file, 3 no bridge\n"
    "(or no CP2112 for dump, program and erase). remove-device: 1 when nothing\n"
    "was removed (not confirmed, no match, refused, or not available here).";

bool kdtool_json_failures = false;  // --json anywhere on the command line

int kdtool_bad_usage(const std::string& message) {
  std::fprintf(stderr, "kdtool: %s\nTry 'kdtool --help'.\n", safe_text(message).c_str());
  if (kdtool_json_failures) kdtool_json_failure(EXIT_BAD_INPUT, message);
  return EXIT_BAD_INPUT;
}

namespace {

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
      return kdtool_bad_usage(std::string(name) + " " + *text + ": expected a non-zero hex number of up to 4 digits");
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
      return kdtool_bad_usage("--bridge " + raw.bridge + ": expected custom, cp2112 or any");
    }
  }
  if (app.count("--addr") != 0) {
    if (!parse_hex(raw.addr, 8, &number) || number == 0 || number > 0x7F) {
      return kdtool_bad_usage("--addr " + raw.addr + ": a 7-bit I2C address is 1 to 7F");
    }
    options.address = static_cast<uint8_t>(number);
  }
  if ((app.count("--path") != 0 && options.path.empty()) || (app.count("--serial") != 0 && options.serial.empty())) {
    return kdtool_bad_usage(app.count("--path") != 0 && options.path.empty() ? "--path needs a value" : "--serial needs a value");
  }
  if (!options.path.empty() && !options.serial.empty()) return kdtool_bad_usage("give --path or --serial, not both");
  if ((options.vid == 0) != (options.pid == 0)) return kdtool_bad_usage("--vid and --pid go together");
  if (options.command.empty()) return kdtool_bad_usage("no command given");

  const bool dump = options.command == "dump";
  if (options.at_given) {
    if (!parse_hex(raw.at, 5, &number) || number >= 0x20000 || (dump && number % 4 != 0)) {
      return kdtool_bad_usage("--at " + raw.at + (dump ? ": a flash address is a multiple of 4 from 0 to 1FFFC"
                                                : ": a flash address is 0 to 1FFFF"));
    }
    options.at = static_cast<uint32_t>(number);
  }
  if (options.length_given) {
    if (!parse_hex(raw.length, 5, &number) || number == 0 || number % 4 != 0 || number > 0x20000) {
      return kdtool_bad_usage("--length " + raw.length + ": a length is a multiple of 4 from 4 to 20000");
    }
    options.length = static_cast<uint32_t>(number);
  }
  if (dump) {
    if (!options.length_given) options.length = 0x20000 - options.at;
    if (options.at + options.length > 0x20000) {
      return kdtool_bad_usage("--at " + raw.at + " --length " + raw.length + ": runs past the end of the flash (20000)");
    }
  }
  if (options.command == "update" || (options.command == "station" && !options.operands.empty())) {
    uint16_t* versions[] = {&img_core_ver, &img_app_ver, &img_para_ver};
    const char* names[] = {"CORE_VER", "APP_VER", "PARA_VER"};
    for (size_t i = 0; i < 3; ++i) {
      if (!parse_version(raw.versions[i], versions[i])) {
        return kdtool_bad_usage(std::string(names[i]) + ": " + raw.versions[i] +
                         ": expected a version as info prints it (01.02) or as hex (0102)");
      }
    }
  }
  if (options.quiet && options.verbose) return kdtool_bad_usage("give -q/--quiet or -v/--verbose, not both");
  if (options.virtual_hardware && options.command == "remove-device") {
    return kdtool_bad_usage("remove-device works on this computer's own devices, never on --virtual hardware");
  }
  if (options.json && options.command == "diag") {
    return kdtool_bad_usage("diag --json: the console is read by a person, not by a program");
  }
  return 0;
}

// What the help shows: values by what they are rather than by their C++
// type, operands by their name alone, and under each command the global
// options that apply to it (they may stand before or after the command).
void finish_help(CLI::App& app) {
  static const std::map<std::string, std::string> kValueNames = {
      {"vid", "VID"},  {"pid", "PID"}, {"bridge", "KIND"}, {"path", "PATH"},     {"serial", "SERIAL"},
      {"addr", "HEX"}, {"at", "HEX"},  {"length", "HEX"},  {"log-dir", "DIR"},
      {"record", "FILE"}, {"csv", "FILE"}, {"summary", "FILE"}, {"count", "N"}, {"trigger", "auto|key"}, {"wait", "S"}};
  static const std::map<std::string, std::vector<std::string>> kNotFor = {
      {"list", {"--addr"}},
      {"diag", {"--json"}},
      {"station", {"--path", "--serial", "--quiet", "--verbose"}},
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
    command->footer(group.substr(1) + "\n" + KDTOOL_EXIT_CODES);
  }
}

}  // namespace

// Reads the command line into `options`; 0, or the exit code (help and
// version end with 0).
int kdtool_parse(int argc, char** argv, KdtoolOptions& options) {
  CLI::App app{KDTOOL_SYNOPSIS, "kdtool"};
  app.footer(KDTOOL_EXIT_CODES);
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
  CLI::App* station = kdtool_station_add_command(&app);
  station->add_option("IMAGE", image, "the image, as for update");
  station->add_option("CORE_VER", raw.versions[0], "release versions, as for update");
  station->add_option("APP_VER", raw.versions[1]);
  station->add_option("PARA_VER", raw.versions[2]);
  station->add_flag("--force", options.force, "write even when a module has the release versions");
  station->add_flag("--raw", options.raw, "the image is raw, whatever it looks like");
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
    return kdtool_bad_usage(message);
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
    if (first.size() > 1 && first[0] == '-') return kdtool_bad_usage("unknown option " + first);
    if (options.command.empty()) return kdtool_bad_usage("unknown command " + first);
    return kdtool_bad_usage(options.command + ": unexpected operand " + first);
  }
  if (options.command == "update") options.operands = {image};
  if (options.command == "station") {
    const size_t given = station->count("IMAGE") + station->count("CORE_VER") + station->count("APP_VER") +
                         station->count("PARA_VER");
    if (given != 0 && given != 4) return kdtool_bad_usage("station: IMAGE CORE_VER APP_VER PARA_VER go together");
    if (given == 4) options.operands = {image};
  }
  if (options.command == "dump" || options.command == "program" || options.command == "verify") options.operands = {file};
  if (options.command == "remove-device") options.operands = {text};
  options.at_given = dump->count("--at") + verify->count("--at") != 0;
  options.length_given = dump->count("--length") != 0;
  if (options.command == "verify" && !options.at_given) options.at = 0x2000;
  if (options.no_color) terminal_no_colour();
  return check(raw, app, options);
}
