#include "console/util_console.h"

#include "platform/sleep.h"
#include "platform/terminal.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

const MenuKeyMark sc_master[4] = {{'A', 16}, {'D', 29}, {'R', 44}, {'Q', 56}};
const MenuKeyMark sc_3x4[4] = {{'c', 17}, {'e', 30}, {'L', 44}, {'s', 59}};
const MenuKeyMark sc_navi[4] = {{'t', 18}, {'v', 35}, {'O', 48}, {'f', 62}};
const char str_all[] = " Activate     Deactivate     Restart     Quit";
const char str_sub[64] = " Activate     Deactivate     LED On      LEDs Off";

uint32_t tm_saved_sec[kTimerSlots] = {};
uint32_t tm_saved_msec[kTimerSlots] = {};
struct tm* tm_currentTime = nullptr;

namespace {

// The terminal cannot be asked where its cursor is without reading the reply
// from stdin, so the layer keeps the position its own operations set.
int16_t g_cursor_x = 0;
int16_t g_cursor_y = 0;

std::unique_ptr<struct tm> g_reserved_time;  // console_time_init's record
struct tm g_local_time {};                   // used when none is reserved

timeval now() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return tv;
}

uint32_t now_msec() {
  const timeval tv = now();
  return tm_msec_stamp(static_cast<uint64_t>(tv.tv_sec), static_cast<uint32_t>(tv.tv_usec));
}

// Labels start at column 15, behind the 13-column heading and two blanks.
constexpr int kMenuLabelWidth = 63;

void print_menu_row(int16_t row, const char* heading, uint16_t heading_attribute, const char* label,
                    const MenuKeyMark (&marks)[4]) {
  console_gotoXY(0, row);
  terminal_set_attribute(heading_attribute);
  console_print(heading, 13);
  terminal_set_attribute(0x0F);
  console_print("  ", 2);
  console_set_font_color(COLOR_BRIGHT_CYAN);
  console_print(label, kMenuLabelWidth);
  console_set_font_color(COLOR_YELLOW);
  for (const MenuKeyMark& mark : marks) {
    console_gotoXY(static_cast<int16_t>(mark.column), row);
    const char ch = static_cast<char>(mark.ch);
    console_print(&ch, 1);
  }
}

}  // namespace

uint32_t tm_msec_stamp(uint64_t seconds, uint32_t microseconds) {
  const uint32_t s = static_cast<uint32_t>(seconds % 1080000000u);
  return s * 1000u + microseconds / 1000u;
}

namespace {

static_assert(KEY_SEQUENCE == TERMINAL_KEY_EXTENDED);

constexpr int kNoKey = -2;
constexpr int kEsc = 0x1B;
// Longest escape sequence read as one key; a longer one ends there.
constexpr int kSequenceMaxBytes = 16;

int g_kept_key = kNoKey;   // left by console_peek_key
int g_byte_past_esc = kNoKey;  // read after an Esc that began no sequence

int next_byte() {
  if (g_byte_past_esc != kNoKey) {
    const int byte = g_byte_past_esc;
    g_byte_past_esc = kNoKey;
    return byte;
  }
  return terminal_read_key();
}

// Whether a byte (or the end of input) arrives within the sequence gap.
bool byte_follows() {
  for (unsigned waited = 0;; ++waited) {
    if (terminal_key_waiting() != 0) return true;
    if (waited >= KEY_SEQUENCE_GAP_MS) return false;
    platform_sleep_ms(1);
  }
}

int decode_key() {
  const int byte = next_byte();
  if (byte != kEsc || !byte_follows()) return byte;
  const int second = next_byte();
  if (second == 'O') {
    if (byte_follows()) next_byte();
    return KEY_SEQUENCE;
  }
  if (second != '[') {
    if (second >= 0) g_byte_past_esc = second;  // the next key of its own
    return byte;
  }
  for (int i = 0; i < kSequenceMaxBytes && byte_follows(); ++i) {
    const int next = next_byte();
    if (next < 0x20 || next > 0x3F) break;  // the final byte (or no parameter at all)
  }
  return KEY_SEQUENCE;
}

}  // namespace

int console_chk_input_history(void) {
  return g_kept_key != kNoKey || g_byte_past_esc != kNoKey || terminal_key_waiting() != 0 ? 1 : 0;
}
int console_kbd_hit(void) { return console_chk_input_history(); }
int console_read_key(void) {
  if (g_kept_key == kNoKey) return decode_key();
  const int key = g_kept_key;
  g_kept_key = kNoKey;
  return key;
}
int console_get_ch(void) { return console_read_key(); }
void console_get_char(uint8_t* out) { *out = static_cast<uint8_t>(console_read_key() & 0xFF); }
int console_peek_key(void) {
  if (g_kept_key == kNoKey) g_kept_key = decode_key();
  return g_kept_key;
}
bool console_keys_from_terminal(void) { return terminal_stdin_is_tty(); }
void console_drop_keys(void) { g_kept_key = g_byte_past_esc = kNoKey; }

void console_key_text(int key, char* out) {
  if (key >= 0x20 && key < 0x7F) {
    out[0] = static_cast<char>(key);
    out[1] = '\0';
  } else {
    std::snprintf(out, 8, "\\x%02x", static_cast<unsigned>(key) & 0xFFu);
  }
}

void console_cls(void) {
  int columns = 0;
  int rows = 0;
  if (!terminal_screen_size(&columns, &rows)) return;
  terminal_set_attribute(terminal_get_attribute());
  terminal_clear();
  g_cursor_x = 0;
  g_cursor_y = 0;
}

void console_cls2(uint16_t foreground, uint32_t background) {
  console_set_color(foreground, background);
  console_cls();
}

void console_gotoXY(int16_t x, int16_t y) {
  g_cursor_x = x;
  g_cursor_y = y;
  terminal_move_cursor(x, y);
}

void GetConsoleCursorPosition(ConsoleHandle handle, ConsoleCoord* position) {
  (void)handle;
  position->X = g_cursor_x;
  position->Y = g_cursor_y;
}

int console_getX(void) { return g_cursor_x; }
int console_getY(void) { return g_cursor_y; }

void console_set_font_color(uint16_t foreground) {
  const uint16_t current = terminal_get_attribute();
  terminal_set_attribute(static_cast<uint16_t>((current & 0xF0) | (foreground & 0x0F)));
}

void console_set_color(uint16_t foreground, uint32_t background) {
  terminal_set_attribute(static_cast<uint16_t>((background % 16) * 16 + (foreground % 16)));
}

void console_print(const char* text, int length) {
  if (length <= 0) return;
  const size_t n = strnlen(text, static_cast<size_t>(length));
  std::fwrite(text, 1, n, stdout);
  for (size_t i = n; i < static_cast<size_t>(length); ++i) std::fputc(' ', stdout);
  g_cursor_x = static_cast<int16_t>(g_cursor_x + length);
}

void console_printAt(int16_t x, int16_t y, const char* text, int length) {
  console_gotoXY(x, y);
  console_print(text, length);
}

void console_print_menu(int mode) {
  static constexpr char kTitle[] = "Pelmoranth FW Download Application";
  console_cls();
  console_gotoXY(0, 0);
  console_set_font_color(COLOR_BRIGHT_GREEN);
  console_print(kTitle, static_cast<int>(sizeof kTitle - 1));
  if (mode == 1) {
    print_menu_row(22, " All Devices ", 0xF0, str_all, sc_master);
    print_menu_row(23, "  1st slave  ", 0x70, str_sub, sc_3x4);
    print_menu_row(24, "  2nd slave  ", 0x70, str_sub, sc_navi);
  }
  console_set_font_color(COLOR_BRIGHT_WHITE);
  console_print("\n", 1);
  console_gotoXY(0, 2);
}

// Both only look at the cursor, as the console tool always did; no caller
// relies on the cursor being hidden.
void console_hide_cursor(void) {}
void console_show_cursor2(void) {}

int console_init(void) {
  console_cls();
  console_time_init();
  return 0;
}

void console_close(void) { console_time_close(); }

void console_time_init(void) {
  g_reserved_time = std::make_unique<struct tm>();
  for (unsigned slot = 0; slot < kTimerSlots; ++slot) {
    tm_saved_sec[slot] = static_cast<uint32_t>(now().tv_sec);
    tm_saved_msec[slot] = now_msec();
  }
}

void console_time_close(void) {
  if (g_reserved_time && tm_currentTime == g_reserved_time.get()) tm_currentTime = nullptr;
  g_reserved_time.reset();
}

void tm_getCurrentTimeTM(void) {
  const time_t t = time(nullptr);
  struct tm* record = g_reserved_time ? g_reserved_time.get() : &g_local_time;
  localtime_r(&t, record);
  tm_currentTime = record;
}

void tm_console_time_get_str_from_current_time(char* out) {
  const time_t t = time(nullptr);
  struct tm local {};
  localtime_r(&t, &local);
  strftime(out, 256, "%m/%d %H:%M:%S", &local);
}

void tm_cnosole_time_get_filename_from_current_time(char* out) {
  const time_t t = time(nullptr);
  struct tm local {};
  localtime_r(&t, &local);
  strftime(out, 256, "PVN7K_%Y%m%d_%H%M%S.log", &local);
}

void console_time_reset_diff_sec(unsigned slot) {
  if (slot < kTimerSlots) tm_saved_sec[slot] = static_cast<uint32_t>(now().tv_sec);
}

void console_time_reset_diff_msec(unsigned slot) {
  if (slot < kTimerSlots) tm_saved_msec[slot] = now_msec();
}

uint32_t console_time_get_diff_sec(unsigned slot) {
  if (slot >= kTimerSlots) return 0;
  return static_cast<uint32_t>(now().tv_sec) - tm_saved_sec[slot];
}

uint32_t console_time_get_diff_msec(unsigned slot) {
  if (slot >= kTimerSlots) return 0;
  return now_msec() - tm_saved_msec[slot];
}

void console_time_delay_msec(uint32_t ms) {
  const uint32_t start = now_msec();
  if (ms == 0) return;
  while (now_msec() - start < ms) {
  }
}
