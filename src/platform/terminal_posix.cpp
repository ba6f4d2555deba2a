#include "platform/terminal.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace {

termios g_saved_mode;
volatile sig_atomic_t g_mode_changed = 0;
bool g_hooks_installed = false;
uint16_t g_attribute = 0x07;
volatile sig_atomic_t g_attribute_rendered = 0;

constexpr int kFatalSignals[] = {SIGTERM, SIGHUP, SIGQUIT, SIGINT};

constexpr char kResetAttributes[] = "\x1b[0m";

// Restores the terminal (key mode and colour), then lets the signal take its
// default course. Only async-signal-safe calls here.
void fatal_signal(int signo) {
  if (g_mode_changed) {
    tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_mode);
    g_mode_changed = 0;
  }
  if (g_attribute_rendered) {
    ssize_t ignored = write(STDOUT_FILENO, kResetAttributes, sizeof kResetAttributes - 1);
    (void)ignored;
    g_attribute_rendered = 0;
  }
  signal(signo, SIG_DFL);
  raise(signo);
}

void install_restore_hooks() {
  if (g_hooks_installed) return;
  g_hooks_installed = true;
  std::atexit(terminal_restore);
  for (int signo : kFatalSignals) {
    // Only where the signal would end the process anyway: a handler the
    // program installed itself (the Ctrl+C handler) stays in charge.
    struct sigaction current {};
    if (sigaction(signo, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      signal(signo, fatal_signal);
    }
  }
}

// Non-canonical, no echo, one byte at a time; ISIG stays so Ctrl+C works.
void enter_key_mode() {
  if (g_mode_changed || !isatty(STDIN_FILENO)) return;
  termios mode;
  if (tcgetattr(STDIN_FILENO, &mode) != 0) return;
  g_saved_mode = mode;
  install_restore_hooks();
  mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  mode.c_lflag |= ISIG;
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &mode) == 0) g_mode_changed = 1;
}

// Windows colour bits (blue 1, green 2, red 4) to the ANSI colour index
// (red 1, green 2, blue 4).
constexpr int ansi_index(unsigned nibble) {
  return ((nibble & 4) ? 1 : 0) | ((nibble & 2) ? 2 : 0) | ((nibble & 1) ? 4 : 0);
}

}  // namespace

int terminal_key_waiting(void) {
  enter_key_mode();
  pollfd fd{STDIN_FILENO, POLLIN, 0};
  if (poll(&fd, 1, 0) <= 0) return 0;
  // Data, end of input (POLLHUP) and a closed descriptor all count as a key:
  // a wait for a key must never hang on input that can no longer come.
  return 1;
}

int terminal_read_key(void) {
  enter_key_mode();
  unsigned char byte = 0;
  for (;;) {
    ssize_t n = read(STDIN_FILENO, &byte, 1);
    if (n == 1) return byte;
    if (n < 0 && errno == EINTR) continue;
    return -1;
  }
}

void terminal_restore(void) {
  if (g_mode_changed) {
    tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_mode);
    g_mode_changed = 0;
  }
  if (g_attribute_rendered) {
    std::fputs(kResetAttributes, stdout);
    std::fflush(stdout);
    g_attribute_rendered = 0;
  }
}

bool terminal_stdout_is_tty(void) { return isatty(STDOUT_FILENO) != 0; }
bool terminal_stdin_is_tty(void) { return isatty(STDIN_FILENO) != 0; }
bool terminal_takes_escapes(void) { return terminal_stdout_is_tty(); }

uint16_t terminal_get_attribute(void) { return g_attribute; }

int terminal_sgr_for_attribute(uint16_t attribute, char* out) {
  const unsigned fg = attribute & 0x0F;
  const unsigned bg = (attribute >> 4) & 0x0F;
  const int fg_code = ((fg & 8) ? 90 : 30) + ansi_index(fg);
  // Black background is left to the terminal's own background.
  const int bg_code = bg == 0 ? 49 : ((bg & 8) ? 100 : 40) + ansi_index(bg);
  return std::snprintf(out, 32, "\x1b[0;%d;%dm", fg_code, bg_code);
}

void terminal_set_attribute(uint16_t attribute) {
  g_attribute = attribute;
  if (!terminal_stdout_is_tty() || !terminal_colour_wanted()) return;
  char sgr[32];
  terminal_sgr_for_attribute(attribute, sgr);
  std::fputs(sgr, stdout);
  g_attribute_rendered = 1;
  install_restore_hooks();
}

bool terminal_screen_size(int* columns, int* rows) {
  if (!terminal_stdout_is_tty()) return false;
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return false;
  *columns = size.ws_col;
  *rows = size.ws_row;
  return true;
}

void terminal_clear(void) {
  if (terminal_stdout_is_tty()) std::fputs("\x1b[2J\x1b[H", stdout);
}

void terminal_move_cursor(int column, int row) {
  if (terminal_stdout_is_tty()) std::printf("\x1b[%d;%dH", row + 1, column + 1);
}

void terminal_startup(void) { std::setvbuf(stdout, nullptr, _IOLBF, 0); }

bool terminal_catch_ctrl_c(void (*handler)(int)) {
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
    if (std::signal(signo, handler) == SIG_ERR) return false;
  }
  return true;
}

const char* terminal_stop_name(int signo) {
  switch (signo) {
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "Ctrl+C";
  }
}

void terminal_keep_running_without_reader(void) { std::signal(SIGPIPE, SIG_IGN); }

void terminal_stop_with_parent(long parent) {
  prctl(PR_SET_PDEATHSIG, SIGHUP);
  // It may have ended before the request.
  if (getppid() != static_cast<pid_t>(parent)) raise(SIGHUP);
}
