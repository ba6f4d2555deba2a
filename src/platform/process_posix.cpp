// Child processes on POSIX (see process.h): posix_spawn, non-blocking pipes
// read after poll(), waitpid, kill, and the stops caught with sigaction.
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace {

volatile sig_atomic_t g_stop = 0;  // the signal that stopped the run, 0 none
volatile sig_atomic_t g_pass_on = 0;
volatile sig_atomic_t g_stops = 0;

// The terminal's Ctrl+C (and its hangup) reaches the children (same process
// group) by itself; a signal sent to us alone (kill, a line controller's
// SIGTERM) is to be passed on as it came.
void on_stop(int signo, siginfo_t* info, void*) {
  if (g_stop == 0) g_stop = signo;
  if (g_stops < 1000) g_stops = g_stops + 1;
  if (signo == SIGTERM || info == nullptr || info->si_code <= 0) g_pass_on = 1;
}

int fd_of(std::intptr_t end) { return static_cast<int>(end); }

void close_end(std::intptr_t* end) {
  if (*end >= 0) close(fd_of(*end));
  *end = -1;
}

bool drain(std::intptr_t* end, std::string* into) {
  if (*end < 0) return false;
  char chunk[4096];
  for (;;) {
    const ssize_t n = read(fd_of(*end), chunk, sizeof chunk);
    if (n > 0) {
      into->append(chunk, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    close_end(end);
    return false;
  }
}

void keep_status(ChildProcess* child, int status) {
  child->ended = true;
  child->exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  child->signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

bool reap_now(ChildProcess* child) {
  int status = 0;
  pid_t got;
  do {
    got = waitpid(static_cast<pid_t>(child->id), &status, WNOHANG);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<pid_t>(child->id)) {
    keep_status(child, status);
    return true;
  }
  if (got < 0) {  // not ours to wait for (cannot happen for a child we started)
    child->ended = true;
    return true;
  }
  return false;
}

}  // namespace

// Our ends are close-on-exec, so no other child holds them open.
bool process_spawn(const std::vector<std::string>& args, ChildProcess* child, std::string* why, bool own_group) {
  *child = ChildProcess{};
  child->own_group = own_group;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    *why = std::strerror(errno);
    return false;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    *why = std::strerror(errno);
    close(out[0]);
    close(out[1]);
    return false;
  }
  // We ignore SIGPIPE; a child starts with the default.
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
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(out[1]);
  close(err[1]);
  if (failed != 0) {
    *why = std::strerror(failed);
    close(out[0]);
    close(err[0]);
    return false;
  }
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  fcntl(err[0], F_SETFL, O_NONBLOCK);
  child->id = pid;
  child->out = out[0];
  child->err = err[0];
  return true;
}

void process_wait(const std::vector<ChildProcess*>& children, int timeout_ms) {
  std::vector<pollfd> fds;
  for (const ChildProcess* child : children) {
    if (child->out >= 0) fds.push_back({fd_of(child->out), POLLIN, 0});
    if (child->err >= 0) fds.push_back({fd_of(child->err), POLLIN, 0});
  }
  poll(fds.data(), fds.size(), timeout_ms);  // a signal ends it early (EINTR)
}

bool process_drain_out(ChildProcess* child, std::string* into) { return drain(&child->out, into); }
bool process_drain_err(ChildProcess* child, std::string* into) { return drain(&child->err, into); }

bool process_reap(ChildProcess* child) {
  if (child->out >= 0 || child->err >= 0) return false;
  if (child->ended || child->id < 0) return true;
  return reap_now(child);
}

bool process_exited_0(const ChildProcess& child) { return child.ended && child.exit_code == 0; }

std::string process_status_text(const ChildProcess& child) {
  if (child.signal != 0) {
    const char* name = strsignal(child.signal);
    return "killed by signal " + std::to_string(child.signal) + (name != nullptr ? std::string(" (") + name + ")" : "");
  }
  return "exit code " + std::to_string(child.exit_code);
}

void process_pass_stop(ChildProcess* child, int signo) {
  if (!child->ended && child->id > 0) kill(static_cast<pid_t>(child->id), signo);
}

void process_kill(ChildProcess* child) {
  if (child->ended || child->id <= 0) return;
  kill(static_cast<pid_t>(child->id), SIGKILL);
  // Gone at once but for a process stuck in the kernel: that one is reaped
  // later, by process_reap.
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (!reap_now(child) && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string process_own_executable(char** argv) {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n > 0) return std::string(path, static_cast<size_t>(n));
  return argv[0];
}

void process_set_env(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

long process_own_id() { return static_cast<long>(getpid()); }

void process_catch_stops() {
  struct sigaction action {};
  action.sa_sigaction = on_stop;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) sigaction(signo, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int process_stop_signal() { return g_stop; }

int process_stops() { return g_stops; }

bool process_stop_to_pass_on() { return g_pass_on != 0; }
