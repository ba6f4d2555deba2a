// kdtool station: the options and the shift (see station.h and
// docs/station.md). The station itself looks at the fixtures (the engine's
// controller_presence, in this process: a look every quarter second costs a
// few HID reports, where a process per look would cost a core) and flashes
// each unit in a child of its own, exactly as `kdtool --json --path P update
// ... --verify` would on its own; the child's JSON Lines tell the station
// how the unit went.
//
// A slot's life: waiting for a module (or for Enter, --trigger key) ->
// flashing (the child) -> its verdict, recorded and on the disk -> power off
// -> replace the module: it waits until the controller no longer answers
// (or its bridge has gone) before it takes another unit, so that no unit is
// flashed twice in a row.
#include "kdtool/station_internal.h"

#include "app/entry.h"
#include "app/presence.h"
#include "console/safe_text.h"
#include "kdtool/all.h"
#include "kdtool/json.h"
#include "kdtool/options.h"
#include "platform/hid.h"
#include "platform/process.h"
#include "platform/terminal.h"
#include "sim_env.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <tuple>

namespace kdtool_station {

StationOptions g_station;

}  // namespace kdtool_station

using kdtool_station::g_station;

CLI::App* kdtool_station_add_command(CLI::App* app) {
  CLI::App* station =
      app->add_subcommand("station", "a production station: flashes every module put into a fixture, records each "
                                     "unit, shows the yield (docs/station.md)");
  station->add_option("--record", g_station.record, "append one JSON Lines record per unit to FILE");
  station->add_option("--csv", g_station.csv, "append one CSV row per unit to FILE");
  station->add_option("--count", g_station.count, "stop after N units")->check(CLI::Range(1L, 1000000000L).description(""));
  station->add_option("--trigger", g_station.trigger,
                      "auto: a module is flashed once it answers; key: once Enter is pressed (1-9: that slot alone)")
      ->check(CLI::IsMember({"auto", "key"}).description(""));
  station->add_option("--wait", g_station.wait_s, "with no usable bridge at start, wait S seconds for one (default: for ever)")
      ->check(CLI::Range(0.0, 1e9).description(""));
  station->add_flag("--no-verify", g_station.no_verify, "do not verify the written range (verified by default)");
  station->add_option("--summary", g_station.summary, "print the totals of a record file and end");
  return station;
}


#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

using namespace kdtool_station;
using kdtool_all::Board;

namespace {

constexpr auto kLookInterval = std::chrono::milliseconds(100);    // an empty fixture
constexpr auto kGoneInterval = std::chrono::milliseconds(100);    // waiting for a module to be taken out
constexpr auto kBrokenInterval = std::chrono::seconds(1);         // a bridge that failed its last look
constexpr auto kAfterPowerOff = std::chrono::milliseconds(500);   // the module stays off at least this long
constexpr auto kListInterval = std::chrono::seconds(1);           // the bridges, listed again
constexpr int kAbsentLooks = 2;  // looks in a row without a controller: the module is out
constexpr int kPollMs = 50;

// While the station looks at a fixture the drivers' own lines (the bridge's
// announcements, a skipped device) go nowhere: the slot's row says what
// matters.
class ConsoleSilenced {
 public:
  ConsoleSilenced() {
    std::fflush(stdout);
    std::fflush(stderr);
#ifdef _WIN32
    const int null = ::open("NUL", O_WRONLY);
#else
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
#endif
    if (null < 0) return;
    saved_out_ = dup(STDOUT_FILENO);
    saved_err_ = dup(STDERR_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    close(null);
  }
  ~ConsoleSilenced() {
    std::fflush(stdout);
    std::fflush(stderr);
    if (saved_out_ >= 0) dup2(saved_out_, STDOUT_FILENO), close(saved_out_);
    if (saved_err_ >= 0) dup2(saved_err_, STDERR_FILENO), close(saved_err_);
  }
  ConsoleSilenced(const ConsoleSilenced&) = delete;
  ConsoleSilenced& operator=(const ConsoleSilenced&) = delete;

 private:
  int saved_out_ = -1, saved_err_ = -1;
};

Presence look(const Slot& slot, ControllerVersions* versions, std::string* why) {
  const ConsoleSilenced quiet;
  hid_transport_restrict(slot.path, "");
  const Presence seen = controller_presence(slot.cp2112, versions, why);
  hid_transport_restrict("", "");
  return seen;
}

bool power_off(const Slot& slot, std::string* why) {
  const ConsoleSilenced quiet;
  hid_transport_restrict(slot.path, "");
  const bool off = controller_power_off(slot.cp2112, why);
  hid_transport_restrict("", "");
  return off;
}

std::string hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

class Station {
 public:
  Station(const KdtoolOptions& options, char** argv) : options_(options), exe_(process_own_executable(argv)) {}

  int run();

 private:
  // The bridges as the system lists them now: new slots, slots whose bridge
  // has gone, and slots whose bridge is back.
  void list_bridges();
  void look_at(Slot& slot, Clock::time_point now);
  void start_unit(Slot& slot);
  void read_unit(Slot& slot, Clock::time_point now);
  // A JSON object of the unit's process (start, progress, end).
  void read_object(Board& b, const Json& object, Slot& slot, Clock::time_point now);
  void end_unit(Slot& slot);
  void read_keys();
  void set_state(Slot& slot, SlotState state, const char* event, const std::string& detail);
  void power_off_for_key(Slot& slot);
  bool may_start() const {
    return process_stops() == 0 && !record_failed_ && !input_ended_ && (g_station.count == 0 || started_ < g_station.count);
  }
  int in_flight() const {
    return static_cast<int>(std::count_if(slots_.begin(), slots_.end(), [](const auto& s) { return s->run != nullptr; }));
  }
  std::vector<std::string> unit_args(const Slot& slot) const;

  const KdtoolOptions& options_;
  const std::string exe_;
  std::vector<std::unique_ptr<Slot>> slots_;
  Totals totals_;
  RecordFiles records_;
  Json image_, release_;
  Mode mode_ = Mode::kPipe;
  std::unique_ptr<View> view_;
  Clock::time_point began_ = Clock::now(), next_list_{};
  long started_ = 0;
  bool record_failed_ = false;
  std::string record_error_;
  bool input_ended_ = false;
  bool passed_on_ = false;
};

// With --trigger key a fixture has power only from Enter to the verdict.
void Station::power_off_for_key(Slot& slot) {
  std::string why;
  if (g_station.trigger == "key" && slot.cp2112 && !power_off(slot, &why)) {
    view_->event(slot, "bridge_failed", "power NOT switched off (" + safe_text(why) + ")");
  }
}

void Station::set_state(Slot& slot, SlotState state, const char* event, const std::string& detail) {
  slot.state = state;
  if (view_ != nullptr) view_->event(slot, event, detail);
}

void Station::list_bridges() {
  std::vector<KdtoolSeenBridge> seen;
  {
    const ConsoleSilenced quiet;
    seen = kdtool_attached_bridges(options_);
  }
  const SlotState ready = g_station.trigger == "key" ? SlotState::kTrigger : SlotState::kWaiting;
  for (const KdtoolSeenBridge& b : seen) {
    auto found = std::find_if(slots_.begin(), slots_.end(), [&](const auto& s) { return s->path == b.path; });
    if (found == slots_.end()) {
      auto slot = std::make_unique<Slot>();
      slot->kind = b.kind;
      slot->path = b.path;
      slot->serial = b.serial;
      slot->cp2112 = b.kind == "cp2112";
      slot->bridge = kdtool_json_bridge(b.kind, b.vendor_id, b.product_id, b.serial, b.path);
      slot->label = safe_text(b.serial.empty() ? b.path : b.serial);
      slots_.push_back(std::move(slot));
      Slot& s = *slots_.back();
      if (!b.problem.empty()) {
        s.note = safe_text(b.problem);
        set_state(s, SlotState::kUnusable, "unusable", s.note);
      } else {
        set_state(s, ready, "attached", "attached (" + s.kind + ", " + safe_text(s.path) + ")");
        power_off_for_key(s);
      }
      continue;
    }
    Slot& s = **found;
    if (s.state == SlotState::kGone) {
      // Back: a bridge that travels with its module brings a new unit.
      s.serial = b.serial;
      s.bridge = kdtool_json_bridge(b.kind, b.vendor_id, b.product_id, b.serial, b.path);
      s.label = safe_text(b.serial.empty() ? b.path : b.serial);
      s.note.clear();
      s.next_look = Clock::now();
      set_state(s, ready, "attached", "attached again");
      power_off_for_key(s);
    }
  }
  for (auto& slot : slots_) {
    const bool there = std::any_of(seen.begin(), seen.end(), [&](const KdtoolSeenBridge& b) { return b.path == slot->path; });
    // A unit in flight ends by itself when its bridge goes.
    if (!there && slot->state != SlotState::kGone && slot->run == nullptr) {
      slot->note.clear();
      set_state(*slot, SlotState::kGone, "unplugged", "bridge unplugged");
    }
  }
}

std::vector<std::string> Station::unit_args(const Slot& slot) const {
  std::vector<std::string> args = {exe_, "--json"};
  if (options_.virtual_hardware) args.push_back("--virtual");
  if (options_.vid != 0) args.insert(args.end(), {"--vid", hex4(options_.vid), "--pid", hex4(options_.pid)});
  char address[8];
  std::snprintf(address, sizeof address, "%X", options_.address);
  args.insert(args.end(), {"--addr", address, "--path", slot.path, "update", options_.operands[0], hex4(img_core_ver),
                           hex4(img_app_ver), hex4(img_para_ver)});
  if (!g_station.no_verify) args.push_back("--verify");
  if (options_.force) args.push_back("--force");
  if (options_.raw) args.push_back("--raw");
  return args;
}

void Station::start_unit(Slot& slot) {
  ++started_;
  auto run = std::make_unique<Board>();
  run->serial = slot.serial;
  run->path = slot.path;
  run->kind = slot.kind;
  run->bridge = slot.bridge;
  run->label = slot.label;
  run->began = run->last_sign = Clock::now();
  std::string why;
  slot.note.clear();
  if (!process_spawn(unit_args(slot), &run->child, &why, true)) {
    run->result = "failed";
    run->reason = "could not be started: " + why;
    run->reaped = true;
    slot.run = std::move(run);
    end_unit(slot);
    return;
  }
  run->running = true;
  slot.run = std::move(run);
  set_state(slot, SlotState::kFlashing, "flashing", "module found: flashing");
}

void Station::read_object(Board& b, const Json& object, Slot& slot, Clock::time_point now) {
  const std::string type = object.value("type", "");
  if (type == "start") {
    b.total = object.value("total", 0u);
    b.started = true;
    b.last_progress = now;
  } else if (type == "progress") {
    b.done = object.value("done", 0u);
    b.total = object.value("total", b.total);
    b.last_progress = now;
    if (!b.any_progress) {
      b.any_progress = true;
      b.rate_from = now;
      b.rate_base = b.done;
      if (view_->mode() != Mode::kLive) {
        view_->event(slot, "writing", "writing (first unit after " +
                                          kdtool_all::seconds_text(std::chrono::duration<double>(now - b.began).count()) +
                                          ")");
      }
    }
  } else if (type == "end") {
    b.end = object;
  }
}

void Station::read_unit(Slot& slot, Clock::time_point now) {
  Board& b = *slot.run;
  for (const bool is_out : {true, false}) {
    std::string* pending = is_out ? &b.out_pending : &b.err_pending;
    if ((is_out ? b.child.out : b.child.err) == -1) continue;
    const size_t before = pending->size();
    const bool open = is_out ? process_drain_out(&b.child, pending) : process_drain_err(&b.child, pending);
    if (pending->size() != before) b.last_sign = now;
    kdtool_all::lines(pending, !open, [&](const std::string& line) {
      if (!is_out) {
        kdtool_all::on_stderr_line(b, line);
        return;
      }
      const Json object = Json::parse(line, nullptr, false);
      if (!object.is_object()) return;
      view_->pass_on(slot, object);
      // A field of an unexpected type is left unread (the unit's verdict
      // then comes from its exit status), never taken for a crash of ours.
      try {
        read_object(b, object, slot, now);
      } catch (const nlohmann::json::exception&) {
      }
    });
  }
  // A unit that says nothing for long is taken for hung and killed.
  if (b.killed_for.empty() && now - b.last_sign > kdtool_all::kSilenceLimit) {
    b.killed_for = "no sign of life for " + std::to_string(kdtool_all::kSilenceLimit.count()) + " s: killed";
    process_kill(&b.child);
  }
  if (process_reap(&b.child)) {
    b.running = false;
    b.reaped = true;
    kdtool_all::settle(b, "update");
    end_unit(slot);
  }
}

// The unit's verdict: recorded (on the disk before anything else happens
// on the slot), counted, told, and the controller switched off.
void Station::end_unit(Slot& slot) {
  Board& b = *slot.run;
  if (b.seconds == 0) b.seconds = std::chrono::duration<double>(Clock::now() - b.began).count();
  const Json record = unit_record(b, static_cast<int>(totals_.units + 1), image_, release_);
  const double end = static_cast<double>(std::time(nullptr));
  totals_.add(record["result"], b.reason, end - b.seconds, end);
  view_->record(record);
  std::string why;
  if (!record_failed_ && !records_.append(record, &why)) {
    record_failed_ = true;
    record_error_ = why;
    view_->say("kdtool: " + why + ": the station stops after the units in flight");
  }
  const bool pass = b.result == "ok";
  std::string verdict = pass ? "PASS " + kdtool_all::seconds_text(b.seconds) : "FAIL: " + b.reason;
  if (pass && !b.written) verdict += " (already at the release versions)";
  if (b.result == "interrupted") verdict = "INTERRUPTED: " + b.reason;
  std::string off_why;
  if (power_off(slot, &off_why)) {
    verdict += " \xe2\x80\x94 power off, replace the module";
  } else if (!slot.cp2112) {
    verdict += " \xe2\x80\x94 replace the module (the custom board keeps it powered)";
  } else {
    verdict += " \xe2\x80\x94 power NOT switched off (" + safe_text(off_why) + "), replace the module";
  }
  if (g_station.trigger == "key") verdict += ", then press Enter";
  slot.note = verdict;
  slot.note_ok = pass;
  slot.absent_looks = 0;
  slot.triggered = false;
  slot.next_look = Clock::now() + kAfterPowerOff;
  slot.run.reset();
  set_state(slot, SlotState::kReplace, pass ? "pass" : "fail", verdict);
}

void Station::look_at(Slot& slot, Clock::time_point now) {
  const bool key = g_station.trigger == "key";
  if (slot.state == SlotState::kReplace && key && slot.triggered) slot.state = SlotState::kTrigger;
  if (slot.state == SlotState::kTrigger && !slot.triggered) return;
  if (slot.state != SlotState::kWaiting && slot.state != SlotState::kTrigger && slot.state != SlotState::kReplace) return;
  if (slot.state == SlotState::kReplace && key) return;
  if (now < slot.next_look && !slot.triggered) return;
  if (slot.state != SlotState::kReplace && !may_start()) return;
  ControllerVersions versions;
  std::string why;
  const Presence seen = look(slot, &versions, &why);
  const Clock::time_point after = Clock::now();
  if (seen == Presence::kNoBridge) {
    slot.next_look = after + kBrokenInterval;
    if (slot.note != safe_text(why)) {
      slot.note = safe_text(why);
      if (view_ != nullptr && slot.state != SlotState::kReplace) view_->event(slot, "bridge_failed", slot.note);
    }
    slot.triggered = false;
    return;
  }
  if (slot.state == SlotState::kReplace) {
    slot.absent_looks = seen == Presence::kAbsent ? slot.absent_looks + 1 : 0;
    slot.next_look = after + kGoneInterval;
    if (slot.absent_looks >= kAbsentLooks) {
      slot.note.clear();
      slot.next_look = after;
      set_state(slot, SlotState::kWaiting, "waiting", "module taken out: waiting for the next");
    }
    return;
  }
  if (seen == Presence::kAnswers) {
    slot.triggered = false;
    start_unit(slot);
    return;
  }
  slot.next_look = after + kLookInterval;
  if (slot.triggered) {
    slot.triggered = false;
    slot.note = "no module answers: check the fixture and press Enter";
    view_->event(slot, "no_module", slot.note);
  } else if (!slot.note.empty() && slot.state == SlotState::kWaiting) {
    slot.note.clear();
  }
}

void Station::read_keys() {
  if (g_station.trigger != "key" || input_ended_) return;
  while (terminal_key_waiting() != 0) {
    const int key = terminal_read_key();
    if (key < 0) {
      input_ended_ = true;
      view_->say("kdtool: input ended: no more units are started");
      return;
    }
    if (key == '\n' || key == '\r') {
      for (auto& slot : slots_) {
        if (slot->state == SlotState::kTrigger || slot->state == SlotState::kReplace) slot->triggered = true;
      }
    } else if (key >= '1' && key <= '9' && static_cast<size_t>(key - '1') < slots_.size()) {
      Slot& slot = *slots_[static_cast<size_t>(key - '1')];
      if (slot.state == SlotState::kTrigger || slot.state == SlotState::kReplace) slot.triggered = true;
    }
  }
}

int Station::run() {
  KdtoolOptions as_update = options_;
  as_update.command = "update";
  std::string reason;
  const auto refuse = [&](int code, const std::string& text) {
    std::fprintf(stderr, "kdtool: %s\n", text.c_str());
    if (options_.json) kdtool_json_failure(code, text);
    return code;
  };
  if (!kdtool_check_files(as_update, &reason)) return refuse(EXIT_BAD_INPUT, reason);
  image_ = kdtool_json_image_file(options_.operands[0]);
  if (image_.is_null()) return refuse(EXIT_BAD_INPUT, safe_text(options_.operands[0]) + ": cannot be read");
  release_ = Json{{"core", controller_version_text(img_core_ver)},
                  {"app", controller_version_text(img_app_ver)},
                  {"para", controller_version_text(img_para_ver)}};
  if (!records_.open(g_station.record, g_station.csv, &reason)) return refuse(EXIT_BAD_INPUT, reason);

  process_catch_stops();
  {
    // The station only looks at the virtual boards: the units' processes
    // write their flash files, never the station's copy of the boards.
    kdsim_leave_flash_files();
    const ConsoleSilenced quiet;
    const int started = options_.virtual_hardware ? kdsim_start() : hid_transport_start(&hid_transport_system);
    if (started != 0) return refuse(started, "the HID transport could not be started");
  }
  // Each unit learns whose it is: should the station end, the unit ends
  // its command in flight and stops.
  process_set_env(KDTOOL_ALL_PARENT, std::to_string(process_own_id()));

  mode_ = options_.json ? Mode::kJson
          : terminal_colour_wanted() && terminal_stdout_is_tty() ? Mode::kLive
                                                                 : Mode::kPipe;
  view_ = std::make_unique<View>(mode_, slots_, totals_, began_);
  FILE* text_out = mode_ == Mode::kJson ? stderr : stdout;
  std::fprintf(text_out, "Station: %s (%s bytes, SHA-256 %s), release %s/%s/%s, %s%s\n",
               safe_text(options_.operands[0]).c_str(), std::to_string(image_["size"].get<size_t>()).c_str(),
               image_["sha256"].get<std::string>().c_str(), release_["core"].get<std::string>().c_str(),
               release_["app"].get<std::string>().c_str(), release_["para"].get<std::string>().c_str(),
               g_station.no_verify ? "not verified" : "verified",
               g_station.trigger == "key" ? "; Enter starts the units (1-9: one slot)" : "");
  if (mode_ == Mode::kLive) std::fputs("Ctrl+C ends the shift after the units in flight.\n", stdout);
  std::fflush(text_out);

  // The first bridge.
  const Clock::time_point wait_end =
      g_station.wait_s < 0 ? Clock::time_point::max()
                           : began_ + std::chrono::milliseconds(static_cast<long>(g_station.wait_s * 1000));
  bool said_waiting = false;
  for (;;) {
    list_bridges();
    next_list_ = Clock::now() + kListInterval;
    if (std::any_of(slots_.begin(), slots_.end(), [](const auto& s) { return s->state != SlotState::kUnusable; })) break;
    if (process_stops() != 0) return refuse(EXIT_NO_BRIDGE, "Device Not Found: stopped while waiting for a bridge");
    if (Clock::now() >= wait_end) return refuse(EXIT_NO_BRIDGE, "Device Not Found: no usable bridge");
    if (!said_waiting) {
      view_->say("Waiting for a bridge ...");
      said_waiting = true;
    }
    process_wait({}, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(kListInterval).count()));
  }

  int stops_told = 0;
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (process_stops() != stops_told) {
      stops_told = process_stops();
      if (stops_told == 1) {
        view_->say(std::string("kdtool: ") + terminal_stop_name(process_stop_signal()) + ": no new units; " +
                   std::to_string(in_flight()) + " in flight finish" + (mode_ == Mode::kLive ? " (Ctrl+C again stops them)" : ""));
      }
    }
    // A second stop reaches the units in flight: each ends its command in
    // flight and stops, as a single run does.
    if (process_stops() >= 2 && !passed_on_) {
      passed_on_ = true;
      for (auto& slot : slots_) {
        if (slot->run != nullptr && slot->run->running) process_pass_stop(&slot->run->child, process_stop_signal());
      }
    }
    if (now >= next_list_) {
      list_bridges();
      next_list_ = Clock::now() + kListInterval;
    }
    read_keys();
    for (size_t i = 0; i < slots_.size(); ++i) {
      Slot& slot = *slots_[i];
      if (slot.run != nullptr) {
        read_unit(slot, now);
      } else {
        look_at(slot, now);
      }
    }
    const bool count_reached = g_station.count != 0 && started_ >= g_station.count;
    if ((!may_start() || count_reached) && in_flight() == 0) break;
    view_->draw(false);
    std::vector<ChildProcess*> children;
    for (const auto& slot : slots_) {
      if (slot->run != nullptr) children.push_back(&slot->run->child);
    }
    process_wait(children, kPollMs);
  }
  view_->draw(true);

  const bool ok = totals_.passed == totals_.units && !record_failed_;
  const int exit_code = ok ? EXIT_UPDATED : EXIT_UPDATE_FAILED;
  std::fprintf(text_out, "\n%s\n", view_->footer().c_str());
  for (const auto& [why, count] : totals_.failed_by_reason) std::fprintf(text_out, "  %4d failed: %s\n", count, why.c_str());
  std::string verdict = ok ? "Station OK: " : "Station FAILED: ";
  verdict += std::to_string(totals_.passed) + " of " + std::to_string(totals_.units) + " units passed";
  if (record_failed_) verdict += "; " + record_error_;
  if (process_stop_signal() != 0) verdict += "; stopped by " + std::string(terminal_stop_name(process_stop_signal()));
  if (input_ended_) verdict += "; input ended";
  const bool colour = mode_ == Mode::kLive;
  std::fprintf(text_out, "%s%s%s\n", colour ? (ok ? "\x1b[32m" : "\x1b[31m") : "", verdict.c_str(), colour ? "\x1b[0m" : "");
  if (mode_ == Mode::kJson) {
    Json summary = totals_.json(g_station.record);
    summary["ok"] = ok;
    summary["exit_code"] = exit_code;
    summary["stopped_by"] = process_stop_signal() != 0 ? Json(terminal_stop_name(process_stop_signal())) : Json();
    summary["record_error"] = record_failed_ ? Json(record_error_) : Json();
    std::printf("%s\n", kdtool_json_text(summary).c_str());
  }
  std::fflush(stdout);
  return exit_code;
}

}  // namespace

int kdtool_station_run(const KdtoolOptions& options, int, char** argv) {
  if (!g_station.summary.empty()) {
    if (!options.operands.empty() || !g_station.record.empty() || !g_station.csv.empty()) {
      return kdtool_bad_usage("station --summary FILE reads a record file: no image, --record or --csv with it");
    }
    return print_record_summary(g_station.summary, options.json);
  }
  if (options.operands.empty()) return kdtool_bad_usage("station: IMAGE CORE_VER APP_VER PARA_VER are needed");
  if (!options.path.empty() || !options.serial.empty()) {
    return kdtool_bad_usage("station uses every bridge: not with --path or --serial");
  }
  if (options.quiet || options.verbose) {
    return kdtool_bad_usage("station tells every unit: not with -q/--quiet or -v/--verbose");
  }
  if (!g_station.record.empty() && g_station.record == g_station.csv) {
    return kdtool_bad_usage("--record and --csv name the same file");
  }
  Station station(options, argv);
  return station.run();
}
