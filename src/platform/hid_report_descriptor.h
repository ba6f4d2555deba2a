// HID report descriptor: the report lengths a device declares.
//
// Backends that cannot ask the system for report lengths (hidapi before 0.14
// has no such call) read the device's report descriptor and compute them
// here, the way the HID class does: for each report ID the bits of every
// Input, Output or Feature main item add up; a report's length is the largest
// of them rounded up to whole bytes, plus the report ID byte. The ID byte is
// counted even when the device uses no numbered reports (it is then 0), as
// the HID class counts it.
#pragma once

#include <cstddef>
#include <cstdint>

struct HidReportLengths {
  bool valid = false;             // false: the descriptor is malformed or truncated
  bool numbered_reports = false;  // a Report ID item appears: every report starts with its ID
  uint16_t input = 0;             // 0 when the device has no report of that kind
  uint16_t output = 0;
  uint16_t feature = 0;
};

// Parses `length` bytes of a report descriptor. Pure; never reads past the
// end. A malformed descriptor gives valid = false and every length 0.
HidReportLengths hid_report_lengths(const uint8_t* descriptor, size_t length);
