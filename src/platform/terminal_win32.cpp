// The Windows console behind platform/terminal.h: keys from _kbhit/_getch
// when stdin is a console, bytes from a pipe or file otherwise; colours as
// console attributes (never escape sequences).
//
// Output. The C runtime has no line buffering, and unbuffered it hands the
// console one character per write: slow, and a UTF-8 sequence cut into
// single bytes shows as replacement characters on older consoles. So stdout
// is fully buffered and flushed whenever the program is about to wait (a key
// here, a pause in platform/sleep.h, a HID read) and at exit: the console gets
// everything printed since the last wait in one write. On a console stdout is
// in binary mode, since in text mode the runtime cuts each write into pieces
// of about 1 KB (a UTF-8 sequence could straddle two); the console itself
// starts a new line at LF. Files and pipes keep CR LF line ends.
#include "platform/terminal.h"

#include <windows.h>
#include <conio.h>
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

// Far more than the program prints between two waits: only a buffer that
// fills up is written wherever it ends, maybe inside a UTF-8 sequence.
char g_stdout_buffer[1 << 16];

uint16_t g_attribute = 0x07;     // kept when stdout is not a console
uint16_t g_found_attribute = 0;  // the console's own, put back at exit
bool g_attribute_changed = false;
UINT g_found_output_cp = 0;
std::atomic<void (*)(int)> g_ctrl_c_handler{nullptr};  // read on the console's thread

HANDLE stdin_handle() { return GetStdHandle(STD_INPUT_HANDLE); }
HANDLE stdout_handle() { return GetStdHandle(STD_OUTPUT_HANDLE); }

bool is_console(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

bool screen_info(CONSOLE_SCREEN_BUFFER_INFO* info) {
  return GetConsoleScreenBufferInfo(stdout_handle(), info) != 0;
}

void restore_output_cp() {
  if (g_found_output_cp != 0) SetConsoleOutputCP(g_found_output_cp);
}

// Runs on a thread the system starts for the event. The handler writes to
// the output directly: holding stdout's lock, with what is buffered written
// first, its text follows everything printed before it and never lands
// inside a printf of the main thread.
BOOL WINAPI on_console_event(DWORD event) {
  void (*handler)(int) = g_ctrl_c_handler.load();
  if ((event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) || handler == nullptr) return FALSE;
  _lock_file(stdout);
  std::fflush(stdout);
  handler(SIGINT);
  _unlock_file(stdout);
  return TRUE;
}

// The handler with stdout held, as for a console event.
void stop_with(int signo) {
  void (*handler)(int) = g_ctrl_c_handler.load();
  if (handler == nullptr) return;
  _lock_file(stdout);
  std::fflush(stdout);
  handler(signo);
  _unlock_file(stdout);
}

// The watch of the process that started us: it has ended.
DWORD WINAPI on_parent_end(void* parent) {
  WaitForSingleObject(static_cast<HANDLE>(parent), INFINITE);
  CloseHandle(static_cast<HANDLE>(parent));
  stop_with(SIGTERM);
  return 0;
}

// The process's creation time (0 when it cannot be read).
ULONGLONG created(HANDLE process) {
  FILETIME creation{}, exit{}, kernel{}, user{};
  if (!GetProcessTimes(process, &creation, &exit, &kernel, &user)) return 0;
  return (static_cast<ULONGLONG>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
}

}  // namespace

void terminal_startup(void) {
  std::fflush(stdout);
  if (is_console(stdout_handle())) _setmode(_fileno(stdout), _O_BINARY);
  std::setvbuf(stdout, g_stdout_buffer, _IOFBF, sizeof g_stdout_buffer);
  const UINT current = GetConsoleOutputCP();  // 0 without a console
  if (current != 0 && current != CP_UTF8 && g_found_output_cp == 0 && SetConsoleOutputCP(CP_UTF8)) {
    g_found_output_cp = current;
    std::atexit(restore_output_cp);
  }
}

bool terminal_catch_ctrl_c(void (*handler)(int)) {
  g_ctrl_c_handler.store(handler);
  return SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
}

const char* terminal_stop_name(int signo) { return signo == SIGTERM ? "SIGTERM" : "Ctrl+C"; }

void terminal_keep_running_without_reader(void) {}

// Windows has no SIGHUP: the parent's end stops the run as SIGTERM does.
void terminal_stop_with_parent(long parent) {
  const HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(parent));
  if (process == nullptr && GetLastError() != ERROR_INVALID_PARAMETER) return;  // not ours to watch
  // Gone already; or its ID is another process's now, one made after us.
  if (process == nullptr || created(process) > created(GetCurrentProcess())) {
    if (process != nullptr) CloseHandle(process);
    stop_with(SIGTERM);
    return;
  }
  const HANDLE watch = CreateThread(nullptr, 0, on_parent_end, process, 0, nullptr);
  if (watch == nullptr) {
    CloseHandle(process);
    return;
  }
  CloseHandle(watch);
}

int terminal_key_waiting(void) {
  std::fflush(stdout);  // whoever polls for a key shows what it printed first
  const HANDLE input = stdin_handle();
  if (is_console(input)) return _kbhit();
  if (GetFileType(input) == FILE_TYPE_PIPE) {
    DWORD waiting = 0;
    // A pipe whose writer is gone is end of input: a key that is always
    // waiting, so a wait for a key never hangs on it.
    if (!PeekNamedPipe(input, nullptr, 0, nullptr, &waiting, nullptr)) return 1;
    return waiting > 0 ? 1 : 0;
  }
  // A file, the NUL device or no input at all: data or end of input, at once.
  return 1;
}

int terminal_read_key(void) {
  std::fflush(stdout);
  const HANDLE input = stdin_handle();
  if (is_console(input)) {
    const int key = _getch();
    if (key != 0x00 && key != 0xE0) return key;
    _getch();  // the extended key's own code
    return TERMINAL_KEY_EXTENDED;
  }
  unsigned char byte = 0;
  DWORD got = 0;
  if (!ReadFile(input, &byte, 1, &got, nullptr) || got != 1) return -1;
  return byte;
}

void terminal_restore(void) {
  if (!g_attribute_changed) return;
  std::fflush(stdout);
  SetConsoleTextAttribute(stdout_handle(), g_found_attribute);
  g_attribute_changed = false;
}

bool terminal_stdout_is_tty(void) { return is_console(stdout_handle()); }
bool terminal_stdin_is_tty(void) { return is_console(stdin_handle()); }

bool terminal_takes_escapes(void) {
  static DWORD found_mode = 0;  // the console's own, put back at exit
  DWORD mode = 0;
  if (!GetConsoleMode(stdout_handle(), &mode)) return false;
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
  if (!SetConsoleMode(stdout_handle(), mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return false;
  found_mode = mode;
  std::atexit([] {
    std::fflush(stdout);
    SetConsoleMode(stdout_handle(), found_mode);
  });
  return true;
}

uint16_t terminal_get_attribute(void) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (screen_info(&info)) return info.wAttributes;
  return g_attribute;
}

void terminal_set_attribute(uint16_t attribute) {
  g_attribute = attribute;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!terminal_colour_wanted() || !screen_info(&info)) return;
  if (!g_attribute_changed) {
    g_found_attribute = info.wAttributes;
    g_attribute_changed = true;
    std::atexit(terminal_restore);
  }
  // Text still in stdio's buffer must come out in the colour it was printed in.
  std::fflush(stdout);
  SetConsoleTextAttribute(stdout_handle(), attribute);
}

bool terminal_screen_size(int* columns, int* rows) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!screen_info(&info)) return false;
  *columns = info.dwSize.X;
  *rows = info.dwSize.Y;
  return true;
}

void terminal_clear(void) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!screen_info(&info)) return;
  std::fflush(stdout);
  const DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
  const COORD home{0, 0};
  DWORD written = 0;
  FillConsoleOutputCharacterA(stdout_handle(), ' ', cells, home, &written);
  FillConsoleOutputAttribute(stdout_handle(), info.wAttributes, cells, home, &written);
  SetConsoleCursorPosition(stdout_handle(), home);
}

void terminal_move_cursor(int column, int row) {
  if (!terminal_stdout_is_tty()) return;
  std::fflush(stdout);
  SetConsoleCursorPosition(stdout_handle(), COORD{static_cast<SHORT>(column), static_cast<SHORT>(row)});
}
