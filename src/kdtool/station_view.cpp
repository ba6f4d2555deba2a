// kdtool station: telling the shift. On a terminal one row per slot (its
// state, a bar while it flashes, its last verdict) and a footer with the
// totals, redrawn in place and fitted to the terminal; in a pipe one line
// per event, prefixed with the slot; with --json one object per event and
// per record (see docs/json.md).
#include "kdtool/station_internal.h"

#include "console/safe_text.h"
#include "kdtool/json.h"
#include "platform/terminal.h"

#include <algorithm>

namespace kdtool_station {

namespace {

constexpr auto kFrameInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 16;

}  // namespace

void View::event(const Slot& slot, const char* state, const std::string& detail) {
  if (mode_ == Mode::kPipe) {
    std::printf("%s: %s\n", slot.label.c_str(), detail.empty() ? state : detail.c_str());
    std::fflush(stdout);
  } else if (mode_ == Mode::kJson) {
    std::printf("%s\n", kdtool_json_text(Json{{"type", "slot"},
                                              {"at", kdtool_json_utc_now()},
                                              {"t_s", kdtool_json_seconds(std::chrono::duration<double>(Clock::now() - began_).count())},
                                              {"bridge", slot.bridge},
                                              {"state", state},
                                              {"detail", detail.empty() ? Json() : Json(detail)}})
                            .c_str());
    std::fflush(stdout);
  }
}

void View::pass_on(const Slot& slot, const Json& object) {
  if (mode_ != Mode::kJson) return;
  std::printf("%s\n", kdtool_json_text(kdtool_json_with_bridge(object, slot.bridge)).c_str());
  std::fflush(stdout);
}

void View::record(const Json& record) {
  if (mode_ != Mode::kJson) return;
  std::printf("%s\n", kdtool_json_text(record).c_str());
  std::fflush(stdout);
}

void View::say(const std::string& text) {
  if (mode_ == Mode::kJson) {
    std::fprintf(stderr, "kdtool: %s\n", text.c_str());
    return;
  }
  erase();
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

std::string View::footer() const {
  char text[160];
  std::snprintf(text, sizeof text, "units %d  passed %d  failed %d", totals_.units, totals_.passed,
                totals_.failed + totals_.interrupted);
  std::string footer = text;
  if (totals_.units != 0) {
    std::snprintf(text, sizeof text, "  yield %.1f %%", totals_.yield_percent());
    footer += text;
  }
  if (totals_.per_hour() > 0) {
    std::snprintf(text, sizeof text, "  %.0f units/h", totals_.per_hour());
    footer += text;
  }
  return footer;
}

std::string View::row(const Slot& slot, Clock::time_point now, size_t label_width) const {
  char head[160];
  std::snprintf(head, sizeof head, "%-*s  %-6s  ", static_cast<int>(label_width), slot.label.c_str(), slot.kind.c_str());
  std::string text = head;
  switch (slot.state) {
    case SlotState::kWaiting:
      return text + "waiting for a module" + (slot.note.empty() ? "" : "  (" + slot.note + ")");
    case SlotState::kTrigger:
      return text + "press Enter to start" + (slot.note.empty() ? "" : "  (" + slot.note + ")");
    case SlotState::kGone:
      return text + "bridge unplugged";
    case SlotState::kUnusable:
      return text + "cannot be used: " + slot.note;
    case SlotState::kReplace:
      return text + (slot.note_ok ? "\x1b[32m" : "\x1b[31m") + slot.note + "\x1b[0m";
    case SlotState::kFlashing:
      break;
  }
  const kdtool_all::Board& b = *slot.run;
  const int filled = b.total != 0 ? static_cast<int>(static_cast<double>(b.done) / b.total * kBarWidth) : 0;
  text += "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(kBarWidth - filled), '.') +
          "] ";
  char percent[16];
  std::snprintf(percent, sizeof percent, "%3d %%  ", kdtool_all::percent(b));
  text += percent;
  const auto quiet = std::chrono::duration_cast<std::chrono::seconds>(now - b.last_progress).count();
  if (!b.started) return text + "starting";
  if (quiet >= 1) return text + "waiting for the controller (" + std::to_string(quiet) + " s)";
  return text + kdtool_all::rate_text(b, now);
}

// Lines drawn before are cleared, so a line said next starts on a clean screen.
void View::erase() {
  if (mode_ != Mode::kLive || drawn_lines_ == 0) return;
  std::printf("\x1b[%dA\r\x1b[J", drawn_lines_);
  drawn_lines_ = 0;
}

void View::draw(bool force) {
  if (mode_ != Mode::kLive) return;
  const Clock::time_point now = Clock::now();
  if (!force && now - last_frame_ < kFrameInterval) return;
  last_frame_ = now;
  int columns = 80, rows = 24;
  if (!terminal_screen_size(&columns, &rows) || columns < 20 || rows < 3) {
    columns = 80;
    rows = 24;
  }
  const size_t width = static_cast<size_t>(columns - 1);
  // The rows that fit, leaving one for the footer and one for the cursor.
  const size_t room = static_cast<size_t>(rows - 2);
  size_t label_width = 6;
  for (const auto& slot : slots_) label_width = std::min<size_t>(std::max(label_width, slot->label.size()), 24);
  std::string text;
  if (drawn_lines_ != 0) text += "\x1b[" + std::to_string(drawn_lines_) + "A";
  int lines = 0;
  const size_t shown = slots_.size() <= room ? slots_.size() : room - 1;
  // A row is cut by its visible text: colour sequences do not count.
  const auto fit = [width](const std::string& line) {
    std::string out;
    size_t visible = 0;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '\x1b') {
        const size_t m = line.find('m', i);
        out += line.substr(i, m - i + 1);
        i = m;
        continue;
      }
      if (visible < width) out += line[i];
      if ((static_cast<unsigned char>(line[i]) & 0xC0) != 0x80) ++visible;
    }
    return out;
  };
  for (size_t i = 0; i < shown; ++i) {
    text += "\r\x1b[2K" + fit(row(*slots_[i], now, label_width)) + "\x1b[0m\n";
    ++lines;
  }
  if (shown < slots_.size()) {
    text += "\r\x1b[2K" + fit("... " + std::to_string(slots_.size() - shown) + " more slots (make the window taller)") + "\n";
    ++lines;
  }
  text += "\r\x1b[2K" + fit(footer()) + "\n\x1b[J";
  ++lines;
  drawn_lines_ = lines;
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace kdtool_station
