// Terminal: keyboard polling and text attributes on a POSIX terminal, the
// stand-in for the Windows console and the C runtime's _kbhit/_getch.
//
// Keyboard. While the program polls for keys a terminal on stdin is put in
// non-canonical, no-echo mode (Ctrl+C still raises SIGINT); it is restored at
// exit, on fatal signals, and by terminal_restore(). When stdin is not a
// terminal (pipe, file, /dev/null) a waiting byte counts as a key and
// end-of-input counts as a key that is always waiting, so "press any key"
// waits never hang on a closed input.
//
// Output. Colours are Windows console attributes (bits 0-3 foreground, 4-7
// background; blue 1, green 2, red 4, intensity 8). The attribute is kept
// here whatever stdout is; it is rendered as ANSI SGR sequences only when
// stdout is a terminal. All output goes through C stdio's stdout so that it
// stays in order with printf/puts.
#pragma once

#include <cstdint>

// Console set-up for a run of a console program, called first thing in main:
// stdout keeps lines in order with what the Ctrl+C handler writes directly,
// and a Windows console shows UTF-8 output (its previous output code page
// comes back at exit). On POSIX stdout is line buffered. On Windows, whose C
// runtime has no line buffering, it is fully buffered and written out before
// every wait: a poll or read of a key here, a pause (platform/sleep.h), a HID
// read with a time limit, the Ctrl+C handler, and at exit.
void terminal_startup(void);
// Calls handler(SIGINT) when the user presses Ctrl+C (on Windows also
// Ctrl+Break). On POSIX SIGTERM and SIGHUP reach it too, with their own
// numbers: a line controller's stop and a closed terminal end a run the way
// Ctrl+C does, after the command in flight. On Windows the handler runs on a
// thread of its own, so it may only write to stdout directly and clear
// atomic flags. False when the handler could not be installed.
bool terminal_catch_ctrl_c(void (*handler)(int));
// What a signal the handler got is called in a verdict: "Ctrl+C" for
// SIGINT, "SIGTERM", "SIGHUP". A fixed string: safe in the handler.
const char* terminal_stop_name(int signo);
// From here on a reader of stdout that goes away (`| head`) only ends the
// printing: writes to it fail and the run goes on to its end (POSIX: SIGPIPE
// ignored; Windows has no such signal).
void terminal_keep_running_without_reader(void);
// For a process that another one started to watch it (kdtool --all): when
// `parent` ends, the handler of terminal_catch_ctrl_c gets SIGHUP (Windows,
// which has no SIGHUP: SIGTERM, from a thread that waits for the parent), at
// once if it has ended already.
void terminal_stop_with_parent(long parent);

// Non-zero when a key (or end of input) is waiting; never blocks.
int terminal_key_waiting(void);
// Waits for a key and returns its code; end of input returns -1. A Windows
// console's extended key (arrows, function keys: a 0x00 or 0xE0 prefix and
// a second code) returns TERMINAL_KEY_EXTENDED, both codes read.
int terminal_read_key(void);
constexpr int TERMINAL_KEY_EXTENDED = 0x100;
// True when stdin is a terminal (a console on Windows).
bool terminal_stdin_is_tty(void);
// Puts the terminal back as it was found (safe to call at any time, twice).
void terminal_restore(void);

// True when stdout is a terminal (escape sequences are written only then).
bool terminal_stdout_is_tty(void);
// True when stdout is a terminal that takes escape sequences (cursor moves
// and colours written as text): on POSIX any terminal; on Windows a console
// that does virtual terminal processing (Windows 10 and later), turned on
// here and back off at exit.
bool terminal_takes_escapes(void);

// Colours are left out (the attribute is still kept) when NO_COLOR is set and
// not empty, when TERM is "dumb", and after terminal_no_colour().
void terminal_no_colour(void);
bool terminal_colour_wanted(void);

// The current text attribute (0x07 grey on black at start).
uint16_t terminal_get_attribute(void);
// Sets the attribute and, on a terminal, renders it.
void terminal_set_attribute(uint16_t attribute);
// The SGR sequence that renders an attribute, for example "\x1b[0;93m".
// Writes at most 32 bytes including the terminating NUL; returns the length.
int terminal_sgr_for_attribute(uint16_t attribute, char* out);

// Screen size in cells; false when stdout is not a terminal.
bool terminal_screen_size(int* columns, int* rows);
// Clears the screen and homes the cursor (terminal only).
void terminal_clear(void);
// Moves the cursor, 0-based column and row (terminal only).
void terminal_move_cursor(int column, int row);
