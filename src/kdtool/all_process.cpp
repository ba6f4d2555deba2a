// kdtool COMMAND --all: the children. Spawning them, reading their pipes
// and their JSON Lines, their exit statuses and each board's outcome, and the
// signals to pass on (see all.h).
#include "kdtool/all_internal.h"

#include "console/safe_text.h"

#ifndef _WIN32

#include "platform/terminal.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace kdtool_all {

volatile sig_atomic_t g_interrupted = 0;  // the signal that stopped the run, 0 none
volatile sig_atomic_t g_forward = 0;

// The terminal's Ctrl+C (and its hangup) reaches the children (same process
// group) by itself; a signal sent to the parent alone (kill, a line
// controller's SIGTERM) is passed on as it came.
void on_signal(int signo, siginfo_t* info, void*) {
  if (g_interrupted == 0) g_interrupted = signo;
  if (signo == SIGTERM || info == nullptr || info->si_code <= 0) g_forward = 1;
}

namespace {

// What ended a stopped run, as the children name it in their verdicts.
bool is_stop_reason(const std::string& reason) {
  return reason == terminal_stop_name(SIGINT) || reason == terminal_stop_name(SIGTERM) ||
         reason == terminal_stop_name(SIGHUP);
}

}  // namespace

// ---- Child processes -----------------------------------------------------

std::string errno_text() { return std::strerror(errno); }

std::string own_executable(char** argv) {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n > 0) return std::string(path, static_cast<size_t>(n));
  return argv[0];
}

// Starts `args` (args[0] the executable) with stdin from /dev/null and
// stdout and stderr each into a pipe of ours. Our ends are close-on-exec, so
// no other child holds them open.
bool spawn(const std::vector<std::string>& args, Child* child, std::string* why, bool own_group) {
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
  if (own_group) posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, static_cast<short>(POSIX_SPAWN_SETSIGDEF | (own_group ? POSIX_SPAWN_SETPGROUP : 0)));
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

// ---- Reading a board's output --------------------------------------------

namespace {

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
  const bool exited_0 = WIFEXITED(b.status) && WEXITSTATUS(b.status) == 0;
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
      b.reason = "ended with " + status_text(b.status) + " after its verdict";
    } else {
      b.result = is_stop_reason(b.reason) ? "interrupted" : "failed";
    }
  } else {
    b.result = "failed";
    b.reason = "ended without a verdict (" + status_text(b.status) + ")";
    if (!b.last_err_line.empty()) b.reason += ": " + safe_text(b.last_err_line);
  }
}

}  // namespace kdtool_all

#endif
