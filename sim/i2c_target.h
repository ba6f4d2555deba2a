// Something on the virtual I2C bus: a virtual bridge hands every transfer it
// carries to its target, which answers for the addresses it owns.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

class I2cTarget {
 public:
  virtual ~I2cTarget() = default;
  // One I2C write transfer (start, address+W, bytes, stop). False when no
  // device acknowledged the address.
  virtual bool i2c_write(uint8_t address7, const uint8_t* data, size_t length) = 0;
  // One I2C read transfer (start, address+R, bytes, stop). False when no
  // device acknowledged; `data` is then left as it was.
  virtual bool i2c_read(uint8_t address7, uint8_t* data, size_t length) = 0;
  // The device's interrupt output (active low), for a bridge that wires it
  // to a pin: true while the device pulls it low.
  virtual bool interrupt_asserted() const { return false; }
  // The bridge took the device's power (or its chip enable) away: it starts
  // afresh when it comes back.
  virtual void powered_off() {}
  // A bridge with a bus-timing model (sim/bus_timing.h): the next transfer
  // ends on the bus at `when` (on the steady clock), which may lie ahead of
  // the moment it is handed over.
  virtual void at_time(std::chrono::steady_clock::time_point when) { (void)when; }
};
