// CP2112 board control against the virtual CP2112: bring-up, pins,
// configuration, the transfer limits and the register frames on the bus.
#include "bridge/cp2112/emulboard_cp2112_control.h"

#include "app/master.h"
#include "bridge/cp2112/usb_drv_cp2112.h"
#include "kd63507.h"
#include "support_cp2112.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using Bytes = std::vector<uint8_t>;
using LatchWrite = std::pair<uint8_t, uint8_t>;

class EmulboardCp2112 : public ::testing::Test {
 protected:
  void SetUp() override {
    hid_virtual_detach_all();
    chip = attach_cp2112(&target);
  }
  void TearDown() override {
    usb_drv_cp2112_close();
    if (chip) {
      EXPECT_EQ(chip->violations(), 0);
    }
  }
  // Init and the entry's bring-up up to the address (7-bit 0x34).
  void bring_up() {
    ASSERT_EQ(emulboard_cp2112_init(), 1);
    ASSERT_EQ(emulboard_cp2112_set_i2c_slave_addr(0, 0x34), 1);
  }
  // An init that finds no usable CP2112: what it printed.
  static std::string refused_init() {
    testing::internal::CaptureStdout();
    EXPECT_EQ(emulboard_cp2112_init(), 0);
    return testing::internal::GetCapturedStdout();
  }

  CountingTarget target;
  std::shared_ptr<VirtualCp2112> chip;
};

TEST_F(EmulboardCp2112, ACp2112ThatCannotBeUsedIsNoDeviceAndTheConsoleSaysWhy) {
  chip->refuse_open = true;
  std::string out = refused_init();
  EXPECT_NE(out.find("SILABSCP2112 found but cannot be opened: permission denied."), std::string::npos) << out;
  EXPECT_NE(out.find("udev/70-fwdownload.rules"), std::string::npos) << out;
  EXPECT_EQ(chip->reports_received(), 0);
  chip->refuse_open = false;
  chip->part_number = 0x0B;
  out = refused_init();
  EXPECT_NE(out.find("part number 0x0B is not a CP2112"), std::string::npos) << out;
  EXPECT_EQ(chip->open_count, 0);  // the node was closed again
  hid_virtual_detach_all();
  EXPECT_EQ(refused_init(), "");  // none at all: silent
}

TEST_F(EmulboardCp2112, InitAndSlaveAddressWriteTheWholeConfiguration) {
  chip->drive = 0x33;  // mode and function are kept as the chip has them
  chip->alt_function = 0x02;
  ASSERT_EQ(emulboard_cp2112_init(), 1);  // all pins outputs but CE; INTR high, CE low
  EXPECT_EQ(std::tie(chip->direction, chip->drive, chip->alt_function), std::make_tuple(0xF7, 0x33, 0x02));
  EXPECT_EQ(chip->latch_writes(), (std::vector<LatchWrite>{{0x04, 0x0C}}));
  ASSERT_EQ(emulboard_cp2112_set_i2c_speed(200000), 1);
  ASSERT_EQ(emulboard_cp2112_set_i2c_slave_addr(0, 0x34), 1);
  EXPECT_EQ(g_slave_addr, 0x68);
  const VirtualCp2112::SmbusConfig& s = chip->smbus;
  // The bit rate is back at 400000; the chip's "retry for ever" is bounded.
  EXPECT_EQ(std::tie(s.bit_rate, s.address, s.auto_send_read, s.write_timeout, s.read_timeout, s.scl_low_timeout,
                     s.retry_limit),
            std::make_tuple(400000u, 0x68, true, 100, 100, true, HID_SMBUS_BOUNDED_RETRIES));
  EXPECT_EQ(usb_drv_cp2112_GetSmbusConfig()->ulResponseTimeout, 100u);  // as the library holds it
  ASSERT_EQ(emulboard_cp2112_set_i2c_speed(200000), 1);  // the speed touches nothing else
  EXPECT_EQ(std::tie(s.bit_rate, s.address, s.auto_send_read), std::make_tuple(200000u, 0x68, true));

  const uint8_t byte = 0;
  ASSERT_EQ(emulboard_cp2112_i2c_write(&byte, 1), 1);
  EXPECT_EQ(chip->transfers().back().address7, 0x34);
  ASSERT_EQ(emulboard_cp2112_set_i2c_slave_addr(0, g_slave_addr), 1);  // the stored 8-bit form shifts again
  EXPECT_EQ(g_slave_addr, 0xD0);
  ASSERT_EQ(emulboard_cp2112_i2c_write(&byte, 1), 1);  // accepted, though nobody answers
  EXPECT_EQ(chip->transfers().back().address7, 0x68);
  EXPECT_FALSE(chip->transfers().back().acked);
}

TEST_F(EmulboardCp2112, TransferLimits) {
  bring_up();
  Bytes data(200, 0xEE);
  EXPECT_EQ(emulboard_cp2112_i2c_read(data.data(), 129), 0);
  EXPECT_EQ(emulboard_cp2112_i2c_read_from(data.data(), 129, 0x0600), 0);
  EXPECT_EQ(_emulboard_cp2112_i2c_read(g_slave_addr, data.data(), 129), 0);
  EXPECT_EQ(emulboard_cp2112_i2c_write(data.data(), 62), 0);
  EXPECT_TRUE(chip->transfers().empty());

  ASSERT_EQ(emulboard_cp2112_i2c_write(data.data(), 61), 1);
  ASSERT_EQ(chip->transfers().size(), 1u);
  EXPECT_EQ(chip->transfers()[0].bytes, Bytes(61, 0xEE));
  ASSERT_EQ(emulboard_cp2112_i2c_read(data.data(), 128), 1);
  EXPECT_EQ(chip->transfers()[1].bytes.size(), 128u);
  EXPECT_EQ(chip->read_response_sizes(), (std::vector<size_t>{61, 61, 6}));
  for (size_t i = 0; i < 128; ++i) EXPECT_EQ(data[i], static_cast<uint8_t>(i));
}

TEST_F(EmulboardCp2112, PinOperations) {
  bring_up();
  using Op = int (*)(uint8_t);
  const Op ce_dir = emulboard_cp2112_set_ce_dir, ce = emulboard_cp2112_set_ce_value;
  const Op intr_dir = emulboard_cp2112_set_intr_dir, intr = emulboard_cp2112_set_intr_value;
  // Direction 1 is input, a level 1 is high, anything else the other way.
  // Each latch write drives both pins (mask 0x0C) from the levels kept for them.
  const struct {
    const char* name;
    Op operation;
    uint8_t argument, direction, latch_value, levels;
  } rows[] = {{"CE output", ce_dir, 0, 0xFF, 0x04, 0x04},     {"CE high", ce, 1, 0xFF, 0x0C, 0x0C},
              {"INTR low", intr, 0, 0xFF, 0x08, 0x08},        {"CE 2 is low", ce, 2, 0xFF, 0x00, 0x00},
              {"INTR high", intr, 1, 0xFF, 0x04, 0x04},       {"INTR input", intr_dir, 1, 0xFB, 0x04, 0x04},
              {"INTR 7 is output", intr_dir, 7, 0xFF, 0x04, 0x04}, {"CE input, pulled up", ce_dir, 1, 0xF7, 0x04, 0x0C},
              {"CE 2 is output", ce_dir, 2, 0xFF, 0x04, 0x04}};
  for (const auto& row : rows) {
    ASSERT_EQ(row.operation(row.argument), 1) << row.name;
    EXPECT_EQ(chip->direction, row.direction) << row.name;
    EXPECT_EQ(chip->latch_writes().back(), LatchWrite(row.latch_value, 0x0C)) << row.name;
    EXPECT_EQ(chip->pin_levels() & 0x0C, row.levels) << row.name;
  }
  chip->direction = 0xA0;  // direction changes touch only their own bit
  ASSERT_EQ(ce_dir(2) + intr_dir(7), 2);
  EXPECT_EQ(chip->direction, 0xAC);
  ASSERT_EQ(ce_dir(1) + intr_dir(1), 2);
  EXPECT_EQ(chip->direction, 0xA0);
  EXPECT_EQ(emulboard_cp2112_read_intr(0), 1);  // the interrupt line, an input now, read from the latch
  chip->input_levels = static_cast<uint8_t>(~0x04);
  EXPECT_EQ(emulboard_cp2112_read_intr(0), 0);
}

TEST_F(EmulboardCp2112, RegisterReadAndRegisterWordFrames) {
  hid_virtual_detach_all();
  VirtualKd63507 kd;
  chip = attach_cp2112(&kd);
  bring_up();
  uint8_t status = 0;
  ASSERT_EQ(emulboard_cp2112_i2c_read_from(&status, 1, 0x0600), 1);
  EXPECT_EQ(status, VirtualKd63507::kStatusReady);
  ASSERT_EQ(chip->transfers().size(), 2u);
  EXPECT_EQ(chip->transfers()[0].bytes, (Bytes{0x06, 0x00}));
  const uint8_t word[] = {0x00, 0x00, 0x10, 0x41};
  ASSERT_EQ(_emulboard_cp2112_i2c_write_to(0x0010, word), 1);
  EXPECT_EQ(chip->transfers().back().bytes, (Bytes{0x00, 0x10, 0x00, 0x00, 0x10, 0x41}));
  EXPECT_EQ(Bytes(appSendBuffer, appSendBuffer + 6), chip->transfers().back().bytes);
}

}  // namespace
