#include "bus_timing.h"

#include <algorithm>
#include <thread>

BusTiming::Time BusTiming::bus_time(size_t bytes, uint32_t bit_rate) {
  if (bit_rate == 0) return Time{0};
  return Time{bits(bytes) * 1000000000LL / bit_rate};
}

BusTiming::Time BusTiming::book_out(Time t) {
  // The bridge's request buffer frees when the request before moves onto
  // the bus.
  const Time slot = next_frame(std::max({t, last_out_, last_bus_start_ - Time{1}}));
  last_out_ = slot;
  ++counters.out_reports;
  return slot;
}

BusTiming::Time BusTiming::book_control(Time t) {
  const Time slot = next_frame(std::max(t, last_control_));
  last_control_ = slot;
  ++counters.control_transfers;
  return slot;
}

BusTiming::Time BusTiming::book_bus(Time arrival, size_t bytes) {
  const Time start = std::max(arrival, bus_free_);
  const Time length = bus_time(bytes, bit_rate);
  last_bus_start_ = start;
  bus_free_ = start + length;
  ++counters.i2c_transfers;
  counters.i2c_bytes += static_cast<long>(bytes);
  counters.bus_busy += length;
  return bus_free_;
}

BusTiming::Time BusTiming::book_in(Time ready) {
  const Time slot = next_frame(std::max(ready, last_in_));
  last_in_ = slot;
  ++counters.in_reports;
  return slot;
}

void BusTiming::wait_until(Time t, std::chrono::nanoseconds& counter) const {
  const Time started = now();
  if (t <= started) return;
  std::this_thread::sleep_until(at(t));
  counter += t - started;
}
