// How a run of the update, verify, dump, program or erase ended, and how far
// it got: the one place the library code reports both to the executables.
//
// Reason. The first failure point reached names what ended the run
// ("the bridge was unplugged", "the controller stopped answering", ...); a
// later, consequential failure does not replace it. The executables read it
// once the operation has returned.
//
// Progress. The update, verify, dump and program report bytes done of the
// total after each unit; with no sink set (the default) this costs one
// test. run_progress_lines() tells them whether to print their per-KiB and
// per-unit lines: false only while an executable folds them into a live
// progress line of its own.
#pragma once

#include <cstdint>
#include <string>

#include "app/device_mode.h"

constexpr char RUN_BRIDGE_UNPLUGGED[] = "the bridge was unplugged";
constexpr char RUN_CONTROLLER_SILENT[] = "the controller stopped answering";
constexpr char RUN_CTRL_C[] = "Ctrl+C";

// What a person can do about a reason: each class has one line saying what
// to do next (run_reason_hint). The class goes with the first reason set;
// reasons that need nothing from the person are RUN_CLASS_NONE.
enum RunReasonClass : uint8_t {
  RUN_CLASS_NONE = 0,
  RUN_CLASS_SILENT,         // the controller stopped answering mid-run
  RUN_CLASS_UNPLUGGED,      // the bridge went away mid-run
  RUN_CLASS_NO_BRIDGE,      // no bridge (or not the one named) was found
  RUN_CLASS_IN_USE,         // the bridge is held by another program
  RUN_CLASS_NEVER_READY,    // the controller never reported ready
  RUN_CLASS_NO_CONTROLLER,  // nothing answers at the controller's address
};

// Sets the reason (printf format) unless one is set already.
void run_reason_set(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same with its class.
void run_reason_set_class(RunReasonClass reason_class, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The class of the reason set (after run_reason_settle: of the final one).
RunReasonClass run_reason_class(void);
// The line saying what to do next for a class; nullptr for RUN_CLASS_NONE.
const char* run_reason_hint(RunReasonClass reason_class);
// The reason for how a wait for the ready status ended; nothing for READY_OK.
void run_reason_ready(ReadyResult result);
// The reason set, or "" when none is.
const std::string& run_reason(void);
// The reason for a run that failed, made final: the bridge was unplugged
// when a transfer found it gone (that ends everything after it), Ctrl+C when
// it was pressed ("SIGTERM" or "SIGHUP" when one of them stopped the run),
// else the reason set, else RUN_CONTROLLER_SILENT (a transfer the controller
// did not take).
const std::string& run_reason_settle(void);
// Forgets the reason and its class: each operation does so as it starts.
void run_reason_clear(void);
// When on, the update's failure ending prints the reason as its own line
// before "Flash Writing Fail!!!" (fwdownload and kdtool switch it on; the
// library call alone keeps its texts).
extern bool g_run_reason_line;
// The reason line itself (run_reason_settle).
void run_reason_print_line(void);

using RunProgressSink = void (*)(uint32_t done, uint32_t total);
// nullptr: no sink.
void run_progress_set_sink(RunProgressSink sink, bool fold_lines);
void run_progress(uint32_t done, uint32_t total);
bool run_progress_lines(void);
