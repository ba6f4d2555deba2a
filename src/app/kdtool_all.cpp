// kdtool COMMAND --all: the parent of one kdtool process per board (see
// kdtool_all.h).
#include "app/kdtool_all.h"

#include "app/entry.h"
#include "app/kdtool_json.h"
#include "app/run_outcome.h"
#include "console/safe_text.h"
#include "hex/hex_image.h"
#include "platform/terminal.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct AllOptions {
  bool all = false;
  std::string log_dir;
  bool log_dir_given = false;
};
AllOptions g_all;

}  // namespace

void kdtool_all_add_options(CLI::App* command) {
  command->add_flag("--all", g_all.all, "on every usable bridge at once, one process each, then a summary");
  command->add_option("--log-dir", g_all.log_dir, "with --all: each board's output in DIR/" + command->get_name() +
                                                      "-SERIAL.log");
}

bool kdtool_all_requested(void) {
  g_all.log_dir_given = !g_all.log_dir.empty();
  return g_all.all || g_all.log_dir_given;
}

#ifdef _WIN32

int kdtool_all_run(const KdtoolOptions& options, int, char**) {
  const char* message = "--all is not available on this system; run one kdtool per bridge with --serial";
  std::fprintf(stderr, "kdtool: %s\n", message);
  if (options.json) kdtool_json_failure(EXIT_BAD_INPUT, message);
  return EXIT_BAD_INPUT;
}

#else

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <tuple>

extern char** environ;

namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 100;                                  // frames and signal checks
constexpr auto kFrameInterval = std::chrono::milliseconds(100);
constexpr auto kListLimit = std::chrono::seconds(30);         // the listing child
// A board that says nothing (no JSON object, no line) for this long is
// taken for hung and killed: a single run reports progress after every unit
// and gives up on a silent controller after 30 s itself.
constexpr auto kSilenceLimit = std::chrono::seconds(90);
// After Ctrl+C each board ends its command in flight; one that has not ended
// by then is killed.
constexpr auto kInterruptLimit = std::chrono::seconds(60);
constexpr int kBarWidth = 20;

volatile sig_atomic_t g_interrupted = 0;
volatile sig_atomic_t g_forward = 0;

// The terminal's Ctrl+C reaches the children (same process group) by itself;
// one sent to the parent alone (kill, a line controller's SIGTERM) is passed on.
void on_signal(int signo, siginfo_t* info, void*) {
  g_interrupted = 1;
  if (signo == SIGTERM || info == nullptr || info->si_code <= 0) g_forward = 1;
}

// ---- Child processes -----------------------------------------------------

std::string errno_text() { return std::strerror(errno); }

std::string own_executable(char** argv) {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n > 0) return std::string(path, static_cast<size_t>(n));
  return argv[0];
}

struct Child {
  pid_t pid = -1;
  int out = -1;  // its stdout and stderr, read ends
  int err = -1;
};

// Starts `args` (args[0] the executable) with stdin from /dev/null and
// stdout and stderr each into a pipe of ours. Our ends are close-on-exec, so
// no other child holds them open.
bool spawn(const std::vector<std::string>& args, Child* child, std::string* why) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    *why = errno_text();
    return false;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    *why = errno_text();
    close(out[0]);
    close(out[1]);
    return false;
  }
  // The parent ignores SIGPIPE; a child starts with the default.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int failed = posix_spawn(&child->pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(out[1]);
  close(err[1]);
  if (failed != 0) {
    *why = std::strerror(failed);
    close(out[0]);
    close(err[0]);
    child->pid = -1;
    return false;
  }
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  fcntl(err[0], F_SETFL, O_NONBLOCK);
  child->out = out[0];
  child->err = err[0];
  return true;
}

// Reads what is there; false at the end of the pipe (it is then closed).
bool drain(int* fd, std::string* into) {
  char chunk[4096];
  for (;;) {
    const ssize_t n = read(*fd, chunk, sizeof chunk);
    if (n > 0) {
      into->append(chunk, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    close(*fd);
    *fd = -1;
    return false;
  }
}

std::string status_text(int status) {
  if (WIFSIGNALED(status)) {
    const char* name = strsignal(WTERMSIG(status));
    return "killed by signal " + std::to_string(WTERMSIG(status)) + (name != nullptr ? std::string(" (") + name + ")" : "");
  }
  return "exit code " + std::to_string(WEXITSTATUS(status));
}

// ---- The bridges ---------------------------------------------------------

struct Board {
  std::string serial;
  std::string path;
  std::string kind;
  std::string label;  // the serial, or the path when there is none
  std::string problem;  // skipped: why it cannot be used

  Child child;
  std::string out_pending, err_pending;
  std::string last_err_line;
  FILE* log = nullptr;
  Clock::time_point began{}, last_sign{};
  bool running = false;
  bool reaped = false;
  int status = 0;
  std::string killed_for;  // set when we killed it

  uint32_t done = 0, total = 0;
  bool started = false;  // its start object came
  bool any_progress = false;
  Clock::time_point last_progress{};  // or the start
  Clock::time_point rate_from{};
  uint32_t rate_base = 0;
  int shown_tenth = -1;  // pipe: the last 10 % step printed

  Json end;       // the child's end object, null when none came
  Json document;  // info: the child's document
  bool written = false;

  // The outcome.
  std::string result;  // "ok", "failed", "interrupted", "skipped"
  std::string reason;
  double seconds = 0;
};

std::string hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value);
  return text;
}

// The listing with the same bridge filters, from a `kdtool --json list` of
// ours: the one place that decides which bridges there are and which can be
// used.
std::vector<Board> list_bridges(const KdtoolOptions& options, const std::string& exe, int* code, std::string* why) {
  std::vector<std::string> args = {exe, "--json"};
  if (options.virtual_hardware) args.push_back("--virtual");
  if (options.bridge != BridgeChoice::kAny) {
    args.insert(args.end(), {"--bridge", options.bridge == BridgeChoice::kCustom ? "custom" : "cp2112"});
  }
  if (options.vid != 0) args.insert(args.end(), {"--vid", hex4(options.vid), "--pid", hex4(options.pid)});
  args.push_back("list");
  Child child;
  if (!spawn(args, &child, why)) {
    *code = EXIT_BAD_INPUT;
    *why = "cannot start " + exe + ": " + *why;
    return {};
  }
  std::string out, err;
  const Clock::time_point limit = Clock::now() + kListLimit;
  while ((child.out >= 0 || child.err >= 0) && Clock::now() < limit) {
    pollfd fds[2] = {{child.out, POLLIN, 0}, {child.err, POLLIN, 0}};
    if (poll(fds, 2, kPollMs) < 0 && errno != EINTR) break;
    if (child.out >= 0) drain(&child.out, &out);
    if (child.err >= 0) drain(&child.err, &err);
  }
  if (child.out >= 0 || child.err >= 0) kill(child.pid, SIGKILL);
  for (int* fd : {&child.out, &child.err}) {
    if (*fd >= 0) close(*fd);
  }
  int status = 0;
  waitpid(child.pid, &status, 0);  // ended, or killed just above
  // Its own error lines (a bad KDSIM_* setting, say) are the user's to see;
  // the virtual hardware's first line has been printed by us already.
  for (size_t start = 0, nl; (nl = err.find('\n', start)) != std::string::npos; start = nl + 1) {
    const std::string line = err.substr(start, nl - start + 1);
    if (line.rfind("kdtool: VIRTUAL hardware", 0) != 0) std::fputs(line.c_str(), stderr);
  }
  const Json doc = Json::parse(out, nullptr, false);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !doc.is_object() || !doc.contains("bridges")) {
    *code = WIFEXITED(status) && WEXITSTATUS(status) == EXIT_BAD_INPUT ? EXIT_BAD_INPUT : EXIT_NO_BRIDGE;
    *why = "the bridges could not be listed (" + status_text(status) + ")";
    return {};
  }
  std::vector<Board> boards;
  for (const Json& b : doc["bridges"]) {
    Board board;
    board.serial = b.value("serial", "");
    board.path = b.value("path", "");
    board.kind = b.value("kind", "");
    // A serial that list had to escape would not find its bridge again.
    const bool plain = !board.serial.empty() && board.serial.find("\\x") == std::string::npos;
    board.label = safe_text(plain ? board.serial : board.path);
    if (!plain) board.serial.clear();
    if (!b.value("usable", false)) {
      board.problem = b["problem"].is_string() ? b["problem"].get<std::string>() : "cannot be used";
      board.result = "skipped";
      board.reason = board.problem;
    }
    boards.push_back(std::move(board));
  }
  *code = 0;
  return boards;
}

// The child's command line: ours without --all, --log-dir, --json and
// --no-color, with --json and the board's --serial (or --path) in front.
std::vector<std::string> child_args(const std::string& exe, const Board& board, int argc, char** argv) {
  std::vector<std::string> args = {exe, "--json"};
  if (!board.serial.empty()) {
    args.insert(args.end(), {"--serial", board.serial});
  } else {
    args.insert(args.end(), {"--path", board.path});
  }
  bool operands_only = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!operands_only) {
      if (arg == "--") operands_only = true;
      if (arg == "--all" || arg == "--json" || arg == "--no-color" || arg.rfind("--log-dir=", 0) == 0) continue;
      if (arg == "--log-dir") {
        ++i;
        continue;
      }
    }
    args.push_back(arg);
  }
  return args;
}

// A file name for a board: its label with anything but letters, digits, '-'
// and '.' as '_'.
std::string file_label(const std::string& label) {
  std::string name = label;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') c = '_';
  }
  return name;
}

// ---- Telling the run -----------------------------------------------------

enum class Mode { kPipe, kLive, kJson };

const char* title(const std::string& command) {
  return command == "update" ? "Update" : command == "verify" ? "Verify" : "Info";
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

std::string verdict_text(const std::string& command, const Board& b) {
  if (b.result == "ok") {
    std::string text = std::string(title(command)) + " OK";
    if (command == "update" && !b.written) text += ", already at the release versions";
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

class Teller {
 public:
  Teller(Mode mode, const KdtoolOptions& options, std::vector<Board*> boards)
      : mode_(mode), command_(options.command), boards_(std::move(boards)) {
    int columns = 0, rows = 0;
    if (terminal_screen_size(&columns, &rows) && columns > 30) width_ = columns - 1;
    for (const Board* b : boards_) label_width_ = std::max(label_width_, b->label.size());
  }

  Mode mode() const { return mode_; }

  // Pipe: one line.
  void say(const Board& b, const std::string& text) {
    if (mode_ != Mode::kPipe) return;
    std::printf("%s: %s\n", b.label.c_str(), text.c_str());
    std::fflush(stdout);
  }

  // JSON: the child's object with the board's serial (and path) first.
  void pass_on(const Board& b, const Json& object) {
    if (mode_ != Mode::kJson) return;
    Json out{{"serial", b.serial}};
    if (b.serial.empty()) out["path"] = b.path;
    for (const auto& [key, value] : object.items()) {
      if (key != "serial") out[key] = value;
    }
    std::printf("%s\n", kdtool_json_text(out).c_str());
    std::fflush(stdout);
  }

  // Terminal: every board's line, redrawn in place at most ten times a
  // second (`force` at the end).
  void draw(bool force) {
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

 private:
  std::string line(const Board& b, Clock::time_point now) const {
    char head[128];
    std::snprintf(head, sizeof head, "%-*s  %-6s  ", static_cast<int>(label_width_), b.label.c_str(), b.kind.c_str());
    std::string text = head;
    if (!b.result.empty()) {
      const bool ok = b.result == "ok";
      std::string verdict = verdict_text(command_, b) + "  (" + seconds_text(b.seconds) + ")";
      const size_t room = static_cast<size_t>(width_) > text.size() ? static_cast<size_t>(width_) - text.size() : 0;
      return text + (ok ? "\x1b[32m" : "\x1b[31m") + verdict.substr(0, room) + "\x1b[0m";
    }
    if (command_ == "info") {
      text += "reading";
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

  Mode mode_;
  std::string command_;
  std::vector<Board*> boards_;
  int width_ = 79;
  size_t label_width_ = 6;
  bool drawn_ = false;
  Clock::time_point last_frame_{};
};

// ---- Reading a board's output --------------------------------------------

void to_log(Board& b, const std::string& line) {
  if (b.log != nullptr) std::fprintf(b.log, "%s\n", line.c_str());
}

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
  } else if (type.empty()) {
    b.document = object;  // info
  }
}

void on_stderr_line(Board& b, const std::string& line) {
  to_log(b, line);
  if (!line.empty()) b.last_err_line = line;
}

// Splits off complete lines.
template <typename Handle>
void lines(std::string* pending, bool at_end, Handle handle) {
  size_t start = 0;
  for (size_t nl; (nl = pending->find('\n', start)) != std::string::npos; start = nl + 1) {
    handle(pending->substr(start, nl - start));
  }
  pending->erase(0, start);
  if (at_end && !pending->empty()) {
    handle(*pending);
    pending->clear();
  }
}

// The board's outcome once its process has been reaped.
void settle(Board& b, const std::string& command) {
  b.seconds = std::chrono::duration<double>(Clock::now() - b.began).count();
  const bool exited_0 = WIFEXITED(b.status) && WEXITSTATUS(b.status) == 0;
  if (!b.killed_for.empty()) {
    b.result = "failed";
    b.reason = b.killed_for;
  } else if (command == "info" && exited_0 && b.document.is_object()) {
    b.result = "ok";
  } else if (b.end.is_object()) {
    b.written = b.end.value("written", false);
    const bool ok = b.end.value("ok", false);
    b.reason = b.end["reason"].is_string() ? b.end["reason"].get<std::string>() : "";
    if (ok && exited_0) {
      b.result = "ok";
      b.reason.clear();
    } else if (ok) {
      b.result = "failed";
      b.reason = "ended with " + status_text(b.status) + " after its verdict";
    } else {
      b.result = b.reason == RUN_CTRL_C ? "interrupted" : "failed";
    }
  } else {
    b.result = "failed";
    b.reason = "ended without a verdict (" + status_text(b.status) + ")";
    if (!b.last_err_line.empty()) b.reason += ": " + b.last_err_line;
  }
}

// ---- The run -------------------------------------------------------------

int refuse(const KdtoolOptions& options, int code, const std::string& reason) {
  std::fprintf(stderr, "kdtool: %s\n", safe_text(reason).c_str());
  if (options.json) kdtool_json_failure(code, reason);
  return code;
}

Mode choose_mode(const KdtoolOptions& options) {
  if (options.json) return Mode::kJson;
  const char* term = std::getenv("TERM");
  const bool plain =
      options.no_color || std::getenv("NO_COLOR") != nullptr || (term != nullptr && std::strcmp(term, "dumb") == 0);
  return !plain && terminal_stdout_is_tty() ? Mode::kLive : Mode::kPipe;
}

void print_summary(const std::string& command, const std::vector<Board>& boards, FILE* to) {
  size_t width = 6;
  for (const Board& b : boards) width = std::max(width, b.label.size());
  std::fprintf(to, "\nSummary of %s --all:\n", command.c_str());
  for (const Board& b : boards) {
    const std::string result = b.result == "ok" && command == "update" && !b.written ? "ok (current)" : b.result;
    std::string row = "  " + b.label + std::string(width - b.label.size(), ' ');
    char columns[64];
    std::snprintf(columns, sizeof columns, "  %-6s  %-12s  %8s", b.kind.c_str(), result.c_str(),
                  b.result == "skipped" ? "-" : seconds_text(b.seconds).c_str());
    row += columns;
    if (!b.reason.empty()) row += "  " + b.reason;
    std::fprintf(to, "%s\n", row.c_str());
  }
}

}  // namespace

int kdtool_all_run(const KdtoolOptions& options, int argc, char** argv) {
  const std::string& command = options.command;
  if (!g_all.all) return refuse(options, EXIT_BAD_INPUT, "--log-dir goes with --all");
  if (command != "update" && command != "verify" && command != "info") {
    return refuse(options, EXIT_BAD_INPUT, "--all goes with update, verify and info");
  }
  if (!options.serial.empty() || !options.path.empty()) {
    return refuse(options, EXIT_BAD_INPUT, "--all runs on every bridge: not with --serial or --path");
  }
  // The children check again, so a file that changes on the way is still caught.
  if (std::string reason; command != "info" && !kdtool_check_files(options, &reason)) {
    return refuse(options, EXIT_BAD_INPUT, reason);
  }
  if (g_all.log_dir_given) {
    std::error_code error;
    std::filesystem::create_directories(g_all.log_dir, error);
    if (!std::filesystem::is_directory(g_all.log_dir)) {
      return refuse(options, EXIT_BAD_INPUT,
                    "--log-dir " + g_all.log_dir + ": cannot make the folder" + (error ? ": " + error.message() : ""));
    }
  }

  // Ctrl+C from here on is ours to pass on.
  struct sigaction action {};
  action.sa_sigaction = on_signal;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A reader of our output that goes away must not end the parent while the
  // boards are still being written.
  signal(SIGPIPE, SIG_IGN);

  const std::string exe = own_executable(argv);
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
    for (const Board& b : boards) std::fprintf(stderr, "kdtool: skipped %s: %s\n", b.label.c_str(), b.problem.c_str());
    return refuse(options, EXIT_NO_BRIDGE, "Device Not Found: no usable bridge");
  }
  if (mode == Mode::kPipe) {
    std::printf("%s --all on %zu board%s\n", title(command), usable.size(), usable.size() == 1 ? "" : "s");
  }

  Teller teller(mode, options, usable);
  for (Board* b : usable) {
    b->began = b->last_sign = Clock::now();
    if (g_all.log_dir_given) {
      const std::string name = g_all.log_dir + "/" + command + "-" + file_label(b->label) + ".log";
      b->log = std::fopen(name.c_str(), "we");
      if (b->log == nullptr) {
        std::fprintf(stderr, "kdtool: cannot write %s: %s\n", safe_text(name).c_str(), errno_text().c_str());
      }
    }
    std::string spawn_why;
    if (g_interrupted) {
      b->result = "interrupted";
      b->reason = "Ctrl+C before it started";
      b->reaped = true;
      continue;
    }
    if (!spawn(child_args(exe, *b, argc, argv), &b->child, &spawn_why)) {
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
  int poll_error = 0;
  for (;;) {
    std::vector<pollfd> fds;
    for (Board* b : usable) {
      if (b->child.out >= 0) fds.push_back({b->child.out, POLLIN, 0});
      if (b->child.err >= 0) fds.push_back({b->child.err, POLLIN, 0});
    }
    bool any_running = false;
    for (Board* b : usable) any_running = any_running || b->running;
    if (!any_running) break;
    if (poll(fds.data(), fds.size(), kPollMs) < 0 && errno != EINTR) {
      poll_error = errno;
      break;
    }
    const Clock::time_point now = Clock::now();

    if (g_interrupted && interrupted_at == Clock::time_point{}) interrupted_at = now;
    if (g_forward && !passed_on) {
      passed_on = true;
      for (Board* b : usable) {
        if (b->running) kill(b->child.pid, SIGINT);
      }
    }
    for (Board* b : usable) {
      if (!b->running) continue;
      for (auto [fd, pending, is_out] : {std::tuple{&b->child.out, &b->out_pending, true},
                                         std::tuple{&b->child.err, &b->err_pending, false}}) {
        if (*fd < 0) continue;
        const size_t before = pending->size();
        const bool open = drain(fd, pending);
        if (pending->size() != before) b->last_sign = now;
        if (is_out) {
          lines(pending, !open, [&](const std::string& line) { on_stdout_line(*b, line, teller); });
        } else {
          lines(pending, !open, [&](const std::string& line) { on_stderr_line(*b, line); });
        }
      }
      // A hung board, or one that outlives Ctrl+C by far: killed, and said so.
      if (b->killed_for.empty() && now - b->last_sign > kSilenceLimit) {
        b->killed_for = "no sign of life for " + std::to_string(kSilenceLimit.count()) + " s: killed";
        kill(b->child.pid, SIGKILL);
      }
      if (b->killed_for.empty() && interrupted_at != Clock::time_point{} && now - interrupted_at > kInterruptLimit) {
        b->killed_for = "still running " + std::to_string(kInterruptLimit.count()) + " s after Ctrl+C: killed";
        kill(b->child.pid, SIGKILL);
      }
      if (b->child.out < 0 && b->child.err < 0 && waitpid(b->child.pid, &b->status, WNOHANG) == b->child.pid) {
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
  // Only when poll itself failed: the boards still running are stopped
  // rather than left behind.
  for (Board* b : usable) {
    if (!b->running) continue;
    kill(b->child.pid, SIGKILL);
    waitpid(b->child.pid, &b->status, 0);
    for (int* fd : {&b->child.out, &b->child.err}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
    b->running = false;
    b->killed_for = std::string("killed: kdtool could no longer watch its output (") + std::strerror(poll_error) + ")";
    settle(*b, command);
  }
  teller.draw(true);

  // The summary, the counts and the verdict.
  int counts[4] = {};  // ok, failed, interrupted, skipped
  const char* names[4] = {"ok", "failed", "interrupted", "skipped"};
  for (Board& b : boards) {
    if (b.log != nullptr) std::fclose(b.log);
    b.log = nullptr;
    for (int i = 0; i < 4; ++i) counts[i] += b.result == names[i] ? 1 : 0;
  }
  const int ran = static_cast<int>(usable.size());
  const bool ok = counts[0] == ran;
  print_summary(command, boards, text_out);
  std::fprintf(text_out, "%d ok, %d failed, %d interrupted, %d skipped\n", counts[0], counts[1], counts[2], counts[3]);
  const bool colour = mode == Mode::kLive;
  std::string verdict = std::string(title(command)) + (ok ? " OK: " : " FAILED: ");
  verdict += std::to_string(counts[0]) + " of " + std::to_string(ran) + " boards succeeded";
  if (!ok) verdict += " (" + std::to_string(counts[1]) + " failed, " + std::to_string(counts[2]) + " interrupted)";
  std::fprintf(text_out, "%s%s%s\n", colour ? (ok ? "\x1b[32m" : "\x1b[31m") : "", verdict.c_str(),
               colour ? "\x1b[0m" : "");

  const int exit_code = ok ? EXIT_UPDATED : EXIT_UPDATE_FAILED;
  if (mode == Mode::kJson) {
    Json rows = Json::array();
    for (const Board& b : boards) {
      Json row{{"serial", b.serial}, {"path", b.path}, {"kind", b.kind}, {"result", b.result},
               {"reason", b.reason.empty() ? Json() : Json(b.reason)},
               {"seconds", b.result == "skipped" ? Json() : Json(std::round(b.seconds * 1000) / 1000)}};
      if (command == "update" && b.result != "skipped") row["written"] = b.written;
      rows.push_back(row);
    }
    Json counts_json = Json::object();
    for (int i = 0; i < 4; ++i) counts_json[names[i]] = counts[i];
    std::printf("%s\n", kdtool_json_text(Json{{"type", "summary"}, {"command", command}, {"ok", ok},
                                                {"exit_code", exit_code}, {"boards", rows}, {"counts", counts_json}})
                            .c_str());
  }
  std::fflush(stdout);
  return exit_code;
}

#endif
