// kdtool COMMAND --all, inside: what the runner's files share. all.cpp holds
// its options and the run; all_boards.cpp lists the bridges into boards and
// makes each child's command line; all_process.cpp reads the children's
// JSON Lines and stderr and settles each board's outcome (platform/process.h
// starts, reads, reaps and stops the children); all_log.cpp keeps the
// per-board logs; all_view.cpp tells the run (terminal, pipe, JSON) and
// prints the summary.
#pragma once

#include "kdtool/all.h"

#include <string>

namespace kdtool_all {

struct AllOptions {
  bool all = false;
  std::string log_dir;
  bool log_dir_given = false;
  bool skip_busy = false;
  bool no_verify = false;
};
extern AllOptions g_all;

}  // namespace kdtool_all

#include "platform/process.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <vector>

namespace kdtool_all {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 100;                                  // frames and signal checks
constexpr auto kFrameInterval = std::chrono::milliseconds(100);
constexpr auto kListLimit = std::chrono::seconds(30);         // the listing child
// A board that says nothing (no JSON object, no line) for this long is
// taken for hung and killed: a single run reports progress after every unit
// and gives up on a silent controller after 30 s itself.
constexpr auto kSilenceLimit = std::chrono::seconds(90);
// After Ctrl+C each board ends its command in flight; one that has not ended
// by then is killed.
constexpr auto kInterruptLimit = std::chrono::seconds(60);
constexpr int kBarWidth = 20;

// ---- all_boards.cpp: the bridges -----------------------------------------

struct Board {
  std::string serial;
  std::string path;
  std::string kind;
  Json bridge;          // as the listing names it, in every JSON object of the board
  std::string label;    // the serial (escaped), or the path when there is none
  int index = 0;        // 1, 2, ... in the order of the listing
  std::string problem;  // not started: why it cannot be used
  bool repeated = false;  // another board reports the same serial

  ChildProcess child;
  std::string out_pending, err_pending;
  std::string last_err_line;
  FILE* log = nullptr;
  std::string log_name;
  std::string log_error;  // why its log is not whole
  Clock::time_point began{}, last_sign{};
  bool running = false;
  bool reaped = false;
  std::string killed_for;  // set when we killed it

  uint32_t done = 0, total = 0;
  bool started = false;  // its start object came
  bool any_progress = false;
  Clock::time_point last_progress{};  // or the start
  Clock::time_point rate_from{};
  uint32_t rate_base = 0;
  int shown_tenth = -1;  // pipe: the last 10 % step printed

  Json end;       // the child's end object, null when none came
  Json document;  // info: the child's document
  bool written = false;
  bool verified = false;  // update: the written range was read back and matched

  // The outcome.
  std::string result;  // "ok", "failed", "interrupted", "skipped"
  std::string reason;
  double seconds = 0;
};

// The boards of a `kdtool --json list` of ours; *code 0, or the exit code
// with *why.
std::vector<Board> list_bridges(const KdtoolOptions& options, const std::string& exe, int* code, std::string* why);
// The child's command line for the board.
std::vector<std::string> child_args(const std::string& exe, const Board& board, const std::string& command, int argc,
                                    char** argv);

// ---- all_log.cpp: the per-board logs -------------------------------------

// What a log says first, so that it stands on its own: when, which tool,
// what was asked, which image and which bridge.
struct LogHeader {
  std::time_t when = 0;
  std::string command_line;  // escaped
  std::string image;         // "NAME, N bytes, SHA-256 HEX", or empty
};

std::string quoted_command_line(int argc, char** argv);
// Creates the board's log new; false (with log_error set) when it cannot be.
bool open_log(Board& b, const std::string& dir, const std::string& command, const LogHeader& header);
// Closes the log; false (with log_error set) when it is not whole.
bool close_log(Board& b);

// ---- all_view.cpp: telling the run ---------------------------------------

enum class Mode { kPipe, kLive, kJson };

const char* title(const std::string& command);
std::string seconds_text(double seconds);
std::string rate_text(const Board& b, Clock::time_point now);
int percent(const Board& b);
// The controller's versions a board's run saw (key in its end object); null
// when the child did not report them.
Json versions_of(const Board& b, const char* key);
std::string verdict_text(const std::string& command, const Board& b);

class Teller {
 public:
  Teller(Mode mode, const KdtoolOptions& options, std::vector<Board*> boards);

  Mode mode() const { return mode_; }

  // Pipe: one line.
  void say(const Board& b, const std::string& text);

  // JSON: the child's object with the board's bridge after its type.
  void pass_on(const Board& b, const Json& object);

  // Terminal: every board's line, redrawn in place at most ten times a
  // second (`force` at the end).
  void draw(bool force);

 private:
  std::string line(const Board& b, Clock::time_point now) const;

  Mode mode_;
  std::string command_;
  std::vector<Board*> boards_;
  int width_ = 79;
  size_t label_width_ = 6;
  bool drawn_ = false;
  Clock::time_point last_frame_{};
};

Mode choose_mode(const KdtoolOptions& options);
void print_summary(const std::string& command, const Json& image, const std::vector<Board>& boards, FILE* to);

// ---- all_process.cpp: reading a board's output, its outcome -------------

void on_stdout_line(Board& b, const std::string& line, Teller& teller);
void on_stderr_line(Board& b, const std::string& line);

// Splits off complete lines, without their end (LF, or the CR LF of a
// child on Windows).
template <typename Handle>
void lines(std::string* pending, bool at_end, Handle handle) {
  size_t start = 0;
  for (size_t nl; (nl = pending->find('\n', start)) != std::string::npos; start = nl + 1) {
    handle(pending->substr(start, (nl > start && (*pending)[nl - 1] == '\r' ? nl - 1 : nl) - start));
  }
  pending->erase(0, start);
  if (at_end && !pending->empty()) {
    handle(*pending);
    pending->clear();
  }
}

// The board's outcome once its process has been reaped.
void settle(Board& b, const std::string& command);

}  // namespace kdtool_all
