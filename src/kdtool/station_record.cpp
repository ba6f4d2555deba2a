// kdtool station: the record files. One JSON Lines record per unit in
// --record FILE and one row per unit in --csv FILE, both appended (an
// existing file is never truncated) and put on the disk before the slot
// takes its next unit; and `station --summary FILE`, the totals of a record
// file (see station.h).
#include "kdtool/station_internal.h"

#include "console/safe_text.h"
#include "kdtool/json.h"
#include "kdtool/record_line.h"
#include "platform/file_open.h"
#include "platform/host.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <tuple>

#include "app/entry.h"

namespace kdtool_station {

namespace {

constexpr const char* kCsvColumns[] = {"at",           "host",          "unit",          "bridge_kind",
                                       "bridge_path",  "bridge_serial", "versions_before", "versions_after",
                                       "image_name",   "image_size",    "image_sha256",  "written",
                                       "verified",     "result",        "reason",        "elapsed_s"};

// "01.02/00.03/00.10", or empty for null.
std::string versions_cell(const Json& versions) {
  if (!versions.is_object()) return "";
  std::string text;
  for (const char* key : {"core", "app", "para"}) {
    text += (text.empty() ? "" : "/") + (versions.value(key, Json()).is_string() ? versions[key].get<std::string>() : "?");
  }
  return text;
}

// One CSV field (RFC 4180): quoted when it holds a separator, a quote or a
// line break. A text that a spreadsheet would take for a formula gets a
// leading apostrophe: a serial or a file name is not to run in it.
std::string csv_field(std::string text) {
  if (!text.empty() && std::strchr("=+-@\t\r", text[0]) != nullptr) text.insert(0, "'");
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string text_of(const Json& value) {
  if (value.is_string()) return safe_text(value.get<std::string>());
  if (value.is_null()) return "";
  if (value.is_boolean()) return value.get<bool>() ? "true" : "false";
  return value.dump();
}

std::string csv_row(const Json& r) {
  const Json& bridge = r["bridge"];
  const Json& image = r["image"];
  const std::vector<std::string> cells = {
      text_of(r["at"]),           text_of(r["host"]),           text_of(r["unit"]),
      text_of(bridge["kind"]),    text_of(bridge["path"]),      text_of(bridge["serial"]),
      versions_cell(r["versions_before"]), versions_cell(r["versions_after"]), text_of(image["name"]),
      text_of(image["size"]),     text_of(image["sha256"]),     text_of(r["written"]),
      text_of(r["verified"]),     text_of(r["result"]),         text_of(r["reason"]),
      text_of(r["elapsed_s"])};
  std::string row;
  for (const std::string& cell : cells) row += (row.empty() ? "" : ",") + csv_field(cell);
  return row + "\r\n";
}

bool write_synced(FILE* file, const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), file) == text.size() && platform_flush_to_disk(file) == 0;
}

// Whether the file's last byte is a line end (or it is empty): a power cut
// in the middle of a record leaves a torn last line, which must be ended
// before the next record, or that record would be glued to it and lost.
bool ends_a_line(const std::string& path) {
  FILE* in = platform_fopen(path.c_str(), "rb");
  if (in == nullptr) return true;
  int last = '\n';
  if (std::fseek(in, -1, SEEK_END) == 0) last = std::fgetc(in);
  std::fclose(in);
  return last == '\n' || last == EOF;
}

}  // namespace

void Totals::add(const std::string& result, const std::string& reason, double start, double end) {
  ++units;
  if (result == "pass") {
    ++passed;
  } else if (result == "interrupted") {
    ++interrupted;
  } else {
    ++failed;
    ++failed_by_reason[reason.empty() ? "(no reason given)" : reason];
  }
  if (start > 0 && (first_start == 0 || start < first_start)) first_start = start;
  if (end > last_end) last_end = end;
}

Json Totals::json(const std::string& file) const {
  Json reasons = Json::object();
  for (const auto& [reason, count] : failed_by_reason) reasons[reason] = count;
  return Json{{"type", "station_summary"},
              {"schema", KDTOOL_JSON_SCHEMA},
              {"file", file.empty() ? Json() : Json(file)},
              {"units", units},
              {"passed", passed},
              {"failed", failed},
              {"interrupted", interrupted},
              {"failed_by_reason", reasons},
              {"yield_percent", std::round(yield_percent() * 10) / 10},
              {"units_per_hour", std::round(per_hour() * 10) / 10}};
}

double Totals::per_hour() const {
  const double span = last_end - first_start;
  return units == 0 || first_start == 0 || span < 1 ? 0 : units * 3600.0 / span;
}

std::string record_result(const kdtool_all::Board& run) {
  return run.result == "ok" ? "pass" : run.result == "interrupted" ? "interrupted" : "fail";
}

Json unit_record(const kdtool_all::Board& run, int unit, const Json& image, const Json& release) {
  const Json& end = run.end;
  const auto from_end = [&](const char* key) { return end.is_object() && end.contains(key) ? end[key] : Json(); };
  const bool pass = run.result == "ok";
  return Json{{"type", "record"},
              {"schema", KDTOOL_JSON_SCHEMA},
              {"at", kdtool_json_utc_now()},
              {"host", platform_host_name()},
              {"unit", unit},
              {"bridge", run.bridge},
              {"image", image},
              {"release", release},
              {"versions_before", from_end("versions_before")},
              {"versions_after", from_end("versions_after")},
              {"written", run.written},
              {"verified", run.verified},
              {"result", record_result(run)},
              {"reason", pass ? Json() : Json(run.reason.empty() ? "no reason given" : run.reason)},
              {"hint", pass ? Json() : from_end("hint")},
              {"elapsed_s", kdtool_json_seconds(run.seconds)}};
}

RecordFiles::~RecordFiles() {
  if (jsonl_ != nullptr) std::fclose(jsonl_);
  if (csv_ != nullptr) std::fclose(csv_);
}

bool RecordFiles::open(const std::string& jsonl, const std::string& csv, std::string* why) {
  for (const auto& [name, file, label] : {std::tuple{&jsonl, &jsonl_, "--record"}, std::tuple{&csv, &csv_, "--csv"}}) {
    if (name->empty()) continue;
    *file = platform_fopen_append(name->c_str());
    if (*file == nullptr) {
      *why = std::string(label) + " " + safe_text(*name) + ": cannot be opened for appending: " +
             (errno == ELOOP ? "it is a symbolic link" : errno == EINVAL ? "not a regular file" : std::strerror(errno));
      return false;
    }
  }
  jsonl_name_ = jsonl;
  csv_name_ = csv;
  for (const auto& [name, file, end] : {std::tuple{&jsonl, jsonl_, "\n"}, std::tuple{&csv, csv_, "\r\n"}}) {
    if (file != nullptr && !ends_a_line(*name) && !write_synced(file, end)) {
      *why = safe_text(*name) + ": cannot be written: " + std::strerror(errno);
      return false;
    }
  }
  if (csv_ != nullptr && std::ftell(csv_) == 0) {
    std::string header;
    for (const char* column : kCsvColumns) header += (header.empty() ? "" : ",") + std::string(column);
    if (!write_synced(csv_, header + "\r\n")) {
      *why = "--csv " + safe_text(csv) + ": cannot be written: " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

bool RecordFiles::append(const Json& record, std::string* why) {
  if (jsonl_ != nullptr && !write_synced(jsonl_, kdtool_json_text(record) + "\n")) {
    *why = "--record " + safe_text(jsonl_name_) + ": cannot be written: " + std::strerror(errno);
    return false;
  }
  if (csv_ != nullptr && !write_synced(csv_, csv_row(record))) {
    *why = "--csv " + safe_text(csv_name_) + ": cannot be written: " + std::strerror(errno);
    return false;
  }
  return true;
}

int print_record_summary(const std::string& file, bool json) {
  FILE* in = platform_fopen(file.c_str(), "rb");
  if (in == nullptr || platform_file_kind(file.c_str()) != PlatformFileKind::kRegular) {
    const std::string reason = safe_text(file) + ": cannot be read" + (in == nullptr ? ": " + std::string(std::strerror(errno)) : "");
    if (in != nullptr) std::fclose(in);
    std::fprintf(stderr, "kdtool: %s\n", reason.c_str());
    if (json) kdtool_json_failure(EXIT_BAD_INPUT, reason);
    return EXIT_BAD_INPUT;
  }
  Totals totals;
  std::vector<long> bad_lines;
  std::string line;
  long number = 0;
  for (int c; (c = std::fgetc(in)) != EOF || !line.empty();) {
    if (c != EOF && c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) {
      RecordLine r;
      if (record_line_read(line, &r)) {
        totals.add(r.result == "pass" || r.result == "interrupted" ? r.result : "fail", r.reason, r.start, r.end);
      } else {
        bad_lines.push_back(number);
      }
    }
    line.clear();
    if (c == EOF) break;
  }
  const bool read_error = std::ferror(in) != 0;
  std::fclose(in);
  if (read_error) {
    const std::string reason = safe_text(file) + ": cannot be read to its end";
    std::fprintf(stderr, "kdtool: %s\n", reason.c_str());
    if (json) kdtool_json_failure(EXIT_BAD_INPUT, reason);
    return EXIT_BAD_INPUT;
  }
  if (json) {
    Json summary = totals.json(file);
    summary["lines_not_records"] = bad_lines;
    std::printf("%s\n", kdtool_json_text(summary).c_str());
    return EXIT_UPDATED;
  }
  std::printf("Records in %s\n", safe_text(file).c_str());
  std::printf("Units: %d  passed: %d  failed: %d  interrupted: %d\n", totals.units, totals.passed, totals.failed,
              totals.interrupted);
  if (totals.units != 0) std::printf("Yield: %.1f %%\n", totals.yield_percent());
  if (totals.per_hour() > 0) {
    const long span = std::lround(totals.last_end - totals.first_start);
    std::printf("Units per hour: %.1f (over %ld:%02ld:%02ld)\n", totals.per_hour(), span / 3600, span / 60 % 60, span % 60);
  }
  if (!totals.failed_by_reason.empty()) {
    std::printf("Failed by reason:\n");
    std::vector<std::pair<std::string, int>> reasons(totals.failed_by_reason.begin(), totals.failed_by_reason.end());
    std::stable_sort(reasons.begin(), reasons.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    for (const auto& [reason, count] : reasons) std::printf("  %4d  %s\n", count, reason.c_str());
  }
  if (!bad_lines.empty()) {
    std::string lines;
    for (size_t i = 0; i < bad_lines.size() && i < 10; ++i) lines += (i == 0 ? "" : ", ") + std::to_string(bad_lines[i]);
    if (bad_lines.size() > 10) lines += ", ...";
    std::printf("Lines that are not records (left out): %zu (line %s)\n", bad_lines.size(), lines.c_str());
  }
  return EXIT_UPDATED;
}

}  // namespace kdtool_station
