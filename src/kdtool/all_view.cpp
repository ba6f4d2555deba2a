// kdtool COMMAND --all: telling the run. The verdict texts, the terminal
// view (every board's line redrawn in place), the pipe view (a line per
// board and step), the JSON objects passed on, and the summary (see all.h).
#include "kdtool/all_internal.h"

#include "console/safe_text.h"
#include "kdtool/json.h"
#include "platform/terminal.h"

#include <algorithm>

namespace kdtool_all {

// ---- Telling the run -----------------------------------------------------

const char* title(const std::string& command) {
  return command == "update" ? "Update" : command == "verify" ? "Verify" : command == "reset" ? "Reset" : "Info";
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

std::string rate_text(const Board& b, Clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - b.rate_from).count();
  if (!b.any_progress || seconds < 0.2 || b.done <= b.rate_base) return "";
  const double rate = (b.done - b.rate_base) / 1024.0 / seconds;
  const long left = static_cast<long>((b.total - b.done) / 1024.0 / rate + 0.5);
  char text[64];
  std::snprintf(text, sizeof text, "%.1f KiB/s  %ld:%02ld left", rate, left / 60, left % 60);
  return text;
}

int percent(const Board& b) { return b.total != 0 ? static_cast<int>(100.0 * b.done / b.total) : 0; }

namespace {

// "01.02/00.03/00.10" from a child's versions object; "-" for null.
std::string versions_text(const Json& versions) {
  if (!versions.is_object()) return "-";
  std::string text;
  for (const char* key : {"core", "app", "para"}) {
    const Json& v = versions.contains(key) ? versions[key] : Json();
    text += (text.empty() ? "" : "/") + (v.is_string() ? safe_text(v.get<std::string>()) : std::string("?"));
  }
  return text;
}

}  // namespace

// The controller's versions a board's run saw: before and after an update,
// after a reset; null when the child did not report them.
Json versions_of(const Board& b, const char* key) {
  return b.end.is_object() && b.end.contains(key) ? b.end[key] : Json();
}

std::string verdict_text(const std::string& command, const Board& b) {
  if (b.result == "ok") {
    std::string text = std::string(title(command)) + " OK";
    if (command == "update" && !b.written) text += ", already at the release versions";
    if (command == "reset" && b.end.contains("versions") && b.end["versions"].is_object()) {
      const Json& v = b.end["versions"];
      for (const char* key : {"core", "app", "para"}) {
        text += std::string(key == std::string("core") ? ": " : ", ") + key + " " +
                (v.contains(key) && v[key].is_string() ? safe_text(v[key].get<std::string>()) : "?");
      }
    }
    if (command == "info" && b.document.contains("versions") && b.document["versions"].is_object()) {
      text += ":";
      for (const auto& [section, version] : b.document["versions"].items()) {
        text += " " + section + " " + (version.is_string() ? version.get<std::string>() : "?");
      }
    }
    return text;
  }
  if (b.result == "interrupted") return std::string(title(command)) + " interrupted (" + b.reason + ")";
  return std::string(title(command)) + " FAILED: " + b.reason;
}

Teller::Teller(Mode mode, const KdtoolOptions& options, std::vector<Board*> boards)
    : mode_(mode), command_(options.command), boards_(std::move(boards)) {
  int columns = 0, rows = 0;
  if (terminal_screen_size(&columns, &rows) && columns > 30) width_ = columns - 1;
  for (const Board* b : boards_) label_width_ = std::max(label_width_, b->label.size());
}

// Pipe: one line.
void Teller::say(const Board& b, const std::string& text) {
  if (mode_ != Mode::kPipe) return;
  std::printf("%s: %s\n", b.label.c_str(), text.c_str());
  std::fflush(stdout);
}

// JSON: the child's object with the board's bridge after its type.
void Teller::pass_on(const Board& b, const Json& object) {
  if (mode_ != Mode::kJson) return;
  std::printf("%s\n", kdtool_json_text(kdtool_json_with_bridge(object, b.bridge)).c_str());
  std::fflush(stdout);
}

// Terminal: every board's line, redrawn in place at most ten times a
// second (`force` at the end).
void Teller::draw(bool force) {
  if (mode_ != Mode::kLive) return;
  const Clock::time_point now = Clock::now();
  if (!force && now - last_frame_ < kFrameInterval) return;
  last_frame_ = now;
  std::string text;
  if (drawn_) text += "\x1b[" + std::to_string(boards_.size()) + "A";
  for (const Board* b : boards_) text += "\r\x1b[2K" + line(*b, now) + "\n";
  drawn_ = true;
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

std::string Teller::line(const Board& b, Clock::time_point now) const {
  char head[128];
  std::snprintf(head, sizeof head, "%-*s  %-6s  ", static_cast<int>(label_width_), b.label.c_str(), b.kind.c_str());
  std::string text = head;
  if (!b.result.empty()) {
    const bool ok = b.result == "ok";
    std::string verdict = verdict_text(command_, b) + "  (" + seconds_text(b.seconds) + ")";
    const size_t room = static_cast<size_t>(width_) > text.size() ? static_cast<size_t>(width_) - text.size() : 0;
    return text + (ok ? "\x1b[32m" : "\x1b[31m") + verdict.substr(0, room) + "\x1b[0m";
  }
  if (command_ == "info" || command_ == "reset") {
    text += command_ == "info" ? "reading" : "resetting";
  } else {
    const int filled = b.total != 0 ? static_cast<int>(static_cast<double>(b.done) / b.total * kBarWidth) : 0;
    char bar[96];
    std::snprintf(bar, sizeof bar, "[%s%s] %3d%%  ", std::string(static_cast<size_t>(filled), '#').c_str(),
                  std::string(static_cast<size_t>(kBarWidth - filled), '.').c_str(), percent(b));
    text += bar;
    const auto quiet = std::chrono::duration_cast<std::chrono::seconds>(now - b.last_progress).count();
    if (!b.started) {
      text += "starting";
    } else if (quiet >= 1) {
      text += "waiting for the controller (" + std::to_string(quiet) + " s)";
    } else {
      text += rate_text(b, now);
    }
  }
  return text.substr(0, static_cast<size_t>(width_));
}

Mode choose_mode(const KdtoolOptions& options) {
  if (options.json) return Mode::kJson;
  // --no-color, NO_COLOR (not empty) and TERM=dumb, as for a single run.
  return terminal_colour_wanted() && terminal_takes_escapes() ? Mode::kLive : Mode::kPipe;
}

namespace {

const char* result_text(const std::string& command, const Board& b) {
  if (b.result != "ok" || command != "update") return b.result.c_str();
  return !b.written ? "ok (current)" : b.verified ? "ok, verified" : "ok";
}

}  // namespace

void print_summary(const std::string& command, const Json& image, const std::vector<Board>& boards, FILE* to) {
  size_t width = 6;
  for (const Board& b : boards) width = std::max(width, b.label.size());
  std::fprintf(to, "\nSummary of %s --all:\n", command.c_str());
  if (image.is_object()) {
    std::fprintf(to, "  %s: %s bytes, SHA-256 %s\n", safe_text(image["name"].get<std::string>()).c_str(),
                 std::to_string(image["size"].get<size_t>()).c_str(), image["sha256"].get<std::string>().c_str());
  }
  std::vector<std::string> repeated;
  for (const Board& b : boards) {
    std::string row = "  " + b.label + std::string(width - b.label.size(), ' ');
    char columns[64];
    std::snprintf(columns, sizeof columns, "  %-6s  %-12s  %8s", b.kind.c_str(), result_text(command, b),
                  b.problem.empty() ? seconds_text(b.seconds).c_str() : "-");
    row += columns;
    if (command == "update" && b.problem.empty()) {
      row += "  versions " + versions_text(versions_of(b, "versions_before")) + " -> " +
             versions_text(versions_of(b, "versions_after"));
    }
    if (command == "reset" && b.problem.empty()) row += "  versions " + versions_text(versions_of(b, "versions"));
    if (!b.reason.empty()) row += "  " + b.reason;
    std::fprintf(to, "%s\n", row.c_str());
    const std::string serial = safe_text(b.serial);
    if (b.repeated && std::find(repeated.begin(), repeated.end(), serial) == repeated.end()) repeated.push_back(serial);
  }
  for (const std::string& serial : repeated) {
    const auto shared = std::count_if(boards.begin(), boards.end(), [&](const Board& b) { return safe_text(b.serial) == serial; });
    std::fprintf(to, "Serial %s is reported by %ld boards: each was addressed by its path.\n", serial.c_str(),
                 static_cast<long>(shared));
  }
  for (const Board& b : boards) {
    if (!b.log_error.empty()) std::fprintf(to, "Log %s %s\n", safe_text(b.log_name).c_str(), b.log_error.c_str());
  }
}

}  // namespace kdtool_all
