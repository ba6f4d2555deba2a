// Device mode, reset, ready status and version check.
//
// Registers (16-bit addresses, framing by app/master.h):
//   0x0120  8 bytes read   version block: BOOT, CORE, PUBL, CONF (16-bit LE)
//   0x0600  1 byte  read   status: 0xA0 ready, 0x77 log record waiting,
//                          0xAA image waiting; anything else keeps a wait going
//   0x0610  1 byte  write  mode register (first byte of tSetter); 0x11 resets
//
// The waits poll the status register, passes at least 1 ms apart (a status
// read on a real bridge takes longer than that), with no time limit while
// the bridge answers (but see g_unattended_ready_limit_ms). Each pass: read
// the status; while tLogCtrl.bLogEnable is 1 hand 0x77 and 0xAA to the
// readers the diagnostic console installed (g_ready_log_reader,
// g_ready_image_reader); test the keyboard; stop on 0xA0; stop when gloop
// is 0.
//
// Keys. On a terminal the space bar ends WaitForReadyStatus and other keys
// are read and dropped. When the keys do not come from a terminal (a
// script), the space bar ends it too, but any other key is left for after
// the wait, in order, and the wait goes on. The end of input ends a wait as
// the space bar does where the keys are the run's script
// (g_end_of_input_ends_waits: the diagnostic console); elsewhere (an update
// with stdin from /dev/null) it is passed over and the wait goes on.
//
// A status read that fails gives STATUS_READ_FAILED for that pass, so the
// wait goes on. A status of 0xFF counts as a failed read: it is what a bus
// with no controller on it reads as (the custom board reports no missing
// acknowledge), so a controller lost mid-run ends the wait as a dead bridge
// does. A bridge that is gone would otherwise hold the program in
// the wait for ever, so a wait also ends (READY_BRIDGE_FAILED) once status
// reads have failed without a break for at least READY_LOST_MS milliseconds
// and at least READY_LOST_MIN_READS times: one slow or transiently failing
// read never ends a wait, a dead bridge ends it within about a second.
#pragma once

#include <cstdint>

constexpr uint16_t REG_VERSION = 0x0120;
constexpr uint16_t REG_STATUS = 0x0600;
constexpr uint16_t REG_MODE = 0x0610;

constexpr uint8_t STATUS_READY = 0xA0;
constexpr uint8_t STATUS_LOG_WAITING = 0x77;
constexpr uint8_t STATUS_IMAGE_WAITING = 0xAA;
// The status a pass works on when its read failed.
constexpr uint8_t STATUS_READ_FAILED = 0x00;
// The idle bus: no controller drove the status byte.
constexpr uint8_t STATUS_IDLE_BUS = 0xFF;

constexpr uint8_t MODE_UPDATE = 0x02;
constexpr uint8_t MODE_RESET = 0x11;

constexpr uint32_t READY_LOST_MS = 1000;
constexpr uint32_t READY_LOST_MIN_READS = 10;

constexpr uint8_t KEY_SPACE = 0x20;

// How a wait (or a mode request with its wait) ended.
enum ReadyResult : uint8_t {
  READY_OK = 0,         // the controller reported 0xA0 (or nothing had to be sent)
  READY_KEY,            // the space bar (WaitForReadyStatus) or any key (AnyKey)
  READY_STOPPED,        // gloop was 0 (Ctrl+C)
  READY_BRIDGE_FAILED,  // status reads kept failing (see above)
  READY_WRITE_FAILED,   // a mode request the bridge refused: nothing was waited for
  READY_TIMEOUT,        // WaitForReadyStatusWithin: the time limit ran out
};

// Longest wait for the ready status when nobody is at the keyboard (kdtool
// update and verify, and diag from a script); 0, the default, waits until a
// key or Ctrl+C. A wait that runs out ends with READY_TIMEOUT after a line
// saying so.
extern uint32_t g_unattended_ready_limit_ms;

// Set by the diagnostic console: the end of input ends a wait (see Keys).
extern bool g_end_of_input_ends_waits;

// What a wait does with a log record (status 0x77) or an image (0xAA) the
// controller announces while logging is on: the diagnostic console installs
// its readers here. Null (the default): the notice is left unserved and the
// wait goes on, so an update never calls up into the console.
using ReadyNoticeReader = int (*)(void);
extern ReadyNoticeReader g_ready_log_reader;
extern ReadyNoticeReader g_ready_image_reader;

// Waits for the ready status; the space bar (or the end of input) ends the
// wait early (see Keys above).
ReadyResult WaitForReadyStatus(void);
// Same, but any waiting key (or the end of input) ends the wait and is left
// unread.
ReadyResult WaitForReadyStatusAnyKey(void);
// WaitForReadyStatus that also ends (READY_TIMEOUT) after `limit_ms`.
ReadyResult WaitForReadyStatusWithin(uint32_t limit_ms);

// Longest wait for a request the controller is still carrying out once
// Ctrl+C (or the space bar) ended the wait for it: the power must not go
// while the controller programs flash or switches modes.
constexpr uint32_t FINISH_REQUEST_MS = 10000;

// Ctrl+C or the space bar ended the wait for a request the controller took
// (a mode or reset request, an IAP command): says so and waits, bounded by
// FINISH_REQUEST_MS, until the controller reports ready; the space bar or
// Ctrl+C again stops waiting. gloop is re-armed for the wait so that a
// second Ctrl+C shows, and is 0 again after it when a Ctrl+C began this.
// Returns how the wait ended.
ReadyResult FinishRequestInProgress(void);

// Requests mode `mode`: nothing when tSetter.ucMode already holds it;
// otherwise records it, writes the mode number to 0x0610 and waits for the
// ready status. A wait that a Ctrl+C during it ended (g_ctrl_c_presses)
// goes on through FinishRequestInProgress, since the power goes next (the
// result is still READY_STOPPED). The space bar only stops waiting
// (READY_KEY): a caller that ends the run on it finishes the request itself.
// A write the bridge refuses (READY_WRITE_FAILED) leaves ucMode as it was.
ReadyResult SetMode(uint8_t mode);
// Reset request: nothing when ucMode already holds `mode`; otherwise records
// it, writes 0x11 to 0x0610, and ends with PressAnyKeyToExit, which Ctrl+C
// ends through FinishRequestInProgress. With g_exit_key_waits off nobody is
// there to press a key, so it waits silently, bounded by FINISH_REQUEST_MS,
// for the controller to come back from its reset (a line says so when it
// does not). A refused write (READY_WRITE_FAILED) leaves ucMode as it was
// and prints and waits for nothing.
ReadyResult SetResetMode(uint8_t mode);

// The closing wait of an update: prints "Please press any key exit!!!" and
// waits (any key) for the ready status. With g_exit_key_waits off (an
// unattended run) it prints and waits for nothing and returns READY_OK.
ReadyResult PressAnyKeyToExit(void);

// Reads the version block, prints the controller's and the release versions
// and whether they are the same. Returns 1 when CORE, PUBL and CONF all
// equal the release versions, 0 otherwise. A block that cannot be read is
// shown cleared and counts as different (it proves nothing); `read_ok`, when
// given, tells whether the read succeeded; `versions`, when given, gets
// CORE, PUBL and CONF as read (cleared when the read failed).
uint8_t version_compare(bool* read_ok = nullptr, uint16_t* versions = nullptr);
