// Whole updates and ISP runs over the virtual bridges with the bus-timing
// model on (sim/bus_timing.h, KD63507_TYPICAL_TIMING): for each procedure the
// modelled time (the wall time of the run: the bridges sleep until each
// modelled moment) against its protocol floor, and the model's counters.
//
// The floor replays what reached the controller through the same model with
// an ideal host: no host time, every I2C transfer as one request report (a
// read also its answer), the mandated pauses, and of each wait for the
// controller only the one status read that finds it ready, sent so that it
// reads just as the controller's busy time ends. Feature reports count one
// frame each.
//
// Run it with scripts/bench.sh (about six minutes, most of it the ISP dump).
#include "app/bringup.h"
#include "app/entry.h"
#include "app/iap_update.h"
#include "app/master.h"
#include "bridge/cp2112/emulboard_cp2112_isp.h"
#include "bridge/hidboard/usb_drv_qbm7750.h"
#include "cp2112_sim.h"
#include "diag/device_records.h"
#include "hidboard_sim.h"
#include "kd63507.h"
#include "platform/hid_virtual.h"
#include "quiet_console.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <vector>

namespace {

using Transfer = VirtualKd63507::Transfer;
using Time = BusTiming::Time;
using std::chrono::milliseconds;

enum class Procedure { kA, kB1, kB2, kDump, kProgram };

uint16_t reg_of(const Transfer& t) { return t.bytes.size() >= 2 ? static_cast<uint16_t>(t.bytes[0] << 8 | t.bytes[1]) : 0; }

// Mandated host pauses around a transfer.
struct Pauses {
  Time before{0};
  Time after{0};
};

Pauses pauses_of(Procedure procedure, const Transfer& t, bool after_poll) {
  const uint16_t reg = reg_of(t);
  switch (procedure) {
    case Procedure::kA:  // 2 ms after each 16-byte chunk
      if (!t.read && reg >= REG_IAP_WINDOW && reg < REG_IAP_WINDOW + 0x1000 && t.bytes.size() == 18) {
        return {Time{0}, milliseconds(2)};
      }
      return {};
    case Procedure::kB1:
    case Procedure::kB2:  // 1 ms before each program command and the unit query
      if (!t.read && reg == REG_IAP_COMMAND && t.bytes.size() == 10 && (t.bytes[9] == 3 || t.bytes[9] == 8)) {
        return {milliseconds(1), Time{0}};
      }
      return {};
    case Procedure::kProgram:  // 10 ms once the protection is cleared
      if (!t.read && after_poll && reg == ISP_REG_STATUS && t.bytes.size() == 6 && t.bytes[5] == ISP_STATUS_PROTECTION) {
        return {Time{0}, milliseconds(10)};
      }
      return {};
    default:
      return {};
  }
}

// The transfers an ideal host needs: of each run of status polls only the
// last address write and read.
std::vector<const Transfer*> needed(const std::vector<Transfer>& transfers) {
  std::vector<const Transfer*> kept;
  for (size_t i = 0; i < transfers.size(); ++i) {
    const Transfer& t = transfers[i];
    const bool run_goes_on = t.poll && i + 1 < transfers.size() && transfers[i + 1].poll;
    if (!t.poll) {
      kept.push_back(&t);
    } else if (t.read && !run_goes_on) {
      if (i > 0 && transfers[i - 1].poll && !transfers[i - 1].read) kept.push_back(&transfers[i - 1]);
      kept.push_back(&t);
    }
  }
  return kept;
}

struct Floor {
  double seconds = 0;
  BusCounters counters;
};

Floor replay(Procedure procedure, const std::vector<Transfer>& transfers, uint32_t bit_rate, size_t max_piece,
             long control_transfers) {
  BusTiming model;
  model.bit_rate = bit_rate;
  Time host{0};
  Time ready{0};
  bool after_poll = false;
  for (const Transfer* t : needed(transfers)) {
    const Pauses pause = pauses_of(procedure, *t, after_poll);
    host += pause.before;
    const size_t n = t->bytes.size();
    if (!t->read) {
      const Time slot = model.book_out(host);
      const Time end = model.book_bus(slot, n);
      host = slot + pause.after;
      if (t->busy.count() != 0) ready = end + t->busy;
    } else {
      // A poll reads as the busy time ends; any other read at once.
      const Time earliest = t->poll ? ready - BusTiming::bus_time(n, bit_rate) - Time{1} : host;
      const Time slot = model.book_out(std::max(host, earliest));
      const Time end = model.book_bus(slot, n);
      for (size_t done = 0; done < n || done == 0; done += max_piece) host = model.book_in(end);
    }
    after_poll = t->poll;
  }
  Floor floor;
  floor.seconds = std::chrono::duration<double>(host + BusTiming::kFrame * control_transfers).count();
  floor.counters = model.counters;
  floor.counters.control_transfers = control_transfers;
  return floor;
}

const std::vector<uint8_t>& image() {
  static std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> out(ISP_FLASH_SIZE);
    std::mt19937 rng(7);
    for (uint8_t& byte : out) byte = static_cast<uint8_t>(rng());
    return out;
  }();
  return bytes;
}

void report(benchmark::State& state, double modelled, const Floor& floor, const BusCounters& c, long polls) {
  state.SetIterationTime(modelled);
  state.counters["modelled_s"] = modelled;
  state.counters["floor_s"] = floor.seconds;
  state.counters["ratio"] = modelled / floor.seconds;
  state.counters["out"] = static_cast<double>(c.out_reports);
  state.counters["out_floor"] = static_cast<double>(floor.counters.out_reports);
  state.counters["in"] = static_cast<double>(c.in_reports);
  state.counters["in_floor"] = static_cast<double>(floor.counters.in_reports);
  state.counters["control"] = static_cast<double>(c.control_transfers);
  state.counters["i2c"] = static_cast<double>(c.i2c_transfers);
  state.counters["i2c_bytes"] = static_cast<double>(c.i2c_bytes);
  state.counters["polls"] = static_cast<double>(polls);
  state.counters["out_wait_s"] = std::chrono::duration<double>(c.out_wait).count();
  state.counters["in_wait_s"] = std::chrono::duration<double>(c.in_wait).count();
  state.counters["bus_busy_s"] = std::chrono::duration<double>(c.bus_busy).count();
}

void run(benchmark::State& state, Procedure procedure) {
  const bool cp2112 = procedure == Procedure::kA || procedure == Procedure::kDump || procedure == Procedure::kProgram;
  const char* file = procedure == Procedure::kDump ? "/tmp/kd_bench_dump.bin" : "/tmp/kd_bench_program.bin";
  if (procedure == Procedure::kProgram) {
    FILE* out = std::fopen(file, "wb");
    if (out == nullptr || std::fwrite(image().data(), 1, ISP_FLASH_SIZE, out) != ISP_FLASH_SIZE) {
      state.SkipWithError("cannot write the program file");
    }
    if (out != nullptr) std::fclose(out);
  }
  for (auto _ : state) {
    Kd63507Config config;
    config.timing = KD63507_TYPICAL_TIMING;
    config.busy_reads = 0;
    config.isp_busy_reads = 0;
    config.unit_4k = procedure != Procedure::kB1;
    auto kd = std::make_unique<VirtualKd63507>(config);
    hid_virtual_detach_all();
    BusTiming* timing = nullptr;
    if (cp2112) {
      auto chip = std::make_shared<VirtualCp2112>(kd.get());
      timing = &chip->timing;
      hid_virtual_attach(chip);
    } else {
      auto board = std::make_shared<VirtualHidBoard>(kd.get(), QBM7750_FALLBACK_VID, QBM7750_FALLBACK_PID);
      timing = &board->timing;
      hid_virtual_attach(board);
    }
    timing->enabled = true;
    gloop = 1;
    tSetter = {};
    img_core_ver = 0x0102;
    img_app_ver = 0x0003;
    img_para_ver = 0x0010;
    Download_Mode = 1;
    BinaryBuffer = const_cast<uint8_t*>(image().data());
    g_slave_addr = DEFAULT_SLAVE_ADDR;
    double modelled = 0;
    int result = 0;
    {
      QuietConsole quiet;
      bridge_select(cp2112 ? BridgeChoice::kCp2112 : BridgeChoice::kCustom);
      target_bring_up();
      kd->clear_transfers();
      timing->counters = {};
      const auto started = std::chrono::steady_clock::now();
      if (procedure == Procedure::kDump) {
        result = emulboard_cp2112_dump_from_flash_using_ispmode(file);
      } else if (procedure == Procedure::kProgram) {
        result = emulboard_cp2112_program_to_flash_using_ispmode(file);
      } else {
        emulboard_cp2112_program_to_flash_using_iapmode_Customer();
        result = g_update_outcome == UPDATE_WRITTEN;
      }
      modelled = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      target_shut_down();
    }
    if (result == 0) state.SkipWithError("the run did not complete");
    const uint32_t rate = procedure == Procedure::kDump ? 300000 : procedure == Procedure::kProgram ? 100000 : 200000;
    const Floor floor = replay(procedure, kd->transfers(), rate, cp2112 ? 61 : 60, timing->counters.control_transfers);
    report(state, modelled, floor, timing->counters, kd->status_reads() + kd->isp_status_reads());
    hid_virtual_detach_all();
  }
}

}  // namespace

int main(int argc, char** argv) {
  hid_transport_start(&hid_transport_virtual);
  for (const auto& [name, procedure] : {std::pair{"A_cp2112", Procedure::kA}, std::pair{"B1_custom", Procedure::kB1},
                                        std::pair{"B2_custom", Procedure::kB2},
                                        std::pair{"isp_program_cp2112", Procedure::kProgram},
                                        std::pair{"isp_dump_cp2112", Procedure::kDump}}) {
    benchmark::RegisterBenchmark(name, run, procedure)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
