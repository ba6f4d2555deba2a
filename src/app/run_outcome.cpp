#include "app/run_outcome.h"

#include "app/entry.h"
#include "platform/hid.h"
#include "platform/terminal.h"

#include <cstdarg>
#include <cstdio>

bool g_run_reason_line = false;

namespace {

std::string g_reason;
RunProgressSink g_sink = nullptr;
bool g_fold_lines = false;

}  // namespace

void run_reason_set(const char* format, ...) {
  if (!g_reason.empty()) return;
  char text[160];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  g_reason = text;
}

void run_reason_ready(ReadyResult result) {
  switch (result) {
    case READY_OK:
      return;
    case READY_KEY:
      return run_reason_set("a key ended the wait for the controller");
    case READY_STOPPED:
      return run_reason_set("%s", terminal_stop_name(g_stop_signal));
    case READY_TIMEOUT:
      return run_reason_set("the controller did not report ready within %u s", g_unattended_ready_limit_ms / 1000);
    case READY_BRIDGE_FAILED:
    case READY_WRITE_FAILED:
      return run_reason_set("%s", RUN_CONTROLLER_SILENT);
  }
}

const std::string& run_reason(void) { return g_reason; }

const std::string& run_reason_settle(void) {
  if (hid_transport_lost()) {
    g_reason = RUN_BRIDGE_UNPLUGGED;
  } else if (gloop == 0) {
    g_reason = terminal_stop_name(g_stop_signal);
  } else if (g_reason.empty()) {
    g_reason = RUN_CONTROLLER_SILENT;
  }
  return g_reason;
}

void run_reason_clear(void) { g_reason.clear(); }

void run_reason_print_line(void) {
  if (!g_run_reason_line) return;
  std::puts(run_reason_settle().c_str());
}

void run_progress_set_sink(RunProgressSink sink, bool fold_lines) {
  g_sink = sink;
  g_fold_lines = sink != nullptr && fold_lines;
}

void run_progress(uint32_t done, uint32_t total) {
  if (g_sink != nullptr) g_sink(done, total);
}

bool run_progress_lines(void) { return !g_fold_lines; }
