#include "kdtool/record_line.h"

#include "console/safe_text.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>

namespace {

// Seconds since the epoch of "YYYY-MM-DDTHH:MM:SSZ"; false when it is not
// one. (Written out: timegm is not on every system we build for.)
bool epoch_of(const std::string& text, double* seconds) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  char z = 0;
  if (text.size() != 20 || std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &z) != 7 ||
      z != 'Z' || y < 1970 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 ||
      s > 60) {
    return false;
  }
  // Days from the civil date (proleptic Gregorian).
  y -= mo <= 2;
  const long era = y / 400;
  const long yoe = y - era * 400;
  const long doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const long days = era * 146097 + doe - 719468;
  *seconds = static_cast<double>(days) * 86400 + h * 3600 + mi * 60 + s;
  return true;
}

}  // namespace

bool record_line_read(const std::string& line, RecordLine* record) {
  const nlohmann::json r = nlohmann::json::parse(line, nullptr, false);
  if (!r.is_object() || !r.contains("type") || r["type"] != "record" || !r.contains("result") ||
      !r["result"].is_string() || !r.contains("at") || !r["at"].is_string() || !r.contains("elapsed_s") ||
      !r["elapsed_s"].is_number()) {
    return false;
  }
  const double elapsed = r["elapsed_s"].get<double>();
  double end = 0;
  if (!std::isfinite(elapsed) || elapsed < 0 || !epoch_of(r["at"].get<std::string>(), &end)) return false;
  record->result = r["result"].get<std::string>();
  record->reason = r.contains("reason") && r["reason"].is_string() ? safe_text(r["reason"].get<std::string>()) : "";
  record->end = end;
  record->start = end - elapsed;
  return true;
}
