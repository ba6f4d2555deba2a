// Log output: console messages with an optional copy in "output.log", and the
// trace hook that the bridge layers report to.
#pragma once

#include <cstdint>
#include <cstdio>

// The printf dialect of the C library in use: on Windows, mingw's own C99
// printf (the build asks for it), not the Microsoft one.
#ifdef __MINGW_PRINTF_FORMAT
#define FW_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define FW_PRINTF_FORMAT printf
#endif

// Per-level switches, indexed by the level byte of log_printf: 0 prints.
// Only level 0 exists; every caller uses it.
extern uint8_t log_disabled[1];
// The log file; null while none is open.
extern FILE* stream;
extern const char* log_fmt;
extern const char emptyStr[];

// Opens (creates or empties) "output.log" in the working directory. When it
// cannot be opened, `stream` stays null and nothing is said.
void log_init(void);
// Closes the log file, if one is open.
void log_close(void);
// Formats the message to stdout and, while a file is open, to the file too.
// Adds nothing (no prefix, no newline). Levels without a switch print nothing.
void log_printf(uint8_t level, const char* format, ...) __attribute__((format(FW_PRINTF_FORMAT, 2, 3)));
// The current format pointer (null on the first call); then sets it to "".
const char* log_get_fmt(void);

// Trace hook: every bridge and driver operation reports here. It prints
// nothing; a sink (tests, a future trace window) may be installed to receive
// each formatted line.
void EMUL_DEBUG_PRINT(uint8_t level, const char* format, ...) __attribute__((format(FW_PRINTF_FORMAT, 2, 3)));
using emul_debug_sink_t = void (*)(const char* line);
void emul_debug_set_sink(emul_debug_sink_t sink);
// Installs the sink that writes each trace line to stderr, every byte that
// is not a line break escaped (the lines carry device strings).
void emul_debug_to_stderr(void);

// Index map from the firmware's log indices to where the firmware raised
// them: file, line and message format. Nothing in the tool reads them; they
// ship with the tool for the log decoders to come. Unassigned entries are
// empty.
struct LogIdxMapEntry {
  const char* file;
  int line;
  const char* format;
};
extern const LogIdxMapEntry log_idx_map_table_0[194];
extern const LogIdxMapEntry log_idx_map_table_1[106];
