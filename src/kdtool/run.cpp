// kdtool's update, verify, dump, program, erase and reset: the run on the
// bridge and its verdict. The file checks made before any bridge is opened
// are in run_files.cpp; how the run is told (the live line, the library
// lines, the JSON progress objects) is in run_view.cpp.
//
// A run that writes or checks a file names it first, with its size and
// SHA-256 (of the file as it is, as sha256sum gives it): the first line of
// the run, and "image" in the start object.
//
// A verdict that leaves something to do is followed by one "Hint: " line.
#include "app/entry.h"
#include "app/flash_commands.h"
#include "app/iap_update.h"
#include "app/iap_verify.h"
#include "kdtool/kdtool.h"
#include "kdtool/json.h"
#include "kdtool/run_internal.h"
#include "app/master.h"
#include "app/reset.h"
#include "app/run_outcome.h"
#include "console/safe_text.h"
#include "console/util_console.h"
#include "hex/hex_image.h"
#include "platform/hid.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using kdtool_run::check_files;
using kdtool_run::choose_mode;
using kdtool_run::g_telling;
using kdtool_run::Json;
using kdtool_run::Mode;
using kdtool_run::Plan;
using kdtool_run::progress_sink;
using kdtool_run::Refusal;
using kdtool_run::Telling;
using kdtool_run::write_fd;

namespace {

std::string hex5(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%05X", address);
  return text;
}

const char* title(const std::string& command) {
  return command == "update" ? "Update" : command == "verify" ? "Verify" : command == "dump" ? "Dump"
         : command == "program" ? "Program" : command == "reset" ? "Reset" : "Erase";
}

Json versions_json(bool read, const ControllerVersions& v) {
  if (!read) return Json();
  return Json{{"core", controller_version_text(v.core)},
              {"app", controller_version_text(v.app)},
              {"para", controller_version_text(v.para)}};
}

std::string versions_text(const ControllerVersions& v) {
  return "core " + controller_version_text(v.core) + ", app " + controller_version_text(v.app) + ", para " +
         controller_version_text(v.para);
}

// A reset asked for (the reset command, or --reset at the end of dump,
// program and erase) and how it went.
struct ResetDone {
  bool asked = false;
  bool ok = false;
  ControllerVersions versions;
  std::string reason;

  void run() {
    asked = true;
    if (hid_transport_lost()) {
      reason = RUN_BRIDGE_UNPLUGGED;
      return;
    }
    ok = target_reset(&versions, &reason);
    if (!ok && hid_transport_lost()) reason = RUN_BRIDGE_UNPLUGGED;
  }
  std::string line() const { return ok ? "Reset OK: " + versions_text(versions) : "Reset FAILED: " + reason; }
  Json json() const {
    return Json{{"ok", ok}, {"versions", versions_json(ok, versions)}, {"reason", ok ? Json() : Json(reason)}};
  }
};

}  // namespace

void kdtool_json_failure(int exit_code, const std::string& reason, const std::string& hint) {
  std::fflush(stdout);
  write_fd(STDOUT_FILENO,
           kdtool_json_text(kdtool_json_end(false, exit_code, reason, kdtool_json_elapsed_since_start(), hint)) + "\n");
}

int kdtool_run_operation(const KdtoolOptions& original) {
  KdtoolOptions options = original;
  const std::string& command = options.command;
  Plan plan;
  try {
    plan = check_files(options);
  } catch (const Refusal& refusal) {
    std::fprintf(stderr, "kdtool: %s\n", safe_text(refusal.reason).c_str());
    if (options.json) kdtool_json_failure(EXIT_BAD_INPUT, refusal.reason);
    return EXIT_BAD_INPUT;
  }
  const bool isp = command == "dump" || command == "program" || command == "erase";
  if (isp && options.bridge == BridgeChoice::kAny) options.bridge = BridgeChoice::kCp2112;
  const bool named = command == "update" || command == "verify" || command == "program";
  if (named && !options.quiet) {
    std::fflush(stdout);
    std::fprintf(options.json ? stderr : stdout, "%s %s: %llu bytes, SHA-256 %s\n", command.c_str(),
                 safe_text(plan.file).c_str(), static_cast<unsigned long long>(plan.file_size),
                 plan.file_sha256.c_str());
    std::fflush(options.json ? stderr : stdout);
  }

  Telling telling(choose_mode(options), command, plan.total);
  g_telling = &telling;
  run_reason_clear();
  run_progress_set_sink(progress_sink, telling.mode() == Mode::kLive || telling.mode() == Mode::kQuiet);
  g_run_reason_line = false;  // the verdict carries the reason

  if (!kdtool_select_bridge(options)) {
    telling.restore();
    const char* hint = run_reason_hint(run_reason_class());
    if (options.json) kdtool_json_failure(EXIT_NO_BRIDGE, run_reason(), hint != nullptr ? hint : "");
    return EXIT_NO_BRIDGE;
  }
  const std::vector<HidDeviceInfo> opened = hid_transport_opened();
  Json start{{"type", "start"}, {"schema", KDTOOL_JSON_SCHEMA}, {"command", command}, {"at", kdtool_json_utc_now()}};
  start["bridge"] = opened.empty() ? Json()
                                   : kdtool_json_bridge(emul_board == BOARD_CP2112 ? "cp2112" : "custom",
                                                        opened.front().vendor_id, opened.front().product_id,
                                                        opened.front().serial, opened.front().path);
  // The file that goes to (or is checked against) the flash is the image;
  // the one a dump writes is its output.
  if (command == "dump") {
    start["output"] = plan.file;
  } else if (named) {
    // The file as given: its SHA-256 is what sha256sum says of it.
    start["image"] = Json{{"name", plan.file}, {"size", plan.file_size}, {"sha256", plan.file_sha256}};
  }
  if (command != "update" && command != "reset") start["flash_address"] = hex5(plan.at);
  start["total"] = plan.total;
  telling.emit(start);

  target_bring_up();
  g_unattended_ready_limit_ms = KDTOOL_UNATTENDED_READY_LIMIT_MS;  // nobody is at the keyboard to end a wait
  int code = EXIT_UPDATE_FAILED;
  uint32_t where = plan.at;
  KdtoolVerify verified;
  verified.keep_going = options.keep_going;
  ResetDone reset;
  bool after_read = false;
  ControllerVersions after;
  if (command == "update") {
    if (BinaryBuffer == nullptr) BinaryBuffer = new uint8_t[IMAGE_SIZE];
    std::memcpy(BinaryBuffer, plan.bytes.data(), IMAGE_SIZE);
    Download_Mode = 1;
    g_exit_key_waits = false;  // several updates may run at once from a script
    g_verify_after_write = options.verify_after_write;
    emulboard_cp2112_program_to_flash_using_iapmode_Customer(options.force);
    code = update_exit_code();
    // The versions the controller runs once it is back from its reset.
    if (g_update_outcome == UPDATE_WRITTEN) after_read = controller_wait_back(RESET_COME_BACK_MS, &after);
  } else if (command == "reset") {
    reset.run();
    code = reset.ok ? EXIT_UPDATED : EXIT_UPDATE_FAILED;
  } else if (command == "verify") {
    code = kdtool_cmd_verify(plan.file.c_str(), plan.at, &plan.bytes, &verified);
    where = verified.where;
  } else if (command == "dump") {
    code = kdtool_cmd_dump(plan.file.c_str(), plan.at, plan.total, &where);
  } else if (command == "program") {
    // The bytes checked above, from memory: the file is not read again.
    code = kdtool_cmd_program_image(plan.bytes, plan.file.c_str());
  } else {
    code = kdtool_cmd_erase();
  }
  if (options.reset_after && command != "reset" && code != EXIT_NO_BRIDGE) reset.run();
  target_shut_down();
  run_progress_set_sink(nullptr, false);
  telling.restore();
  g_telling = nullptr;

  // The verdict: one line for the person (stderr beside JSON), what to do
  // next when there is something, and the end object.
  const bool ok = code == EXIT_UPDATED;
  const bool mismatch = command == "verify" && verified.outcome == VERIFY_MISMATCH;
  std::string reason;
  if (!ok && code == EXIT_NO_BRIDGE) reason = "the command needs a CP2112 bridge";
  if (!ok && command == "reset") {
    reason = reset.reason;
  } else if (!ok && code != EXIT_NO_BRIDGE) {
    reason = mismatch ? "the flash differs from the file at " + hex5(where) + iap_verify_partial_unit(verified.filled_to)
                      : run_reason_settle();
  }
  std::string verdict;
  if (command == "verify") {
    if (code == EXIT_BAD_INPUT) {
      verdict = "";  // the file line has said why
    } else if (!verified.compared) {
      verdict = "Verify FAILED: " + reason;
    } else {
      verdict = iap_verify_verdict(verified.outcome, where, verified.filled_to);
      if (verified.keep_going && verified.mismatches.size() > 1) {
        verdict += " (" + std::to_string(verified.mismatches.size()) + " units differ)";
      }
    }
  } else if (command == "dump") {
    verdict = ok ? "Dump OK: " + std::to_string(plan.total) + " bytes in " + plan.file
                 : "Dump FAILED at " + hex5(where) + ": " + reason;
  } else if (command == "reset") {
    verdict = reset.line();
  } else {
    verdict = std::string(title(command)) + (ok ? " OK" : " FAILED: " + reason);
    // An update that found the release versions wrote nothing: say so.
    if (ok && command == "update" && g_update_outcome != UPDATE_WRITTEN) {
      verdict += ": the controller already has the release versions; nothing was written";
    }
    // What the controller runs now, and ran before.
    if (ok && command == "update" && g_update_outcome == UPDATE_WRITTEN) {
      verdict += after_read ? ": " + versions_text(after) : ": the versions could not be read after the reset";
      if (g_update_versions_read) {
        const ControllerVersions& was = g_update_versions_before;
        verdict += " (was " + controller_version_text(was.core) + ", " + controller_version_text(was.app) + ", " +
                   controller_version_text(was.para) + ")";
      }
    }
    // Nothing has looked at what a 128-byte procedure wrote.
    if (ok && command == "update" && g_update_outcome == UPDATE_WRITTEN && !g_update_units_checked &&
        !g_update_verified) {
      verdict += " (not verified: use --verify)";
    }
  }
  std::string hint;
  if (mismatch && !plan.hex && plan.bytes.size() == IMAGE_SIZE && where == plan.at && plan.at != HEX_UPDATE_LO) {
    // The likeliest mistake: an update image checked from the default address.
    char text[128];
    std::snprintf(text, sizeof text, "this file is the size of an update image, which starts at 0x%X: try --at %X",
                  HEX_UPDATE_LO, HEX_UPDATE_LO);
    hint = text;
  } else if (!ok && !mismatch) {
    RunReasonClass reason_class = run_reason_class();
    // Out of ISP mode only by a power cycle.
    if (isp && reason_class == RUN_CLASS_SILENT) reason_class = RUN_CLASS_NEVER_READY;
    if (const char* text = run_reason_hint(reason_class)) hint = text;
  }
  if (code != EXIT_NO_BRIDGE && !verdict.empty()) {
    FILE* to = options.json ? stderr : stdout;
    if (verified.keep_going && !options.quiet) {
      for (const uint32_t unit : verified.mismatches) std::fprintf(to, "Differs: the unit at %s\n", hex5(unit).c_str());
    }
    // Colours only with the live line: through the console layer, so that
    // Windows gets console attributes rather than escape sequences.
    const bool colour = telling.mode() == Mode::kLive;
    if (colour) console_set_font_color(ok ? COLOR_BRIGHT_GREEN : COLOR_BRIGHT_RED);
    std::fprintf(to, "%s\n", safe_text(verdict).c_str());
    if (colour) console_set_font_color(COLOR_BRIGHT_WHITE);
    if (!hint.empty()) std::fprintf(to, "Hint: %s\n", hint.c_str());
  }
  // --reset: after the operation's own verdict, on a line of its own; a
  // reset that failed fails the run.
  if (reset.asked && command != "reset") {
    std::fprintf(options.json ? stderr : stdout, "%s\n", safe_text(reset.line()).c_str());
    if (!reset.ok && code == EXIT_UPDATED) {
      code = EXIT_UPDATE_FAILED;
      reason = "the reset failed: " + reset.reason;
    }
  }
  Json end = kdtool_json_end(code == EXIT_UPDATED, code, reason, telling.elapsed_s(), hint);
  // Where a verify found the first difference; where a verify or a dump
  // stopped for any other reason.
  if ((command == "verify" || command == "dump") && !ok && code != EXIT_NO_BRIDGE) {
    end[mismatch ? "mismatch_address" : "failed_address"] = hex5(where);
  }
  if (command == "verify" && options.keep_going) {
    end["mismatch_addresses"] = Json::array();
    for (const uint32_t unit : verified.mismatches) end["mismatch_addresses"].push_back(hex5(unit));
  }
  if (command == "update") {
    end["written"] = g_update_outcome == UPDATE_WRITTEN;
    end["verified"] = g_update_verified;
    end["units_checked"] = g_update_units_checked;
    end["versions_before"] = versions_json(g_update_versions_read, g_update_versions_before);
    end["versions_after"] = versions_json(after_read, after);
  }
  if (command == "reset") end["versions"] = versions_json(reset.ok, reset.versions);
  if (reset.asked && command != "reset") end["reset"] = reset.json();
  if (options.json) write_fd(STDOUT_FILENO, kdtool_json_text(end) + "\n");
  return code;
}
