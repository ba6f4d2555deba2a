// Rig for the flash operations: a virtual controller behind a hook, reached
// through a virtual CP2112 or the virtual custom board, brought up as the
// entry does.
#pragma once

#include "app/entry.h"
#include "app/iap_update.h"
#include "app/iap_verify.h"
#include "app/master.h"
#include "bridge/cp2112/usb_drv_cp2112.h"
#include "bridge/hidboard/emulboard_qbm7750_control.h"
#include "bridge/hidboard/usb_drv_qbm7750.h"
#include "bridge/cp2112/emulboard_cp2112_control.h"
#include "diag/device_records.h"
#include "hidboard_sim.h"
#include "support_cp2112.h"
#include "support_process.h"
#include "support_update.h"

#include <gtest/gtest.h>

namespace test_support {

// Between the bridge and the hook: `edit` may change a write on its way.
struct Rewriter : I2cTarget {
  explicit Rewriter(I2cTarget& inner) : inner_(inner) {}
  bool i2c_write(uint8_t address7, const uint8_t* data, size_t length) override {
    std::vector<uint8_t> bytes(data, data + length);
    if (edit) edit(bytes);
    return inner_.i2c_write(address7, bytes.data(), bytes.size());
  }
  bool i2c_read(uint8_t address7, uint8_t* data, size_t length) override { return inner_.i2c_read(address7, data, length); }
  void powered_off() override { inner_.powered_off(); }
  std::function<void(std::vector<uint8_t>&)> edit;

 private:
  I2cTarget& inner_;
};

class FlashRig : public ::testing::Test {
 protected:
  void TearDown() override {
    if (kd) {
      EXPECT_EQ(kd->protocol_violations(), 0);
    }
    usb_drv_cp2112_close();
    emulboard_qbm7750_close();
    hid_virtual_detach_all();
  }
  // A fresh controller (flash from `flash` when given) on the bridge `board`.
  void bring_up(int8_t board = BOARD_CP2112, Kd63507Config config = {}, const std::vector<uint8_t>& flash = {}) {
    if (kd) {
      EXPECT_EQ(kd->protocol_violations(), 0);
    }
    reset_globals();
    verify_result = 1;
    kd = std::make_unique<VirtualKd63507>(std::move(config));
    if (!flash.empty()) std::copy(flash.begin(), flash.end(), kd->flash().begin());
    hooked = std::make_unique<HookedTarget>(*kd);
    rewriter = std::make_unique<Rewriter>(*hooked);
    hid_virtual_detach_all();
    if (board == BOARD_CP2112) {
      chip = attach_cp2112(rewriter.get());
      ASSERT_EQ(emulboard_cp2112_init(), 1);
    } else {
      img_vid = QBM7750_FALLBACK_VID;
      img_pid = QBM7750_FALLBACK_PID;
      hid_virtual_attach(std::make_shared<VirtualHidBoard>(rewriter.get(), img_vid, img_pid));
      ASSERT_NE(emulboard_qbm7750_init(), 0);
    }
    emul_board = board;
    app_download_init(static_cast<uint8_t>(board));
    emul_i2c_set_slave_addr(0, DEFAULT_SLAVE_ADDR);
  }
  // Runs `operation` with stdout captured into `out`.
  template <typename F>
  auto captured(F operation) {
    testing::internal::CaptureStdout();
    auto result = operation();
    out = testing::internal::GetCapturedStdout();
    return result;
  }

  std::unique_ptr<VirtualKd63507> kd;
  std::unique_ptr<HookedTarget> hooked;
  std::unique_ptr<Rewriter> rewriter;
  std::shared_ptr<VirtualCp2112> chip;
  TempDir dir;
  std::string out;
};

}  // namespace test_support
