// kdtool station, inside: what its files share. station.cpp holds the
// options and the run (slots, units, signals); station_record.cpp the record
// files and --summary; station_view.cpp tells the shift (terminal, pipe,
// JSON).
#pragma once

#include "kdtool/all_internal.h"
#include "kdtool/station.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kdtool_station {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

struct StationOptions {
  std::string record;   // --record FILE: JSON Lines, appended
  std::string csv;      // --csv FILE: one row per unit, appended
  std::string summary;  // --summary FILE: totals of a record file
  long count = 0;       // --count N: stop after N units (0: no limit)
  std::string trigger = "auto";
  double wait_s = -1;   // --wait S: for a first bridge (negative: for ever)
  bool no_verify = false;
};
extern StationOptions g_station;

// ---- station_record.cpp: the record files --------------------------------

// One unit's record, as appended to --record (JSON Lines) and --csv.
Json unit_record(const kdtool_all::Board& run, int unit, const Json& image, const Json& release);
// "pass", "fail" or "interrupted": a record's result.
std::string record_result(const kdtool_all::Board& run);

class RecordFiles {
 public:
  ~RecordFiles();
  // Opens both files for appending (a CSV file that is empty gets its
  // header); false with the reason (exit 2: nothing powered yet).
  bool open(const std::string& jsonl, const std::string& csv, std::string* why);
  // Appends the record to each file and puts it on the disk; false with
  // the reason when any file did not take it whole.
  bool append(const Json& record, std::string* why);

 private:
  FILE* jsonl_ = nullptr;
  FILE* csv_ = nullptr;
  std::string jsonl_name_, csv_name_;
};

// kdtool station --summary FILE: exit code.
int print_record_summary(const std::string& file, bool json);

// The totals of a shift (the live footer, the end, --summary).
struct Totals {
  int units = 0, passed = 0, failed = 0, interrupted = 0;
  double first_start = 0, last_end = 0;  // seconds since the epoch, 0 none
  std::map<std::string, int> failed_by_reason;

  void add(const std::string& result, const std::string& reason, double start, double end);
  double yield_percent() const { return units == 0 ? 0 : 100.0 * passed / units; }
  // Units per hour over the span from the first unit's start to the last
  // one's end; 0 before there is a span.
  double per_hour() const;
  // The station_summary object of these totals (docs/json.md).
  Json json(const std::string& file) const;
};

// ---- station_view.cpp: telling the shift ---------------------------------

enum class SlotState { kWaiting, kTrigger, kFlashing, kReplace, kGone, kUnusable };

struct Slot {
  std::string kind, path, serial;
  Json bridge;
  std::string label;  // the serial (escaped), or the path when there is none
  bool cp2112 = false;
  SlotState state = SlotState::kWaiting;
  std::string note;  // what the state shows besides its name
  bool note_ok = false;  // the note is a pass
  Clock::time_point next_look{};
  int absent_looks = 0;
  bool triggered = false;  // --trigger key: Enter was pressed for it
  std::unique_ptr<kdtool_all::Board> run;  // the unit in flight
  Clock::time_point module_seen{};
};

enum class Mode { kPipe, kLive, kJson };

class View {
 public:
  View(Mode mode, const std::vector<std::unique_ptr<Slot>>& slots, const Totals& totals, Clock::time_point began)
      : mode_(mode), slots_(slots), totals_(totals), began_(began) {}
  Mode mode() const { return mode_; }
  // An event of a slot: a line in a pipe, an object with --json.
  void event(const Slot& slot, const char* state, const std::string& detail);
  // A child's JSON object, passed on with the slot's bridge (--json).
  void pass_on(const Slot& slot, const Json& object);
  // A record, as written (--json).
  void record(const Json& record);
  // A line of the station itself (pipe, terminal above the rows; stderr with --json).
  void say(const std::string& text);
  // Terminal: the rows and the footer, redrawn in place at most ten times a second.
  void draw(bool force);
  // The footer's text.
  std::string footer() const;

 private:
  std::string row(const Slot& slot, Clock::time_point now, size_t label_width) const;
  void erase();

  Mode mode_;
  const std::vector<std::unique_ptr<Slot>>& slots_;
  const Totals& totals_;
  Clock::time_point began_;
  int drawn_lines_ = 0;
  Clock::time_point last_frame_{};
};

}  // namespace kdtool_station
