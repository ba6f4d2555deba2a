// libFuzzer target: any bytes as a device's HID report descriptor. The
// parser must stay inside the buffer, and what it reports must be usable:
// a length is 0 (no such report) or holds the ID byte and at least one more.
#include "platform/hid_report_descriptor.h"

#include <cstdint>
#include <initializer_list>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const HidReportLengths lengths = hid_report_lengths(data, size);
  if (!lengths.valid && (lengths.input != 0 || lengths.output != 0 || lengths.feature != 0)) __builtin_trap();
  for (const uint16_t length : {lengths.input, lengths.output, lengths.feature}) {
    if (length == 1) __builtin_trap();
  }
  return 0;
}
