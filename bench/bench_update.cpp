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
#include "quiet_console.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

namespace {

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
