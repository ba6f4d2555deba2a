// How kdtool's single run is told: the Telling class (the live progress
// line, the library lines drained or passed through, the JSON progress
// objects), the progress sink the library calls, and the choice of mode.
//
// Four ways of telling, chosen once per run:
//   text  the library lines as they come, then one verdict line (in a pipe,
//         on a dumb terminal, and with --verbose)
//   live  stdout is a terminal (and neither NO_COLOR, --no-color nor
//         TERM=dumb): one line redrawn in place with the operation, a bar,
//         percent, bytes, rate and time left, then the verdict. The library
//         writes into a pipe that a thread of ours drains: the verdict
//         carries what its lines would say.
//   quiet --quiet: the verdict alone (the library's lines drained the same
//         way).
//   json  stdout carries JSON Lines alone (start, progress, end objects);
//         the library lines and the verdict go to stderr.
#include "kdtool/run_internal.h"
#include "kdtool/json.h"
#include "platform/terminal.h"

#include <fcntl.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>  // _pipe
#endif

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace kdtool_run {

namespace {

constexpr auto kFrameInterval = std::chrono::milliseconds(100);  // ten frames or progress objects a second
constexpr auto kWaitingAfter = std::chrono::seconds(1);
constexpr int kBarWidth = 16;

int make_pipe(int fds[2]) {
#ifdef _WIN32
  return _pipe(fds, 4096, _O_BINARY);
#else
  return pipe(fds);
#endif
}

}  // namespace

void write_fd(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const auto n = write(fd, text.data() + done, static_cast<unsigned>(text.size() - done));
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// ---- How the run is told -------------------------------------------------

Telling::Telling(Mode mode, std::string operation, uint32_t total)
    : mode_(mode), operation_(std::move(operation)), total_(total) {
  started_ = last_progress_ = Clock::now();
  if (mode_ == Mode::kText) return;
  std::fflush(stdout);
  out_ = dup(STDOUT_FILENO);
  if (mode_ == Mode::kJson) {
    dup2(STDERR_FILENO, STDOUT_FILENO);
    return;
  }
  int columns = 0, rows = 0;
  if (terminal_screen_size(&columns, &rows) && columns > 20) width_ = columns - 1;
  int fds[2];
  if (out_ < 0 || make_pipe(fds) != 0) {
    mode_ = Mode::kText;
    return;
  }
  dup2(fds[1], STDOUT_FILENO);
  close(fds[1]);
  reader_ = std::thread([fd = fds[0]] { pump(fd); });
  if (mode_ == Mode::kLive) ticker_ = std::thread([this] { tick(); });
}

void Telling::restore() {
  if (out_ < 0) return;
  std::fflush(stdout);
  dup2(out_, STDOUT_FILENO);  // closes the pipe's last writer: the reader sees its end
  if (reader_.joinable()) reader_.join();
  if (mode_ == Mode::kLive) {
    std::lock_guard<std::mutex> lock(mutex_);
    draw();  // where the run ended, before the verdict takes its place
  }
  stop_ = true;
  if (ticker_.joinable()) ticker_.join();
  if (mode_ == Mode::kLive) {
    std::lock_guard<std::mutex> lock(mutex_);
    wipe();
  }
  close(out_);
  out_ = -1;
}

void Telling::progress(uint32_t done, uint32_t total) {
  const Clock::time_point now = Clock::now();
  done_ = done;
  total_ = total;
  last_progress_ = now;
  if (!first_progress_) {
    rate_from_ = now;
    rate_base_ = done;
    first_progress_ = true;  // after them: the ticker reads them once this is set
  }
  if (mode_ == Mode::kJson && (now - last_json_ >= kFrameInterval || done == total)) {
    last_json_ = now;
    emit(Json{{"type", "progress"}, {"done", done}, {"total", total}});
  }
}

// One JSON object as one line on stdout (json mode only).
void Telling::emit(const Json& object) const {
  if (mode_ == Mode::kJson) write_fd(out_ >= 0 ? out_ : STDOUT_FILENO, kdtool_json_text(object) + "\n");
}

// The library's lines, drained until the run gives stdout back.
void Telling::pump(int fd) {
  char chunk[512];
  while (read(fd, chunk, sizeof chunk) > 0) {
  }
  close(fd);
}

void Telling::tick() {
  while (!stop_) {
    std::this_thread::sleep_for(kFrameInterval);
    std::lock_guard<std::mutex> lock(mutex_);
    draw();
  }
}

void Telling::wipe() {
  if (shown_ == 0) return;
  write_fd(out_, "\r" + std::string(shown_, ' ') + "\r");
  shown_ = 0;
}

// Called with the mutex held.
void Telling::draw() {
  if (stop_ || out_ < 0) return;
  const bool any = first_progress_;
  const std::string frame = kdtool_progress_frame(operation_, done_, total_,
                                                  any ? Clock::now() - rate_from_ : Clock::duration{},
                                                  any ? done_ - rate_base_ : 0, Clock::now() - last_progress_.load(), any)
                                .substr(0, static_cast<size_t>(width_));
  std::string text = "\r" + frame;
  if (frame.size() < shown_) text += std::string(shown_ - frame.size(), ' ') + "\r" + frame;
  write_fd(out_, text);
  shown_ = frame.size();
}

// One frame of the line in place.
std::string Telling::kdtool_progress_frame(const std::string& operation, uint32_t done, uint32_t total,
                                           Clock::duration rate_time, uint32_t rate_bytes, Clock::duration quiet,
                                           bool any_progress) {
  const double fraction = total != 0 ? static_cast<double>(done) / total : 0.0;
  const int filled = static_cast<int>(fraction * kBarWidth);
  // Under 4 KiB whole KiB say too little ("0/1 KiB"): bytes then.
  const bool bytes = total < 4096;
  char head[160];
  std::snprintf(head, sizeof head, "%s [%s%s] %3d%%  %u/%u %s", operation.c_str(),
                std::string(static_cast<size_t>(filled), '#').c_str(),
                std::string(static_cast<size_t>(kBarWidth - filled), '.').c_str(), static_cast<int>(fraction * 100),
                bytes ? done : done / 1024, bytes ? total : (total + 1023) / 1024, bytes ? "B" : "KiB");
  std::string frame = head;
  const auto quiet_s = std::chrono::duration_cast<std::chrono::seconds>(quiet).count();
  if (quiet >= kWaitingAfter) {
    return frame + "  waiting for the controller (" + std::to_string(quiet_s) + " s)";
  }
  const double seconds = std::chrono::duration<double>(rate_time).count();
  if (!any_progress || seconds < 0.2 || rate_bytes == 0) return frame;
  const double rate = rate_bytes / 1024.0 / seconds;
  const long left = static_cast<long>((total - done) / 1024.0 / rate + 0.5);
  char tail[64];
  std::snprintf(tail, sizeof tail, "  %.1f KiB/s  %ld:%02ld left", rate, left / 60, left % 60);
  return frame + tail;
}

Telling* g_telling = nullptr;

void progress_sink(uint32_t done, uint32_t total) {
  if (g_telling != nullptr) g_telling->progress(done, total);
}

Mode choose_mode(const KdtoolOptions& options) {
  if (options.json) return Mode::kJson;
  if (options.quiet) return Mode::kQuiet;
  // The trace comes line by line: no line in place among them.
  return !options.verbose && terminal_colour_wanted() && terminal_stdout_is_tty() ? Mode::kLive : Mode::kText;
}

}  // namespace kdtool_run
