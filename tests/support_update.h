// Shared rig for the tests of the controller operations and the update.
#pragma once

#include "app/device_mode.h"
#include "app/entry.h"
#include "app/iap_update.h"
#include "app/master.h"
#include "console/util_console.h"
#include "diag/device_records.h"
#include "direct_bridge.h"
#include "kd63507.h"
#include "platform/terminal.h"

#include <gtest/gtest.h>

#include "support_portable.h"

#include <functional>

namespace test_support {

// Keys for the program: a pipe on stdin (a test's own may be /dev/null, a key always waiting).
class KeyboardPipe {
 public:
  KeyboardPipe() : saved_(dup(STDIN_FILENO)) {
    if (pipe(fds_) == 0) dup2(fds_[0], STDIN_FILENO);
    console_drop_keys();
  }
  ~KeyboardPipe() {
    console_drop_keys();
    dup2(saved_, STDIN_FILENO);
    for (int fd : {saved_, fds_[0], fds_[1]}) close(fd);
  }
  void press(const std::string& keys) const { (void)!write(fds_[1], keys.data(), keys.size()); }
  // The script's end: no more keys will come.
  void end() {
    close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int saved_;
  int fds_[2] = {-1, -1};
};

// Between the bridge and the controller: `refuse` may leave a transfer unacknowledged (`reg`: where a
// write starts, or where the last one set the address for a read); `after` runs after each transfer.
class HookedTarget : public I2cTarget {
 public:
  explicit HookedTarget(I2cTarget& inner) : inner_(inner) {}
  bool i2c_write(uint8_t address7, const uint8_t* data, size_t length) override {
    if (length >= 2) reg_ = static_cast<uint16_t>(data[0] << 8 | data[1]);
    const bool acked = !(refuse && refuse(false, reg_, length)) && inner_.i2c_write(address7, data, length);
    if (after) after();
    return acked;
  }
  bool i2c_read(uint8_t address7, uint8_t* data, size_t length) override {
    const bool acked = !(refuse && refuse(true, reg_, length)) && inner_.i2c_read(address7, data, length);
    if (after) after();
    return acked;
  }
  bool interrupt_asserted() const override { return inner_.interrupt_asserted(); }
  void powered_off() override { inner_.powered_off(); }
  std::function<bool(bool read, uint16_t reg, size_t length)> refuse;
  std::function<void()> after;

 private:
  I2cTarget& inner_;
  uint16_t reg_ = 0;
};

// Release versions 01.02 / 00.03 / 00.10, nothing interrupted, no mode known.
inline void reset_globals() {
  gloop = 1;
  tSetter = {};
  tLogCtrl = {};
  g_update_outcome = UPDATE_NOT_RUN;
  FLASH_4KB_UPDATE_MODE = 0;
  img_core_ver = 0x0102;
  img_app_ver = 0x0003;
  img_para_ver = 0x0010;
  g_end_of_input_ends_waits = false;
  g_ready_log_reader = g_ready_image_reader = nullptr;
}

}  // namespace test_support
