// Console utilities: keyboard polling, screen, cursor, colours, the menu
// panel, and time keeping (display stamps, log-file names, stopwatch slots).
//
// Colours are console attributes: bits 0-3 foreground, 4-7 background, each
// nibble blue 1, green 2, red 4, intensity 8 (see platform/terminal.h for how
// they reach the screen).
#pragma once

#include <cstdint>
#include <ctime>

// Foreground colour codes used by the program.
enum : uint16_t {
  COLOR_DARK_RED = 4,
  COLOR_GREY = 7,
  COLOR_DARK_GREY = 8,
  COLOR_BRIGHT_BLUE = 9,
  COLOR_BRIGHT_GREEN = 10,
  COLOR_BRIGHT_CYAN = 11,
  COLOR_BRIGHT_RED = 12,
  COLOR_YELLOW = 14,
  COLOR_BRIGHT_WHITE = 15,
};

struct MenuKeyMark {
  int32_t ch;
  int32_t column;
};
extern const MenuKeyMark sc_master[4];
extern const MenuKeyMark sc_3x4[4];
extern const MenuKeyMark sc_navi[4];
extern const char str_all[];
extern const char str_sub[64];

struct ConsoleCoord {
  int16_t X;
  int16_t Y;
};
using ConsoleHandle = int;  // the output's descriptor

// Stopwatch slots, whole seconds and millisecond stamps.
constexpr unsigned kTimerSlots = 5;
extern uint32_t tm_saved_sec[kTimerSlots];
extern uint32_t tm_saved_msec[kTimerSlots];
// The local time last taken by tm_getCurrentTimeTM (null before).
extern struct tm* tm_currentTime;

// Keyboard (no echo). A key's code is its byte, except: -1 is the end of
// input (a key that stays waiting), and KEY_SEQUENCE is a terminal escape
// sequence (Esc [ parameters and a final byte, or Esc O and one byte, as the
// arrow and function keys send) or a Windows console extended key, read
// whole: one key that does nothing. An Esc that nothing follows within
// KEY_SEQUENCE_GAP_MS is the key Esc (0x1B) itself.
constexpr int KEY_SEQUENCE = 0x100;  // TERMINAL_KEY_EXTENDED too
constexpr unsigned KEY_SEQUENCE_GAP_MS = 50;
int console_chk_input_history(void);  // non-zero when a key is waiting; it stays waiting
int console_kbd_hit(void);            // same
int console_read_key(void);           // waits for a key and returns its code
int console_get_ch(void);             // same
void console_get_char(uint8_t* out);  // waits, stores the low 8 bits of the code
// Waits for a key and returns its code, leaving the key for the next read.
int console_peek_key(void);
// True when the keys come from a terminal (not from a pipe or a file).
bool console_keys_from_terminal(void);
// Forgets a key left by console_peek_key (for a new key source).
void console_drop_keys(void);
// The text a key is echoed as: a printable ASCII character itself, any
// other byte escaped ("\x1b"). `out` holds at least 8 bytes.
void console_key_text(int key, char* out);

// Screen and cursor.
void console_cls(void);
void console_cls2(uint16_t foreground, uint32_t background);
void console_gotoXY(int16_t x, int16_t y);
void GetConsoleCursorPosition(ConsoleHandle handle, ConsoleCoord* position);
int console_getX(void);
int console_getY(void);
void console_set_font_color(uint16_t foreground);
void console_set_color(uint16_t foreground, uint32_t background);
// Writes exactly `length` characters at the cursor: the text, padded with
// blanks when it is shorter.
void console_print(const char* text, int length);
void console_printAt(int16_t x, int16_t y, const char* text, int length);
void console_print_menu(int mode);
void console_hide_cursor(void);
void console_show_cursor2(void);

// Lifecycle and time.
int console_init(void);
void console_close(void);
void console_time_init(void);
void console_time_close(void);
void tm_getCurrentTimeTM(void);
void tm_console_time_get_str_from_current_time(char* out);       // >= 256 bytes, "%m/%d %H:%M:%S"
void tm_cnosole_time_get_filename_from_current_time(char* out);  // >= 256 bytes, "PVN7K_%Y%m%d_%H%M%S.log"
void console_time_reset_diff_sec(unsigned slot);
void console_time_reset_diff_msec(unsigned slot);
uint32_t console_time_get_diff_sec(unsigned slot);
uint32_t console_time_get_diff_msec(unsigned slot);
void console_time_delay_msec(uint32_t ms);

// The millisecond stamp of a clock reading: ((s mod 1080000000) * 1000 +
// us / 1000) in 32-bit arithmetic; differences of stamps are taken mod 2^32.
uint32_t tm_msec_stamp(uint64_t seconds, uint32_t microseconds);
