// Child processes: what a program that runs other kdtool processes (kdtool
// --all, the station) needs of the system to start them, read their output
// without blocking on any one of them, end them and learn how they ended,
// and the stops (Ctrl+C and its kin) it catches while they run.
//
// POSIX: posix_spawn, pipes read with poll(), waitpid, kill, sigaction.
// Windows: CreateProcessW with only the child's own three handles inherited,
// anonymous pipes read with PeekNamedPipe and ReadFile, the console's control
// events. A child shares our console (no process group of its own), so the
// console's Ctrl+C reaches every child by itself.
//
// A ChildProcess is used from one thread at a time; different children may
// be started and read from different threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One child: its process and the read ends of its stdout and stderr pipes. A
// plain value: copy it only while it is not running, and hand the same one to
// every call about the child.
struct ChildProcess {
  long id = -1;                // its process ID, -1 when none was started
  std::intptr_t process = -1;  // Windows: its process handle (POSIX: unused)
  std::intptr_t out = -1;      // read end of its stdout pipe, -1 once that ended
  std::intptr_t err = -1;      // read end of its stderr pipe, -1 once that ended
  bool ended = false;          // reaped: the two below tell how it ended
  int exit_code = -1;          // its exit code, -1 when a signal ended it
  int signal = 0;              // POSIX: the signal that ended it, 0 none
  bool own_group = false;      // started out of reach of the console's Ctrl+C
};

// Starts args (args[0] the executable, no shell, no search of PATH) with
// stdin from the null device and stdout and stderr each into a pipe of ours;
// the child gets our environment. False with the system's reason.
// `own_group`: the child is out of reach of the terminal's (the console's)
// Ctrl+C, in a process group of its own; only process_pass_stop stops it.
bool process_spawn(const std::vector<std::string>& args, ChildProcess* child, std::string* why,
                   bool own_group = false);
// Waits until any of the children has something to read, a pipe closed, or
// timeout_ms passed; a stop that comes meanwhile may cut it short (one wait
// only, so a run that goes on after a stop does not spin). Never blocks
// longer than timeout_ms.
void process_wait(const std::vector<ChildProcess*>& children, int timeout_ms);
// Append what the pipe holds now, without blocking; false once the pipe has
// ended (it is then closed, and every later call is false at once).
bool process_drain_out(ChildProcess* child, std::string* into);
bool process_drain_err(ChildProcess* child, std::string* into);
// Once both pipes ended: true when the child has ended (how it ended kept in
// the child; at once for one reaped already); never blocks. False while a
// pipe is still open.
bool process_reap(ChildProcess* child);
bool process_exited_0(const ChildProcess& child);
// "exit code N" or "killed by signal N (NAME)"; on Windows a status such as
// 0xC000013A (ended by Ctrl+C) is written in hexadecimal.
std::string process_status_text(const ChildProcess& child);
// Passes a stop on to the child as it came (POSIX: that signal). On Windows
// the console's Ctrl+C has reached every child already and there is no
// signal for one process alone: it does nothing, but for a child in a group
// of its own, which gets a Ctrl+Break (its Ctrl+C).
void process_pass_stop(ChildProcess* child, int signo);
// Ends it now (SIGKILL, TerminateProcess) and reaps it; should it not be gone
// within a few seconds (a process stuck in the kernel), process_reap reaps it
// later. Its pipes are left to be drained: what it wrote before is still
// there, and they end with it.
void process_kill(ChildProcess* child);

// Our own executable's path, for starting more of ourselves (argv[0] when
// the system cannot say).
std::string process_own_executable(char** argv);
// Sets a variable in our environment, which every child started after gets.
void process_set_env(const char* name, const std::string& value);
long process_own_id();

// The stops of a run with children: Ctrl+C, SIGTERM and SIGHUP (Windows:
// Ctrl+C and Ctrl+Break as SIGINT; the console closed, log off and shut down
// as SIGTERM, and then the process is kept alive only as long as Windows
// allows, about 5 s). Installs the handler and ignores SIGPIPE: a reader of
// our output that goes away does not end us while children run.
void process_catch_stops();
// The signal that stopped the run, 0 none (terminal_stop_name() names it).
int process_stop_signal();
// How many stops have come so far (a second Ctrl+C may mean more than the first).
int process_stops();
// The stop did not reach the children by itself (sent to us alone: kill, a
// line controller's SIGTERM), so it is to be passed on. Never on Windows.
bool process_stop_to_pass_on();
