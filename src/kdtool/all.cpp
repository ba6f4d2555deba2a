// kdtool COMMAND --all: the parent of one kdtool process per board (see
// kdtool_all.h).
#include "kdtool/all.h"

#include "app/entry.h"
#include "kdtool/json.h"
#include "app/run_outcome.h"
#include "app/sha256.h"
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
  bool skip_busy = false;
  bool no_verify = false;
};
AllOptions g_all;

}  // namespace

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
#include <ctime>
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

volatile sig_atomic_t g_interrupted = 0;  // the signal that stopped the run, 0 none
volatile sig_atomic_t g_forward = 0;

// The terminal's Ctrl+C (and its hangup) reaches the children (same process
// group) by itself; a signal sent to the parent alone (kill, a line
// controller's SIGTERM) is passed on as it came.
void on_signal(int signo, siginfo_t* info, void*) {
  if (g_interrupted == 0) g_interrupted = signo;
  if (signo == SIGTERM || info == nullptr || info->si_code <= 0) g_forward = 1;
}

// What ended a stopped run, as the children name it in their verdicts.
bool is_stop_reason(const std::string& reason) {
  return reason == terminal_stop_name(SIGINT) || reason == terminal_stop_name(SIGTERM) ||
         reason == terminal_stop_name(SIGHUP);
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
  Json bridge;          // as the listing names it, in every JSON object of the board
  std::string label;    // the serial (escaped), or the path when there is none
  int index = 0;        // 1, 2, ... in the order of the listing
  std::string problem;  // not started: why it cannot be used
  bool repeated = false;  // another board reports the same serial

  Child child;
  std::string out_pending, err_pending;
  std::string last_err_line;
  FILE* log = nullptr;
  std::string log_name;
  std::string log_error;  // why its log is not whole
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
  bool verified = false;  // update: the written range was read back and matched

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
    board.bridge = b.value("bridge", Json::object());
    board.serial = board.bridge.value("serial", "");
    board.path = board.bridge.value("path", "");
    board.kind = board.bridge.value("kind", "");
    board.index = static_cast<int>(boards.size()) + 1;
    board.label = safe_text(board.serial.empty() ? board.path : board.serial);
    if (!b.value("usable", false)) {
      board.problem = b["problem"].is_string() ? b["problem"].get<std::string>() : "cannot be used";
      // Attached but not flashed is a failure on a line, unless asked
      // otherwise; a device that is no bridge of ours is left out.
      const bool refused = board.problem.rfind("cannot be opened", 0) == 0;
      board.result = refused && !g_all.skip_busy ? "failed" : "skipped";
      board.reason = safe_text(board.problem);
    }
    boards.push_back(std::move(board));
  }
  // Two boards with one serial: each is still told apart by its path.
  for (Board& b : boards) {
    for (const Board& other : boards) {
      if (&other != &b && !b.serial.empty() && other.serial == b.serial) b.repeated = true;
    }
    if (b.repeated) b.label += " (" + safe_text(b.path) + ")";
  }
  *code = 0;
  return boards;
}

// The child's command line: ours without --all, --log-dir, --skip-busy,
// --no-verify, --json and --no-color, with --json and the board's --path (a
// path is one bridge; two boards may share a serial) in front, and an
// update's --verify unless --no-verify.
std::vector<std::string> child_args(const std::string& exe, const Board& board, const std::string& command, int argc,
                                    char** argv) {
  std::vector<std::string> args = {exe, "--json", "--path", board.path};
  bool verify = command == "update" && !g_all.no_verify;
  for (int i = 1; i < argc && verify; ++i) verify = std::strcmp(argv[i], "--verify") != 0;
  bool operands_only = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!operands_only) {
      if (arg == "--") operands_only = true;
      if (arg == command && verify) {
        args.insert(args.end(), {arg, "--verify"});
        verify = false;
        continue;
      }
      if (arg == "--all" || arg == "--json" || arg == "--no-color" || arg == "--skip-busy" || arg == "--no-verify" ||
          arg.rfind("--log-dir=", 0) == 0) {
        continue;
      }
      if (arg == "--log-dir") {
        ++i;
        continue;
      }
    }
    args.push_back(arg);
  }
  return args;
}

// A board's part of a file name: its serial (or path) with anything but
// letters, digits, '-' and '.' as '_', at most 64 characters.
std::string file_label(const Board& board) {
  std::string name = (board.serial.empty() ? board.path : board.serial).substr(0, 64);
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') c = '_';
  }
  return name;
}

// The run's UTC time in the given strftime format.
std::string utc_text(std::time_t when, const char* format) {
  std::tm parts{};
  gmtime_r(&when, &parts);
  char text[40];
  std::strftime(text, sizeof text, format, &parts);
  return text;
}

// What a log says first, so that it stands on its own: when, which tool,
// what was asked, which image and which bridge.
struct LogHeader {
  std::time_t when = 0;
  std::string command_line;  // escaped
  std::string image;         // "NAME, N bytes, SHA-256 HEX", or empty
};

std::string quoted_command_line(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = safe_text(argv[i]);
    const bool plain = !arg.empty() && arg.find_first_of(" \t'\"") == std::string::npos;
    line += (i != 0 ? " " : "") + (plain ? arg : "'" + arg + "'");
  }
  return line;
}

// Creates the board's log new: never over an existing file, never through a
// symlink. False (with log_error set) when it cannot be.
bool open_log(Board& b, const std::string& dir, const std::string& command, const LogHeader& header) {
  b.log_name = dir + "/" + utc_text(header.when, "%Y%m%dT%H%M%SZ") + "-" + file_label(b) + "-" +
               std::to_string(b.index) + ".log";
  const int fd = open(b.log_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd >= 0) b.log = fdopen(fd, "w");
  if (b.log == nullptr) {
    b.log_error = "cannot be created: " + errno_text();
    if (fd >= 0) close(fd);
    return false;
  }
  std::fprintf(b.log, "time: %s\nversion: kdtool %s\ncommand line: %s\n",
               utc_text(header.when, "%Y-%m-%dT%H:%M:%SZ").c_str(), KDTOOL_VERSION, header.command_line.c_str());
  if (!header.image.empty()) std::fprintf(b.log, "image: %s\n", header.image.c_str());
  std::fprintf(b.log, "bridge: %s, serial %s, path %s\ncommand: %s\n\n", b.kind.c_str(),
               b.serial.empty() ? "(none)" : safe_text(b.serial).c_str(), safe_text(b.path).c_str(), command.c_str());
  return true;
}

// Closes the log; false (with log_error set) when it is not whole.
bool close_log(Board& b) {
  if (b.log == nullptr) return b.log_error.empty();
  const bool failed = std::ferror(b.log) != 0;
  const int saved = errno;
  const bool closed = std::fclose(b.log) == 0;
  b.log = nullptr;
  if (failed || !closed) b.log_error = std::string("could not be written whole: ") + std::strerror(failed ? saved : errno);
  return b.log_error.empty();
}

// ---- Telling the run -----------------------------------------------------

enum class Mode { kPipe, kLive, kJson };

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

  // JSON: the child's object with the board's bridge after its type.
  void pass_on(const Board& b, const Json& object) {
    if (mode_ != Mode::kJson) return;
    Json out{{"type", object.value("type", Json())}, {"bridge", b.bridge}};
    for (const auto& [key, value] : object.items()) {
      if (key != "type" && key != "bridge") out[key] = value;
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
  } else if (type == "info") {
    b.document = object;
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
      b.verified = command == "update" && b.written && !g_all.no_verify;
    } else if (ok) {
      b.result = "failed";
      b.reason = "ended with " + status_text(b.status) + " after its verdict";
    } else {
      b.result = is_stop_reason(b.reason) ? "interrupted" : "failed";
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
  // --no-color, NO_COLOR (not empty) and TERM=dumb, as for a single run.
  return terminal_colour_wanted() && terminal_stdout_is_tty() ? Mode::kLive : Mode::kPipe;
}

const char* result_text(const std::string& command, const Board& b) {
  if (b.result != "ok" || command != "update") return b.result.c_str();
  return !b.written ? "ok (current)" : b.verified ? "ok, verified" : "ok";
}

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
    std::error_code size_error;
    const auto size = std::filesystem::file_size(file, size_error);
    std::vector<uint8_t> bytes(size_error ? 0 : static_cast<size_t>(size));
    FILE* in = std::fopen(file.c_str(), "rbe");
    const bool read = in != nullptr && std::fread(bytes.data(), 1, bytes.size(), in) == bytes.size();
    if (in != nullptr) std::fclose(in);
    if (!read || size_error) return refuse(options, EXIT_BAD_INPUT, safe_text(file) + ": cannot be read");
    const std::string sha256 = sha256_hex(bytes.data(), bytes.size());
    image = Json{{"name", file}, {"size", bytes.size()}, {"sha256", sha256}};
    header.image = safe_text(file) + ", " + std::to_string(bytes.size()) + " bytes, SHA-256 " + sha256;
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

  // Ctrl+C, SIGTERM and SIGHUP from here on are ours to pass on.
  struct sigaction action {};
  action.sa_sigaction = on_signal;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) sigaction(signo, &action, nullptr);
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
  setenv(KDTOOL_ALL_PARENT, std::to_string(getpid()).c_str(), 1);

  Teller teller(mode, options, usable);
  for (Board* b : usable) {
    b->began = b->last_sign = Clock::now();
    if (g_all.log_dir_given && !open_log(*b, g_all.log_dir, command, header)) {
      std::fprintf(stderr, "kdtool: warning: log %s %s\n", safe_text(b->log_name).c_str(), b->log_error.c_str());
    }
    std::string spawn_why;
    if (g_interrupted) {
      b->result = "interrupted";
      b->reason = std::string(terminal_stop_name(g_interrupted)) + " before it started";
      b->reaped = true;
      continue;
    }
    if (!spawn(child_args(exe, *b, command, argc, argv), &b->child, &spawn_why)) {
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
        if (b->running) kill(b->child.pid, g_interrupted);
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
        b->killed_for = "still running " + std::to_string(kInterruptLimit.count()) + " s after " +
                        terminal_stop_name(g_interrupted) + ": killed";
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
  if (g_interrupted) verdict += "; stopped by " + std::string(terminal_stop_name(g_interrupted));
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
                 {"stopped_by", g_interrupted ? Json(terminal_stop_name(g_interrupted)) : Json()}};
    std::printf("%s\n", kdtool_json_text(summary).c_str());
  }
  std::fflush(stdout);
  return exit_code;
}

#endif
