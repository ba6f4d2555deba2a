// HID device driver of the custom bridge board: search, open, whole-report
// transfers.
//
// The board is searched under the command-line pair (img_vid, img_pid) and,
// when nothing usable matches, under the fallback pair that the board's own
// firmware enumerates with. Only matching devices are opened; a matching
// device that cannot be opened is named on the console with the reason and
// the search goes on. A device counts as found only when its report lengths
// are known and both reports hold a full request (QBM7750_MIN_REPORT_LENGTH);
// any other is closed again and skipped.
#pragma once

#include "platform/hid.h"

#include <cstdint>
#include <memory>

// The fallback pair: the identifiers of the board's own USB firmware.
constexpr uint16_t QBM7750_FALLBACK_VID = 0x1209;
constexpr uint16_t QBM7750_FALLBACK_PID = 0x7750;
// Report ID byte, 3 header bytes and 60 data bytes.
constexpr uint16_t QBM7750_MIN_REPORT_LENGTH = 64;
// How long a read waits for the board's input report before it fails.
constexpr int QBM7750_READ_TIMEOUT_MS = 1000;
// After a read that timed out, how long the next discard waits for that
// read's late answer; right after an open, how long it waits for an answer a
// killed run may have left in the board's IN endpoint.
constexpr int QBM7750_LATE_ANSWER_MS = 1000;
constexpr int QBM7750_LEFTOVER_AT_OPEN_MS = 20;
// The most input reports one discard takes before it gives up on a board
// that keeps sending them.
constexpr int QBM7750_MAX_DISCARDED = 64;

struct HidHandleCloser {
  void operator()(HidHandle* handle) const { hid_transport_close(handle); }
};

// The one device record. Buffers and the handle are released by close (and
// at exit, should a run end without it).
struct tHIDDevice {
  std::unique_ptr<HidHandle, HidHandleCloser> hDevice;  // null when closed
  uint16_t wVID = 0;            // fallback pair, set when the fallback search starts
  uint16_t wPID = 0;
  uint16_t g_InputLength = 0;   // report lengths, ID byte included
  uint16_t g_OutputLength = 0;
  std::unique_ptr<uint8_t[]> pInputReport;   // g_InputLength bytes, zero-filled at open
  std::unique_ptr<uint8_t[]> pOutputReport;  // g_OutputLength bytes, zero-filled at open
  int32_t bOpened = 0;  // 1 while open; every transfer checks it
  int32_t bAltIds = 0;  // 1 when found under the fallback pair
};

// Opens the board (usb_drv_qbm7750_open) and returns the device record,
// whether or not a board was found: look at bOpened.
tHIDDevice* usb_drv_qbm7750_init(void);
// 1 when a board is open, 0 when none was found. Prints the console lines of
// the search (fallback pair, attributes, report lengths, devices skipped).
int usb_drv_qbm7750_open(void);
// Closes the handle and frees both report buffers; nothing when not open.
void usb_drv_qbm7750_close(void);
// Sends one output report of `length` bytes (report ID first). 1 when the
// whole report went to the device; 0 on failure or when not open.
int usb_drv_qbm7750_write(const uint8_t* report, uint16_t length);
// Waits up to QBM7750_READ_TIMEOUT_MS for one input report and copies at most
// `length` bytes of it (report ID first). 1 when a report arrived; 0 when the
// time ran out, the transfer failed or the board is not open.
int usb_drv_qbm7750_read(uint8_t* buffer, uint16_t length);
// Throws away every input report already waiting, so that none is taken for
// the answer to the next request. The board's answers carry nothing that
// names their request, so a late one can only be told apart by time: after a
// read that timed out, the first look waits up to QBM7750_LATE_ANSWER_MS for
// that answer (right after an open, QBM7750_LEFTOVER_AT_OPEN_MS for a
// leftover); otherwise it does not wait. 1 when nothing is left waiting; 0
// when the transfer failed, the board kept sending reports, or it is not open.
int usb_drv_qbm7750_discard_input(void);

// Search: opens the first device in enumeration order that matches the pair,
// can be opened, and was not turned down earlier in this open; the handle
// goes to hDevice. 1 when one was opened, 0 when none.
int OpenHidDevice(uint16_t vendor_id, uint16_t product_id);
// Prints the attribute and report-length lines of the opened device and
// stores its lengths. 1 when the lengths are known, 0 otherwise (null
// handle: 0 at once, silently).
int GetHidReportLength(HidHandle* handle);
