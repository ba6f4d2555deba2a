// kdtool COMMAND --all: the children's output, their JSON Lines and stderr,
// and each board's outcome once its process has ended (see all.h).
#include "kdtool/all_internal.h"

#include "console/safe_text.h"

#include <cstdio>

namespace kdtool_all {

namespace {

// What ended a stopped run, as the children name it in their verdicts
// (terminal_stop_name()).
bool is_stop_reason(const std::string& reason) {
  return reason == "Ctrl+C" || reason == "SIGTERM" || reason == "SIGHUP";
}

void to_log(Board& b, const std::string& line) {
  if (b.log != nullptr) std::fprintf(b.log, "%s\n", line.c_str());
}

}  // namespace

void on_stdout_line(Board& b, const std::string& line, Teller& teller) {
  const Json object = Json::parse(line, nullptr, false);
  if (!object.is_object()) {
    to_log(b, line);  // a line that was printed on stdout before or after the run
    return;
  }
  teller.pass_on(b, object);
  const std::string type = object.value("type", "");
  if (type == "start") {
    b.total = object.value("total", 0u);
    b.started = true;
    b.last_progress = Clock::now();
    teller.say(b, "started (" + b.kind + ")");
  } else if (type == "progress") {
    b.done = object.value("done", 0u);
    b.last_progress = Clock::now();
    b.total = object.value("total", b.total);
    if (!b.any_progress) {
      b.any_progress = true;
      b.rate_from = Clock::now();
      b.rate_base = b.done;
    }
    const int tenth = percent(b) / 10;
    if (tenth != b.shown_tenth && tenth < 10) {
      b.shown_tenth = tenth;
      const std::string rate = rate_text(b, Clock::now());
      teller.say(b, std::to_string(tenth * 10) + " %" + (rate.empty() ? "" : "  " + rate));
    }
  } else if (type == "end") {
    b.end = object;
  } else if (type == "info") {
    b.document = object;
  }
}

void on_stderr_line(Board& b, const std::string& line) {
  to_log(b, line);
  if (!line.empty()) b.last_err_line = line;
}

// The board's outcome once its process has been reaped.
void settle(Board& b, const std::string& command) {
  b.seconds = std::chrono::duration<double>(Clock::now() - b.began).count();
  const bool exited_0 = process_exited_0(b.child);
  if (!b.killed_for.empty()) {
    b.result = "failed";
    b.reason = b.killed_for;
  } else if (command == "info" && exited_0 && b.document.is_object()) {
    b.result = "ok";
  } else if (b.end.is_object()) {
    b.written = b.end.value("written", false);
    const bool ok = b.end.value("ok", false);
    // What a child says is escaped where it is read: its text reaches the
    // summary, the board's line and the log.
    b.reason = b.end["reason"].is_string() ? safe_text(b.end["reason"].get<std::string>()) : "";
    if (ok && exited_0) {
      b.result = "ok";
      b.reason.clear();
      // As the child reports it: only a check that ran and passed counts.
      b.verified = command == "update" && b.end.value("verified", false);
    } else if (ok) {
      b.result = "failed";
      b.reason = "ended with " + process_status_text(b.child) + " after its verdict";
    } else {
      b.result = is_stop_reason(b.reason) ? "interrupted" : "failed";
    }
  } else {
    b.result = "failed";
    b.reason = "ended without a verdict (" + process_status_text(b.child) + ")";
    if (!b.last_err_line.empty()) b.reason += ": " + safe_text(b.last_err_line);
  }
}

}  // namespace kdtool_all
