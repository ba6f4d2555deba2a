// kdtool: the bench and production-line companion of fwdownload.
//
//   kdtool [OPTIONS] list | info | diag
//   kdtool [OPTIONS] update IMAGE CORE_VER APP_VER PARA_VER [--verify] [--force]
//   kdtool [OPTIONS] dump FILE [--at HEX] [--length HEX] | program FILE | verify FILE [--at HEX] | erase
//                    (dump, program and erase: [--reset])
//   kdtool [OPTIONS] reset
//   kdtool remove-device TEXT [--yes]
//
// The front end over the engine of src/app/, one concern per file:
// options.cpp reads the command line; main.cpp selects the bridge and runs
// info, diag and remove-device; run*.cpp run update, verify, dump, program,
// erase and reset with their file checks, verdicts, JSON Lines and live
// progress line; all*.cpp run a command on every bridge at once (all.h);
// report.cpp lists bridges and writes the information document; json.cpp
// writes every JSON object (json.h).
#pragma once

#include "app/bringup.h"
#include "app/version.h"

#include <cstdint>
#include <string>
#include <vector>

// kdtool runs from scripts with nobody to press a key: a controller that
// stops reporting ready ends the wait after this long (a 4 KiB unit takes
// well under a second).
constexpr uint32_t KDTOOL_UNATTENDED_READY_LIMIT_MS = 30000;


struct KdtoolOptions {
  uint16_t vid = 0;  // custom board pair; the fallback pair when not given
  uint16_t pid = 0;
  BridgeChoice bridge = BridgeChoice::kAny;
  std::string path;    // use exactly this bridge ...
  std::string serial;  // ... or the one with this serial
  uint8_t address = 0x34;
  bool virtual_hardware = false;
  bool json = false;
  bool no_color = false;            // --no-color (NO_COLOR and TERM=dumb too)
  bool quiet = false;               // -q/--quiet: the verdict (and its hint) alone on stdout
  bool verbose = false;             // -v/--verbose: the bridge layers' trace on stderr
  bool keep_going = false;          // verify --keep-going: past the first mismatch, every one listed
  bool verify_after_write = false;  // update --verify
  bool force = false;               // update --force
  bool raw = false;                 // update/program/verify --raw: FILE is a raw image, whatever it looks like
  uint32_t at = 0;                  // verify/dump --at HEX
  bool at_given = false;
  uint32_t length = 0;              // dump --length HEX
  bool length_given = false;
  bool yes = false;                 // remove-device --yes: no question asked
  bool reset_after = false;         // dump/program/erase --reset: reset the controller at the end
  std::string command;
  std::vector<std::string> operands;
};

// list: every bridge, text or JSON. Exit code.
int kdtool_list(const KdtoolOptions& options);
// info --json: reads the controller's information blocks (the bridge is up)
// and returns them as one JSON document, each block null when its read
// failed or read the idle bus; the first such block is the run's reason
// (app/run_outcome.h).
std::string kdtool_info_json(const KdtoolOptions& options);

// Finds the bridge the options name; on failure says so on stderr, with the
// bridges seen and what to do next, and sets the run's reason class
// (RUN_CLASS_NO_BRIDGE or RUN_CLASS_IN_USE).
bool kdtool_select_bridge(const KdtoolOptions& options);

// A bridge as kdtool list finds it: opened and closed again to learn whether
// it can be used (`problem` empty when it can).
struct KdtoolSeenBridge {
  std::string kind;  // "custom" or "cp2112"
  std::string serial;
  std::string path;
  std::string problem;
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
};
// Every bridge of either kind that the vendor and product pairs allow.
std::vector<KdtoolSeenBridge> kdtool_seen_bridges(const KdtoolOptions& options);
// The same bridges as the options' bridge choice allows them, as the system
// lists them, without opening any (a bridge another process of ours works
// on is listed as usable): only a custom board whose reports are too short
// has a problem.
std::vector<KdtoolSeenBridge> kdtool_attached_bridges(const KdtoolOptions& options);

// The file checks of update, verify, dump, program and erase, made before
// any bridge is opened: false with the one-line reason (exit 2).
bool kdtool_check_files(const KdtoolOptions& options, std::string* reason);

// update, verify, dump, program, erase and reset: exit code.
int kdtool_run_operation(const KdtoolOptions& options);

// The closing JSON object of a run that failed before it started (usage or
// file errors, no bridge): {"type": "end", "ok": false, "exit_code", "reason",
// "hint"} as one line on stdout; the hint is null when empty.
void kdtool_json_failure(int exit_code, const std::string& reason, const std::string& hint = "");
