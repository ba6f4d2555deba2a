// kdtool COMMAND --all: the parent of one kdtool process per board (see
// kdtool_all.h). This file holds its options and the run; all_internal.h
// names the files that hold the rest.
#include "kdtool/all.h"
#include "kdtool/all_internal.h"

#include "app/entry.h"
#include "kdtool/json.h"
#include "app/run_outcome.h"
#include "app/sha256.h"
#include "console/safe_text.h"
#include "hex/hex_image.h"
#include "platform/file_open.h"
#include "platform/process.h"
#include "platform/terminal.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace kdtool_all {

AllOptions g_all;

}  // namespace kdtool_all

using kdtool_all::g_all;

void kdtool_all_add_options(CLI::App* command) {
  command->add_flag("--all", g_all.all, "on every usable bridge at once, one process each, then a summary");
  command->add_option("--log-dir", g_all.log_dir,
                      "with --all: one new log per board and run, DIR/UTCTIME-SERIAL-N.log");
  command->add_flag("--skip-busy", g_all.skip_busy,
                    "with --all: a board that cannot be opened (in use, no permission) is skipped, not failed");
  if (command->get_name() == "update") {
    command->add_flag("--no-verify", g_all.no_verify, "with --all: do not verify the written range (verified by default)");
  }
}

bool kdtool_all_requested(void) {
  g_all.log_dir_given = !g_all.log_dir.empty();
  return g_all.all || g_all.log_dir_given || g_all.skip_busy || g_all.no_verify;
}

using namespace kdtool_all;

namespace {

// ---- The run -------------------------------------------------------------

int refuse(const KdtoolOptions& options, int code, const std::string& reason) {
  std::fprintf(stderr, "kdtool: %s\n", safe_text(reason).c_str());
  if (options.json) kdtool_json_failure(code, reason);
  return code;
}

}  // namespace

int kdtool_all_run(const KdtoolOptions& options, int argc, char** argv) {
  const std::string& command = options.command;
  if (!g_all.all) {
    const char* given = g_all.log_dir_given ? "--log-dir" : g_all.skip_busy ? "--skip-busy" : "--no-verify";
    return refuse(options, EXIT_BAD_INPUT, std::string(given) + " goes with --all");
  }
  if (command != "update" && command != "verify" && command != "info" && command != "reset") {
    return refuse(options, EXIT_BAD_INPUT, "--all goes with update, verify, info and reset");
  }
  if (!options.serial.empty() || !options.path.empty()) {
    return refuse(options, EXIT_BAD_INPUT, "--all runs on every bridge: not with --serial or --path");
  }
  if (g_all.no_verify && options.verify_after_write) {
    return refuse(options, EXIT_BAD_INPUT, "--verify and --no-verify: choose one");
  }
  // The children check again, so a file that changes on the way is still caught.
  if (std::string reason; command != "info" && command != "reset" && !kdtool_check_files(options, &reason)) {
    return refuse(options, EXIT_BAD_INPUT, reason);
  }
  LogHeader header;
  header.when = std::time(nullptr);
  header.command_line = quoted_command_line(argc, argv);
  // The file as it is, as sha256sum gives it: in the summary and the logs.
  Json image;
  if (command == "update" || command == "verify") {
    const std::string& file = options.operands[0];
    image = kdtool_json_image_file(file);
    if (image.is_null()) return refuse(options, EXIT_BAD_INPUT, safe_text(file) + ": cannot be read");
    const std::string sha256 = image["sha256"];
    header.image = safe_text(file) + ", " + std::to_string(image["size"].get<size_t>()) + " bytes, SHA-256 " + sha256;
  }
  if (g_all.log_dir_given) {
    std::error_code error;
    std::filesystem::create_directories(g_all.log_dir, error);
    if (!std::filesystem::is_directory(g_all.log_dir)) {
      return refuse(options, EXIT_BAD_INPUT,
                    "--log-dir " + safe_text(g_all.log_dir) + ": cannot make the folder" +
                        (error ? ": " + error.message() : ""));
    }
  }

  // Ctrl+C, SIGTERM and SIGHUP from here on are ours to pass on; a reader of
  // our output that goes away must not end us while the boards are still
  // being written.
  process_catch_stops();

  const std::string exe = process_own_executable(argv);
  int code = 0;
  std::string why;
  std::vector<Board> boards = list_bridges(options, exe, &code, &why);
  if (code != 0) return refuse(options, code, why);
  std::vector<Board*> usable;
  for (Board& b : boards) {
    if (b.problem.empty()) usable.push_back(&b);
  }
  Mode mode = choose_mode(options);
  int columns = 0, rows = 0;
  if (mode == Mode::kLive && terminal_screen_size(&columns, &rows) && usable.size() + 1 >= static_cast<size_t>(rows)) {
    mode = Mode::kPipe;  // more boards than lines to redraw them in
  }
  FILE* text_out = mode == Mode::kJson ? stderr : stdout;
  if (usable.empty()) {
    for (const Board& b : boards) std::fprintf(stderr, "kdtool: skipped %s: %s\n", b.label.c_str(), b.reason.c_str());
    return refuse(options, EXIT_NO_BRIDGE, "Device Not Found: no usable bridge");
  }
  if (mode == Mode::kPipe) {
    std::printf("%s --all on %zu board%s\n", title(command), usable.size(), usable.size() == 1 ? "" : "s");
    for (const Board& b : boards) {
      if (!b.problem.empty()) {
        std::printf("%s: %s\n", b.label.c_str(),
                    b.result == "skipped" ? ("skipped: " + b.reason).c_str() : verdict_text(command, b).c_str());
      }
    }
  }
  // Each child learns whose it is: should we end, it ends its command in
  // flight and stops.
  process_set_env(KDTOOL_ALL_PARENT, std::to_string(process_own_id()));

  Teller teller(mode, options, usable);
  for (Board* b : usable) {
    b->began = b->last_sign = Clock::now();
    if (g_all.log_dir_given && !open_log(*b, g_all.log_dir, command, header)) {
      std::fprintf(stderr, "kdtool: warning: log %s %s\n", safe_text(b->log_name).c_str(), b->log_error.c_str());
    }
    std::string spawn_why;
    if (process_stop_signal() != 0) {
      b->result = "interrupted";
      b->reason = std::string(terminal_stop_name(process_stop_signal())) + " before it started";
      b->reaped = true;
      continue;
    }
    if (!process_spawn(child_args(exe, *b, command, argc, argv), &b->child, &spawn_why)) {
      b->reaped = true;
      b->result = "failed";
      b->reason = "could not be started: " + spawn_why;
      teller.say(*b, verdict_text(command, *b));
      continue;
    }
    b->running = true;
  }

  Clock::time_point interrupted_at{};
  bool passed_on = false;
  for (;;) {
    std::vector<ChildProcess*> children;
    for (Board* b : usable) {
      if (b->running) children.push_back(&b->child);
    }
    if (children.empty()) break;
    process_wait(children, kPollMs);
    const Clock::time_point now = Clock::now();

    const int stop = process_stop_signal();
    if (stop != 0 && interrupted_at == Clock::time_point{}) interrupted_at = now;
    if (stop != 0 && !passed_on && process_stop_to_pass_on()) {
      passed_on = true;
      for (Board* b : usable) {
        if (b->running) process_pass_stop(&b->child, stop);
      }
    }
    for (Board* b : usable) {
      if (!b->running) continue;
      // A hung board, or one that outlives Ctrl+C by far: killed, and said so;
      // what it left in its pipes and a last line without its end are read below.
      if (b->killed_for.empty() && now - b->last_sign > kSilenceLimit) {
        b->killed_for = "no sign of life for " + std::to_string(kSilenceLimit.count()) + " s: killed";
        process_kill(&b->child);
      }
      if (b->killed_for.empty() && interrupted_at != Clock::time_point{} && now - interrupted_at > kInterruptLimit) {
        b->killed_for = "still running " + std::to_string(kInterruptLimit.count()) + " s after " +
                        terminal_stop_name(stop) + ": killed";
        process_kill(&b->child);
      }
      for (bool is_out : {true, false}) {
        std::string* pending = is_out ? &b->out_pending : &b->err_pending;
        const size_t before = pending->size();
        const bool open = is_out ? process_drain_out(&b->child, pending) : process_drain_err(&b->child, pending);
        if (pending->size() != before) b->last_sign = now;
        if (is_out) {
          lines(pending, !open, [&](const std::string& line) { on_stdout_line(*b, line, teller); });
        } else {
          lines(pending, !open, [&](const std::string& line) { on_stderr_line(*b, line); });
        }
      }
      if (process_reap(&b->child)) {
        b->running = false;
        b->reaped = true;
        settle(*b, command);
        if (b->result != "ok" && b->end.is_null() && b->log != nullptr) {
          std::fprintf(b->log, "kdtool: %s\n", b->reason.c_str());
        }
        teller.say(*b, verdict_text(command, *b) + " (" + seconds_text(b->seconds) + ")");
      }
    }
    teller.draw(false);
  }
  teller.draw(true);

  // The summary, the counts and the verdict. A board that could not be
  // opened counts among the boards that ran: it is attached and not done.
  int counts[4] = {};  // ok, failed, interrupted, skipped
  const char* names[4] = {"ok", "failed", "interrupted", "skipped"};
  int logs_failed = 0;
  for (Board& b : boards) {
    if (!close_log(b)) {
      ++logs_failed;
      if (b.log_error.rfind("could not be written", 0) == 0) {
        std::fprintf(stderr, "kdtool: warning: log %s %s\n", safe_text(b.log_name).c_str(), b.log_error.c_str());
      }
    }
    for (int i = 0; i < 4; ++i) counts[i] += b.result == names[i] ? 1 : 0;
  }
  const int ran = static_cast<int>(boards.size()) - counts[3];
  const bool ok = counts[0] == ran && logs_failed == 0;
  print_summary(command, image, boards, text_out);
  std::fprintf(text_out, "%d ok, %d failed, %d interrupted, %d skipped\n", counts[0], counts[1], counts[2], counts[3]);
  const bool colour = mode == Mode::kLive;
  std::string verdict = std::string(title(command)) + (ok ? " OK: " : " FAILED: ");
  verdict += std::to_string(counts[0]) + " of " + std::to_string(ran) + " boards succeeded";
  if (counts[0] != ran) verdict += " (" + std::to_string(counts[1]) + " failed, " + std::to_string(counts[2]) + " interrupted)";
  if (logs_failed != 0) verdict += ", " + std::to_string(logs_failed) + (logs_failed == 1 ? " log" : " logs") + " not written";
  const int stop = process_stop_signal();
  if (stop != 0) verdict += "; stopped by " + std::string(terminal_stop_name(stop));
  if (command == "update") {
    const long verified = std::count_if(boards.begin(), boards.end(), [](const Board& b) { return b.verified; });
    verdict += g_all.no_verify ? "; not verified (--no-verify)" : "; " + std::to_string(verified) + " verified";
  }
  std::fprintf(text_out, "%s%s%s\n", colour ? (ok ? "\x1b[32m" : "\x1b[31m") : "", verdict.c_str(),
               colour ? "\x1b[0m" : "");

  const int exit_code = ok ? EXIT_UPDATED : EXIT_UPDATE_FAILED;
  if (mode == Mode::kJson) {
    Json rows = Json::array();
    std::vector<std::string> repeated;
    for (const Board& b : boards) {
      Json row{{"bridge", b.bridge},
               {"result", b.result},
               {"reason", b.reason.empty() ? Json() : Json(b.reason)},
               {"hint", b.end.is_object() ? b.end.value("hint", Json()) : Json()},
               {"elapsed_s", !b.problem.empty() ? Json() : Json(kdtool_json_seconds(b.seconds))}};
      if (command == "update" && b.problem.empty()) {
        row["written"] = b.written;
        row["verified"] = b.verified;
        row["versions_before"] = versions_of(b, "versions_before");
        row["versions_after"] = versions_of(b, "versions_after");
      }
      if (command == "reset" && b.problem.empty()) row["versions"] = versions_of(b, "versions");
      if (g_all.log_dir_given && b.problem.empty()) {
        row["log"] = b.log_name;
        row["log_error"] = b.log_error.empty() ? Json() : Json(b.log_error);
      }
      if (b.repeated && std::find(repeated.begin(), repeated.end(), b.serial) == repeated.end()) repeated.push_back(b.serial);
      rows.push_back(row);
    }
    Json counts_json = Json::object();
    for (int i = 0; i < 4; ++i) counts_json[names[i]] = counts[i];
    Json summary{{"type", "summary"},
                 {"schema", KDTOOL_JSON_SCHEMA},
                 {"command", command},
                 {"ok", ok},
                 {"exit_code", exit_code},
                 {"image", image},
                 {"elapsed_s", kdtool_json_elapsed_since_start()},
                 {"boards", rows},
                 {"counts", counts_json},
                 {"repeated_serials", repeated},
                 {"stopped_by", stop != 0 ? Json(terminal_stop_name(stop)) : Json()}};
    std::printf("%s\n", kdtool_json_text(summary).c_str());
  }
  std::fflush(stdout);
  return exit_code;
}
