// Rig for the console tests: the virtual controller behind a virtual custom
// board or a virtual CP2112, keys handed to master_packet_sender as the host
// loop does, and what they printed.
#pragma once

#include "bridge/cp2112/emulboard_cp2112_control.h"
#include "bridge/hidboard/emulboard_qbm7750_control.h"
#include "diag/master_TCIP.h"
#include "diag/master_TCIP_LOG.h"
#include "hidboard_sim.h"
#include "support_cp2112.h"
#include "support_update.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>

namespace test_support {

enum class Bridge { kCustom, kCp2112 };

class ConsoleRig : public ::testing::TestWithParam<Bridge> {
 protected:
  void SetUp() override { bring_up(); }
  // A fresh controller behind the bridge under test, addressed at 0x34.
  void bring_up(Kd63507Config config = {}) {
    TearDown();
    reset_globals();
    kd = std::make_unique<VirtualKd63507>(std::move(config));
    hooked = std::make_unique<HookedTarget>(*kd);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // as the host has it: the Ctrl+C line lands in order
    testing::internal::CaptureStdout();
    if (GetParam() == Bridge::kCp2112) {
      device = attach_cp2112(hooked.get());
      EXPECT_EQ(emulboard_cp2112_init(), 1);
      app_download_init(BOARD_CP2112);
    } else {
      img_vid = 0x0483;
      img_pid = 0x5750;
      device = std::make_shared<VirtualHidBoard>(hooked.get(), img_vid, img_pid);
      hid_virtual_attach(device);
      EXPECT_EQ(emulboard_qbm7750_init(), 1);
      app_download_init(BOARD_HIDBOARD);
    }
    emul_i2c_set_slave_addr(0, 0x34);
    testing::internal::GetCapturedStdout();
    kd->clear_transfers();
    master_console_begin();  // as a run starts: no toggle carried over from another test
  }
  void TearDown() override {
    if (emul_i2c_usb_close != nullptr) emul_i2c_usb_close();
    hid_virtual_detach_all();
  }
  template <typename Run>
  static std::string output(Run run) {
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
  }
  // Hands each key to the console; returns everything printed meanwhile.
  std::string keys(const std::string& typed) {
    testing::internal::CaptureStdout();
    for (char key : typed) master_packet_sender(static_cast<uint8_t>(key));
    return testing::internal::GetCapturedStdout();
  }
  uint8_t reg(uint16_t address) { return kd->registers()[address]; }
  uint32_t reg32(uint16_t address) {
    return reg(address) | reg(address + 1) << 8 | reg(address + 2) << 16 | static_cast<uint32_t>(reg(address + 3)) << 24;
  }
  // Writes carried to the controller that start at `address`.
  int writes_to(uint16_t address) {
    int count = 0;
    for (const auto& t : kd->transfers())
      count += !t.read && t.bytes.size() > 2 && (t.bytes[0] << 8 | t.bytes[1]) == address;
    return count;
  }
  // Ctrl+C as the host sees it, raised after the first transfer for which `when` holds.
  void ctrl_c_when(std::function<bool()> when) {
    std::signal(SIGINT, signal_handler);
    hooked->after = [when] {
      if (gloop != 0 && when()) press_ctrl_c();
    };
  }

  std::shared_ptr<VirtualHidDevice> device;  // the bridge; `unplugged` pulls it out
  KeyboardPipe keyboard;
  std::unique_ptr<VirtualKd63507> kd;
  std::unique_ptr<HookedTarget> hooked;
};

inline std::string bridge_name(const testing::TestParamInfo<Bridge>& info) {
  return info.param == Bridge::kCp2112 ? "Cp2112" : "Custom";
}

}  // namespace test_support
