#include "console/log.h"

#include "console/safe_text.h"

#include <cstdarg>

uint8_t log_disabled[1] = {0};
FILE* stream = nullptr;
const char* log_fmt = nullptr;
const char emptyStr[] = "";

constexpr LogIdxMapEntry log_idx_map_table_0[194] = {};
constexpr LogIdxMapEntry log_idx_map_table_1[106] = {};

namespace {
emul_debug_sink_t g_debug_sink = nullptr;
}

void log_init(void) {
  if (stream != nullptr) std::fclose(stream);
  stream = std::fopen("output.log", "w");
}

void log_close(void) {
  if (stream == nullptr) return;
  std::fclose(stream);
  stream = nullptr;
}

void log_printf(uint8_t level, const char* format, ...) {
  if (level >= sizeof log_disabled || log_disabled[level] != 0) return;
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  std::vprintf(format, args);
  if (stream != nullptr) std::vfprintf(stream, format, again);
  va_end(again);
  va_end(args);
}

const char* log_get_fmt(void) {
  const char* current = log_fmt;
  log_fmt = emptyStr;
  return current;
}

void EMUL_DEBUG_PRINT(uint8_t level, const char* format, ...) {
  (void)level;
  if (g_debug_sink == nullptr) return;
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  g_debug_sink(line);
}

void emul_debug_set_sink(emul_debug_sink_t sink) { g_debug_sink = sink; }

void emul_debug_to_stderr(void) {
  emul_debug_set_sink([](const char* line) {
    // One line per report, whether or not the caller ended it; a report of
    // a line break alone ends pieces already written as lines.
    std::string_view rest = line;
    if (!rest.empty() && rest.back() == '\n') rest.remove_suffix(1);
    if (rest.empty()) return;
    std::string text;
    for (size_t end; (end = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(end + 1)) {
      text += safe_text(rest.substr(0, end)) + "\n";
    }
    text += safe_text(rest) + "\n";
    std::fputs(text.c_str(), stderr);
  });
}
