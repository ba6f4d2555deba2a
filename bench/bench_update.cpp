// Whole image updates against the virtual controller through the direct
// bridge: host CPU time and the number of bridge transfers of procedure B2
// (4 KiB units) and procedure A (128-byte units, 2 ms after each of its 7,168
// chunks, so at least 14.336 s of wall time whatever the host does). For
// procedure A the report also gives the wall time over that pause floor
// (pause_floor_ratio; 1.00 would be pauses with no overshoot and nothing else).
#include "app/entry.h"
#include "app/iap_update.h"
#include "app/master.h"
#include "diag/device_records.h"
#include "direct_bridge.h"
#include "kd63507.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

namespace {

// The update's messages go to /dev/null and its keyboard is an empty pipe,
// so that nothing but the benchmark's report reaches the screen and no key
// (nor the end of a redirected input) ends a wait.
class QuietConsole {
 public:
  QuietConsole() {
    std::fflush(stdout);
    saved_out_ = dup(STDOUT_FILENO);
    saved_in_ = dup(STDIN_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
    if (pipe(keys_) == 0) dup2(keys_[0], STDIN_FILENO);
  }
  ~QuietConsole() {
    std::fflush(stdout);
    dup2(saved_out_, STDOUT_FILENO);
    dup2(saved_in_, STDIN_FILENO);
    close(saved_out_);
    close(saved_in_);
    close(keys_[0]);
    close(keys_[1]);
  }
  QuietConsole(const QuietConsole&) = delete;
  QuietConsole& operator=(const QuietConsole&) = delete;

 private:
  int saved_out_ = -1;
  int saved_in_ = -1;
  int keys_[2] = {-1, -1};
};

std::vector<uint8_t>& image() {
  static std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> out(IMAGE_SIZE);
    std::mt19937 rng(7);
    for (uint8_t& byte : out) byte = static_cast<uint8_t>(rng());
    return out;
  }();
  return bytes;
}

// Procedure A's pauses alone: 2 ms after each 16-byte chunk of the image.
constexpr double kPauseFloorA = IMAGE_SIZE / 16 * 0.002;

void whole_update(benchmark::State& state, int8_t board) {
  long transfers = 0;
  double seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto controller = std::make_unique<VirtualKd63507>();
    controller->set_recording(false);
    direct_bridge_bind(controller.get());
    gloop = 1;
    tSetter = {};
    img_core_ver = 0x0102;
    img_app_ver = 0x0003;
    img_para_ver = 0x0010;
    Download_Mode = 1;
    BinaryBuffer = image().data();
    emul_board = board;
    state.ResumeTiming();
    const auto started = std::chrono::steady_clock::now();
    {
      QuietConsole quiet;
      emulboard_cp2112_program_to_flash_using_iapmode_Customer();
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    transfers = direct_bridge_transfer_count();
    if (g_update_outcome != UPDATE_WRITTEN) state.SkipWithError("the update did not complete");
  }
  state.counters["transfers"] = static_cast<double>(transfers);
  if (board == BOARD_CP2112) state.counters["pause_floor_ratio"] = seconds / kPauseFloorA;
}

}  // namespace

BENCHMARK_CAPTURE(whole_update, procedure_B2, BOARD_HIDBOARD)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(whole_update, procedure_A, BOARD_CP2112)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
