// Child processes on Windows (see process.h). A child is started with
// CreateProcessW on a command line quoted as the C runtime and
// CommandLineToArgvW read it back; it inherits its three standard handles
// and nothing else (the handle list of STARTUPINFOEX, and our ends of its
// pipes are never inheritable). Its stdout and stderr are anonymous pipes:
// PeekNamedPipe says how much each holds, so ReadFile never blocks on one
// child while another has something to say. It shares our console, so the
// console's Ctrl+C reaches every child by itself, and each ends its command
// in flight as a single run does.
#include "platform/process.h"
#include "platform/win32_text.h"

#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

std::atomic<int> g_stop{0};  // the stop, as a signal number; 0 none
std::atomic<int> g_stops{0};  // stops so far
HANDLE g_stop_event = nullptr;  // set with the stop: cuts the next wait short, once
HANDLE g_exit_event = nullptr;  // set at exit: ends the wait of a console close
// One start at a time: while a child's ends are inheritable, no other child
// may be started (where the handle list is not honoured, it would get them).
std::mutex g_spawn_lock;

HANDLE handle_of(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }
std::intptr_t value_of(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

// The system's text for an error, as UTF-8 without its line end.
std::string system_text(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = length != 0 ? win32_utf8_from_wide(text) : "";
  if (text != nullptr) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) {
    out.pop_back();
  }
  return out.empty() ? "system error " + std::to_string(error) : out;
}

// One argument as the C runtime reads it back: quoted when it is empty or
// holds a blank or a quote; a quote escaped by a backslash, and backslashes
// doubled only where a quote follows them.
void append_quoted(const std::wstring& arg, std::wstring* line) {
  if (!line->empty()) *line += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    *line += arg;
    return;
  }
  *line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line->append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    *line += c;
  }
  line->append(backslashes * 2, L'\\');
  *line += L'"';
}

void close_end(std::intptr_t* end) {
  if (*end != -1) CloseHandle(handle_of(*end));
  *end = -1;
}

// What the pipe holds without blocking; false at its end (then closed).
bool drain(std::intptr_t* end, std::string* into) {
  if (*end == -1) return false;
  for (;;) {
    DWORD waiting = 0;
    if (!PeekNamedPipe(handle_of(*end), nullptr, 0, nullptr, &waiting, nullptr)) break;  // broken: the writer is gone
    if (waiting == 0) return true;
    char chunk[4096];
    DWORD got = 0;
    if (!ReadFile(handle_of(*end), chunk, waiting < sizeof chunk ? waiting : sizeof chunk, &got, nullptr) || got == 0) {
      break;
    }
    into->append(chunk, got);
  }
  close_end(end);
  return false;
}

// Something to read, or the end, on this pipe.
bool readable(std::intptr_t end) {
  DWORD waiting = 0;
  return end != -1 && (!PeekNamedPipe(handle_of(end), nullptr, 0, nullptr, &waiting, nullptr) || waiting > 0);
}

bool reap_now(ChildProcess* child) {
  const HANDLE process = handle_of(child->process);
  if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  child->exit_code = GetExitCodeProcess(process, &code) ? static_cast<int>(code) : -1;
  child->ended = true;
  CloseHandle(process);
  child->process = -1;
  return true;
}

// Runs on a thread the system starts for the event.
BOOL WINAPI on_console_event(DWORD event) {
  const bool closing = event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && !closing) return FALSE;
  int none = 0;
  g_stop.compare_exchange_strong(none, closing ? SIGTERM : SIGINT);
  ++g_stops;
  if (g_stop_event != nullptr) SetEvent(g_stop_event);
  // The process ends when this returns from a close: it holds on until the
  // run has ended (Windows ends it anyway after about 5 s).
  if (closing && g_exit_event != nullptr) WaitForSingleObject(g_exit_event, 10000);
  return TRUE;
}

void on_exit() {
  if (g_exit_event != nullptr) SetEvent(g_exit_event);
}

// Inheritable, for the child's end.
SECURITY_ATTRIBUTES inheritable() {
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.bInheritHandle = TRUE;
  return attributes;
}

}  // namespace

bool process_spawn(const std::vector<std::string>& args, ChildProcess* child, std::string* why, bool own_group) {
  *child = ChildProcess{};
  child->own_group = own_group;
  std::wstring application, line;
  for (size_t i = 0; i < args.size(); ++i) {
    std::wstring wide;
    if (!win32_wide_from_utf8(args[i].c_str(), &wide)) {
      *why = "an argument is not UTF-8 text";
      return false;
    }
    if (i == 0) application = wide;
    append_quoted(wide, &line);
  }
  if (application.empty()) {
    *why = "no program to start";
    return false;
  }

  const std::lock_guard<std::mutex> lock(g_spawn_lock);
  SECURITY_ATTRIBUTES attributes = inheritable();
  HANDLE pipes[2][2] = {{nullptr, nullptr}, {nullptr, nullptr}};  // stdout, stderr: read, write
  HANDLE input = INVALID_HANDLE_VALUE;
  auto close_all = [&] {
    for (auto& pipe : pipes) {
      for (HANDLE& end : pipe) {
        if (end != nullptr) CloseHandle(end);
        end = nullptr;
      }
    }
    if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
    input = INVALID_HANDLE_VALUE;
  };
  for (auto& pipe : pipes) {
    if (!CreatePipe(&pipe[0], &pipe[1], &attributes, 1 << 16) || !SetHandleInformation(pipe[0], HANDLE_FLAG_INHERIT, 0)) {
      *why = system_text(GetLastError());
      close_all();
      return false;
    }
  }
  input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes, OPEN_EXISTING, 0, nullptr);
  if (input == INVALID_HANDLE_VALUE) {
    *why = system_text(GetLastError());
    close_all();
    return false;
  }

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input;
  startup.StartupInfo.hStdOutput = pipes[0][1];
  startup.StartupInfo.hStdError = pipes[1][1];
  HANDLE inherited[3] = {input, pipes[0][1], pipes[1][1]};
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> list(size);
  // Our console; without a process group of its own the console's Ctrl+C
  // reaches it.
  DWORD flags = own_group ? CREATE_NEW_PROCESS_GROUP : 0;
  if (size != 0) {
    auto* attribute_list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
    if (InitializeProcThreadAttributeList(attribute_list, 1, 0, &size)) {
      if (UpdateProcThreadAttribute(attribute_list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited,
                                    nullptr, nullptr)) {
        startup.lpAttributeList = attribute_list;
        flags |= EXTENDED_STARTUPINFO_PRESENT;
      } else {
        DeleteProcThreadAttributeList(attribute_list);
      }
    }
  }
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                                      nullptr, &startup.StartupInfo, &process);
  const DWORD error = GetLastError();
  if (startup.lpAttributeList != nullptr) DeleteProcThreadAttributeList(startup.lpAttributeList);
  // The child's ends are its own now: ours go, so that its end closes the pipes.
  CloseHandle(pipes[0][1]);
  CloseHandle(pipes[1][1]);
  pipes[0][1] = pipes[1][1] = nullptr;
  CloseHandle(input);
  input = INVALID_HANDLE_VALUE;
  if (!started) {
    *why = system_text(error);
    close_all();
    return false;
  }
  CloseHandle(process.hThread);
  child->id = static_cast<long>(process.dwProcessId);
  child->process = value_of(process.hProcess);
  child->out = value_of(pipes[0][0]);
  child->err = value_of(pipes[1][0]);
  return true;
}

void process_wait(const std::vector<ChildProcess*>& children, int timeout_ms) {
  std::fflush(stdout);  // what was printed shows before a wait
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms > 0 ? timeout_ms : 0);
  for (;;) {
    // Anonymous pipes cannot be waited on: each is looked at, then a short
    // wait for a stop or a child's end (which also ends its pipes).
    std::vector<HANDLE> handles;
    if (g_stop_event != nullptr) handles.push_back(g_stop_event);
    for (const ChildProcess* child : children) {
      if (readable(child->out) || readable(child->err)) return;
      const bool open = child->out != -1 || child->err != -1;  // else it is the caller's to reap
      if (open && child->process != -1 && handles.size() < MAXIMUM_WAIT_OBJECTS) {
        handles.push_back(handle_of(child->process));
      }
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return;
    const DWORD step = static_cast<DWORD>(deadline - now < 10 ? deadline - now : 10);
    if (handles.empty()) {
      Sleep(step);
    } else if (WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, step) !=
               WAIT_TIMEOUT) {
      return;  // a stop, or a child ended: its pipes have ended too
    }
  }
}

bool process_drain_out(ChildProcess* child, std::string* into) { return drain(&child->out, into); }
bool process_drain_err(ChildProcess* child, std::string* into) { return drain(&child->err, into); }

bool process_reap(ChildProcess* child) {
  if (child->out != -1 || child->err != -1) return false;
  if (child->ended || child->process == -1) return true;
  return reap_now(child);
}

bool process_exited_0(const ChildProcess& child) { return child.ended && child.exit_code == 0; }

std::string process_status_text(const ChildProcess& child) {
  const auto code = static_cast<unsigned>(child.exit_code);
  if (code >= 0xC0000000u) {  // a status of the system: a crash, or ended by Ctrl+C
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", code);
    return std::string("exit code ") + text;
  }
  return "exit code " + std::to_string(child.exit_code);
}

void process_pass_stop(ChildProcess* child, int) {
  if (child->own_group && !child->ended && child->id > 0) {
    GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(child->id));
  }
}

void process_kill(ChildProcess* child) {
  if (child->ended || child->process == -1) return;
  TerminateProcess(handle_of(child->process), 1);
  // Gone at once but for a process stuck in a driver: that one is reaped
  // later, by process_reap.
  WaitForSingleObject(handle_of(child->process), 3000);
  reap_now(child);
}

std::string process_own_executable(char** argv) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return argv[0];
    if (n < path.size()) {
      path.resize(n);
      return win32_utf8_from_wide(path.c_str());
    }
    if (path.size() >= 32768) return argv[0];
    path.resize(path.size() * 2);
  }
}

void process_set_env(const char* name, const std::string& value) {
  std::wstring wide_name, wide_value;
  if (win32_wide_from_utf8(name, &wide_name) && win32_wide_from_utf8(value.c_str(), &wide_value)) {
    SetEnvironmentVariableW(wide_name.c_str(), wide_value.c_str());
  }
}

long process_own_id() { return static_cast<long>(GetCurrentProcessId()); }

void process_catch_stops() {
  if (g_stop_event == nullptr) g_stop_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (g_exit_event == nullptr) {
    g_exit_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atexit(on_exit);
  }
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

int process_stop_signal() { return g_stop.load(); }

int process_stops() { return g_stops.load(); }

bool process_stop_to_pass_on() { return false; }
