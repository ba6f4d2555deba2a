// One line of a station record file, as `kdtool station --summary` reads it.
// The file is the user's (and may have been cut short by a power cut, or
// edited): any bytes at all are read without harm, and only a line that is
// a whole record counts.
#pragma once

#include <string>

struct RecordLine {
  std::string result;  // "pass", "fail" or "interrupted" (anything else counts as a failure)
  std::string reason;  // escaped; empty for a pass
  double start = 0;    // seconds since the epoch: its end less its elapsed time
  double end = 0;
};

// False when the line is not a record: not a JSON object of type "record",
// or without a string result, a UTC time "YYYY-MM-DDTHH:MM:SSZ" in "at" or a
// non-negative "elapsed_s".
bool record_line_read(const std::string& line, RecordLine* record);
