#include "app/run_outcome.h"

#include "app/entry.h"
#include "platform/hid.h"
#include "platform/terminal.h"

#include <cstdarg>
#include <cstdio>
#include <iterator>

bool g_run_reason_line = false;

namespace {

std::string g_reason;
RunReasonClass g_class = RUN_CLASS_NONE;
RunProgressSink g_sink = nullptr;
bool g_fold_lines = false;


void set_reason(RunReasonClass reason_class, const char* format, va_list args) {
  if (!g_reason.empty()) return;
  char text[160];
  std::vsnprintf(text, sizeof text, format, args);
  g_reason = text;
  g_class = reason_class;
}

// What to do next, one line per class.
constexpr const char* kHints[] = {
    nullptr,
    "the controller is left in update mode: run the update again",
    "plug the bridge back in and run the command again",
    "check the cable, see what kdtool list finds, and on Linux the udev rule (docs/hardware.md)",
    "another program holds the bridge (a second kdtool or fwdownload, a vendor's tool): close it or pick a free "
    "bridge with --serial (docs/windows.md, \"in use\")",
    "power-cycle the controller with kdtool reset, then run the command again",
    "check that the controller is powered and wired to the bridge, and its address (--addr)",
};
static_assert(std::size(kHints) == RUN_CLASS_NO_CONTROLLER + 1);

}  // namespace

void run_reason_set(const char* format, ...) {
  va_list args;
  va_start(args, format);
  set_reason(RUN_CLASS_NONE, format, args);
  va_end(args);
}

void run_reason_set_class(RunReasonClass reason_class, const char* format, ...) {
  va_list args;
  va_start(args, format);
  set_reason(reason_class, format, args);
  va_end(args);
}

RunReasonClass run_reason_class(void) { return g_class; }

const char* run_reason_hint(RunReasonClass reason_class) {
  return reason_class < std::size(kHints) ? kHints[reason_class] : nullptr;
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
      return run_reason_set_class(RUN_CLASS_NEVER_READY, "the controller did not report ready within %u s",
                                  g_unattended_ready_limit_ms / 1000);
    case READY_BRIDGE_FAILED:
    case READY_WRITE_FAILED:
      return run_reason_set_class(RUN_CLASS_SILENT, "%s", RUN_CONTROLLER_SILENT);
  }
}

const std::string& run_reason(void) { return g_reason; }

const std::string& run_reason_settle(void) {
  if (hid_transport_lost()) {
    g_reason = RUN_BRIDGE_UNPLUGGED;
    g_class = RUN_CLASS_UNPLUGGED;
  } else if (gloop == 0) {
    g_reason = terminal_stop_name(g_stop_signal);
    g_class = RUN_CLASS_NONE;
  } else if (g_reason.empty()) {
    g_reason = RUN_CONTROLLER_SILENT;
    g_class = RUN_CLASS_SILENT;
  }
  return g_reason;
}

void run_reason_clear(void) {
  g_reason.clear();
  g_class = RUN_CLASS_NONE;
}

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
