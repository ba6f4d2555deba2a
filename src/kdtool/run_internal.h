// What the files of kdtool's single run share: run.cpp (the run and its
// verdict), run_files.cpp (the file checks) and run_view.cpp (how the run is
// told). Nothing outside these three includes it; the names live in
// namespace kdtool_run so that they meet no other file's.
#pragma once

#include "kdtool/kdtool.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kdtool_run {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

void write_fd(int fd, const std::string& text);

// ---- How the run is told (run_view.cpp) ----------------------------------

enum class Mode { kText, kLive, kQuiet, kJson };

class Telling {
 public:
  Telling(Mode mode, std::string operation, uint32_t total);

  // Back to the stdout it found; the frame is wiped for the verdict.
  ~Telling() { restore(); }
  Telling(const Telling&) = delete;
  Telling& operator=(const Telling&) = delete;

  Mode mode() const { return mode_; }
  uint32_t done() const { return done_; }

  void restore();

  void progress(uint32_t done, uint32_t total);

  // One JSON object as one line on stdout (json mode only).
  void emit(const Json& object) const;

  double elapsed_s() const { return std::chrono::duration<double>(Clock::now() - started_).count(); }

 private:
  // The library's lines, drained until the run gives stdout back.
  static void pump(int fd);

  void tick();

  void wipe();

  // Called with the mutex held.
  void draw();

 public:
  // One frame of the line in place.
  static std::string kdtool_progress_frame(const std::string& operation, uint32_t done, uint32_t total,
                                           Clock::duration rate_time, uint32_t rate_bytes, Clock::duration quiet,
                                           bool any_progress);

 private:
  Mode mode_;
  std::string operation_;
  int out_ = -1;  // the real stdout while ours is redirected
  int width_ = 79;
  size_t shown_ = 0;
  std::mutex mutex_;
  std::thread reader_;
  std::thread ticker_;
  std::atomic<bool> stop_{false};
  std::atomic<uint32_t> done_{0};
  std::atomic<uint32_t> total_{0};
  std::atomic<bool> first_progress_{false};
  std::atomic<Clock::time_point> last_progress_{};
  Clock::time_point started_{};
  Clock::time_point rate_from_{};
  uint32_t rate_base_ = 0;
  Clock::time_point last_json_{};
};

extern Telling* g_telling;

void progress_sink(uint32_t done, uint32_t total);

Mode choose_mode(const KdtoolOptions& options);

// ---- The file checks (run_files.cpp) -------------------------------------

struct Plan {
  std::string file;            // as given
  std::vector<uint8_t> bytes;  // update, program, verify: what goes to (or is checked against) the flash
  bool hex = false;
  uint32_t at = 0;             // verify and dump: the first flash address
  uint32_t total = 0;          // the bytes the progress counts
  uint64_t file_size = 0;      // update, program, verify: the file as it is
  std::string file_sha256;
};

// A refusal of a file: one line on stderr, exit 2.
struct Refusal {
  std::string reason;
};

Plan check_files(const KdtoolOptions& options);

}  // namespace kdtool_run
