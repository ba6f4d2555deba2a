// Bus timing of a virtual bridge (KDSIM_TIMING=fullspeed; off by default).
//
// USB full speed, interrupt endpoints polled every 1 ms frame:
//   - a report handed over at time t goes out in the first frame that starts
//     after t (the host controller builds a frame's schedule before it
//     starts), at most one report per frame and direction;
//   - an output report is taken by the bridge at the start of its frame, and
//     the host's write returns then; the bridge buffers one request behind
//     the one on the I2C bus, so its OUT endpoint takes the next report only
//     once the previous request has gone onto the bus;
//   - an input report produced at time r reaches the host in the first frame
//     that starts after r;
//   - a control transfer (feature report) takes the first frame after t.
// I2C: a transfer starts when its request is in and the bus is free, and
// takes 9 bit times per byte plus its address byte (9) and start and stop
// (one each) at the bridge's bit rate.
//
// The model runs on the real clock: a virtual bridge sleeps until the
// modelled moment before it returns, so the host's own pauses and sleeps
// compose with it, and the wall time of a run is its modelled time. Times
// inside the model are offsets from `origin`, so the arithmetic can also be
// driven without a clock (the floor estimate of bench/bench_timing.cpp).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

struct BusCounters {
  long out_reports = 0;
  long in_reports = 0;
  long control_transfers = 0;
  long i2c_transfers = 0;
  long i2c_bytes = 0;  // data bytes, address bytes not counted
  // Time the host spent blocked in writes, reads and feature reports waiting
  // for the model, and the time the I2C bus was busy.
  std::chrono::nanoseconds out_wait{0};
  std::chrono::nanoseconds in_wait{0};
  std::chrono::nanoseconds control_wait{0};
  std::chrono::nanoseconds bus_busy{0};
};

class BusTiming {
 public:
  using Clock = std::chrono::steady_clock;
  using Time = std::chrono::nanoseconds;  // since origin
  static constexpr Time kFrame = std::chrono::milliseconds(1);

  // Bit times of one I2C transfer of `bytes` data bytes.
  static constexpr long bits(size_t bytes) { return 9 * (static_cast<long>(bytes) + 1) + 2; }
  static Time bus_time(size_t bytes, uint32_t bit_rate);
  // Start of the first frame after `t`.
  static Time next_frame(Time t) { return (t / kFrame + 1) * kFrame; }

  // ---- Pure arithmetic (each call books what it returns) ----
  // Frame of an output report handed over at `t`.
  Time book_out(Time t);
  // Frame of a control transfer started at `t`.
  Time book_control(Time t);
  // An I2C transfer of `bytes` whose request arrived at `arrival`: its end.
  Time book_bus(Time arrival, size_t bytes);
  // Frame in which an input report produced at `ready` reaches the host.
  Time book_in(Time ready);

  // ---- On the real clock (the virtual bridges) ----
  bool enabled = false;
  uint32_t bit_rate = 200000;
  Clock::time_point origin = Clock::now();
  Time now() const { return Clock::now() - origin; }
  Clock::time_point at(Time t) const { return origin + std::chrono::duration_cast<Clock::duration>(t); }
  // Sleeps until `t` and adds the time slept to `counter`.
  void wait_until(Time t, std::chrono::nanoseconds& counter) const;

  BusCounters counters;

 private:
  Time last_out_ = -kFrame;
  Time last_in_ = -kFrame;
  Time last_control_ = -kFrame;
  Time bus_free_{0};
  Time last_bus_start_{0};
};
