// Test helpers for the CP2112 bridge: a simple bus peer, attaching virtual
// CP2112s, and capturing the trace hook.
#pragma once

#include "console/log.h"
#include "cp2112_sim.h"
#include "i2c_target.h"
#include "platform/hid_virtual.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

// Acknowledges one 7-bit address; a read returns a running byte counter, so
// every read is told apart from the one before.
class CountingTarget : public I2cTarget {
 public:
  explicit CountingTarget(uint8_t address7 = 0x34) : address7_(address7) {}
  bool i2c_write(uint8_t address7, const uint8_t*, size_t) override { return address7 == address7_; }
  bool i2c_read(uint8_t address7, uint8_t* data, size_t length) override {
    if (address7 != address7_) return false;
    for (size_t i = 0; i < length; ++i) data[i] = next_++;
    return true;
  }
  uint8_t next() const { return next_; }

 private:
  uint8_t address7_;
  uint8_t next_ = 0;
};

inline std::shared_ptr<VirtualCp2112> attach_cp2112(I2cTarget* target, const std::string& serial = "CP2112SIM0001") {
  auto device = std::make_shared<VirtualCp2112>(target, serial);
  hid_virtual_attach(device);
  return device;
}

// Collects every piece handed to EMUL_DEBUG_PRINT while alive.
class TraceCapture {
 public:
  TraceCapture() {
    pieces().clear();
    emul_debug_set_sink(&TraceCapture::sink);
  }
  ~TraceCapture() { emul_debug_set_sink(nullptr); }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  static std::vector<std::string>& pieces() {
    static std::vector<std::string> collected;
    return collected;
  }
  void clear() { pieces().clear(); }
  bool contains(const std::string& text) const {
    for (const auto& piece : pieces()) {
      if (piece.find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  static void sink(const char* line) { pieces().push_back(line); }
};
