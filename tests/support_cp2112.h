// Test helpers for the CP2112 bridge: a simple bus peer, attaching virtual
// CP2112s, and capturing the trace hook.
#pragma once

#include "console/log.h"
#include "cp2112_sim.h"
#include "i2c_target.h"
#include "platform/hid_virtual.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

// Acknowledges 7-bit address 0x34 only; a read returns a running byte
// counter, so every read is told apart from the one before.
struct CountingTarget : I2cTarget {
  bool i2c_write(uint8_t address7, const uint8_t*, size_t) override { return address7 == 0x34; }
  bool i2c_read(uint8_t address7, uint8_t* data, size_t length) override {
    for (size_t i = 0; address7 == 0x34 && i < length; ++i) data[i] = next_++;
    return address7 == 0x34;
  }
  uint8_t next_ = 0;
};

inline std::shared_ptr<VirtualCp2112> attach_cp2112(I2cTarget* target, const std::string& serial = "CP2112SIM0001") {
  auto device = std::make_shared<VirtualCp2112>(target, serial);
  hid_virtual_attach(device);
  return device;
}

// Collects every piece handed to EMUL_DEBUG_PRINT while alive.
struct TraceCapture {
  static inline std::vector<std::string> pieces;
  TraceCapture() {
    pieces.clear();
    emul_debug_set_sink([](const char* piece) { pieces.emplace_back(piece); });
  }
  ~TraceCapture() { emul_debug_set_sink(nullptr); }
  bool contains(const std::string& text) const {
    return std::any_of(pieces.begin(), pieces.end(), [&](const std::string& p) { return p.find(text) != p.npos; });
  }
};
