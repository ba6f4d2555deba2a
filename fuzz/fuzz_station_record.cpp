// libFuzzer target: any bytes as one line of a station record file (kdtool
// station --summary reads files a user names). A line read as a record has
// a known shape: an escaped reason without control bytes, and a start that
// is not after its end.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "kdtool/record_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  RecordLine record;
  if (!record_line_read(line, &record)) return 0;
  for (unsigned char c : record.reason) {
    if (c < 0x20 || c == 0x7F) std::abort();
  }
  if (!std::isfinite(record.start) || !std::isfinite(record.end) || record.start > record.end) std::abort();
  return 0;
}
