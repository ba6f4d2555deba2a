// CP2112 board control against the virtual CP2112: bring-up, pins,
// configuration, the transfer limits and the register frames on the bus.
#include "bridge/cp2112/emulboard_cp2112_control.h"

#include "app/master.h"
#include "bridge/cp2112/usb_drv_cp2112.h"
#include "kd63507.h"
#include "support_cp2112.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using LatchWrite = std::pair<uint8_t, uint8_t>;

class EmulboardCp2112 : public ::testing::Test {
 protected:
  void SetUp() override {
    hid_virtual_detach_all();
    chip = attach_cp2112(&target);
  }
  void TearDown() override { usb_drv_cp2112_close(); }

  // Init and the entry's bring-up up to the address (7-bit 0x34).
  void bring_up() {
    ASSERT_EQ(emulboard_cp2112_init(), 1);
    ASSERT_EQ(emulboard_cp2112_set_i2c_slave_addr(0, 0x34), 1);
  }

  CountingTarget target;
  std::shared_ptr<VirtualCp2112> chip;
};

TEST_F(EmulboardCp2112, InitLeavesAllPinsOutputsButCeWithIntrHighAndCeLow) {
  chip->drive = 0x33;  // mode and function are kept as the chip has them
  chip->alt_function = 0x02;
  ASSERT_EQ(emulboard_cp2112_init(), 1);
  EXPECT_EQ(chip->direction, 0xF7);
  EXPECT_EQ(chip->drive, 0x33);
  EXPECT_EQ(chip->alt_function, 0x02);
  EXPECT_EQ(chip->latch_writes(), (std::vector<LatchWrite>{{0x04, 0x0C}}));
  EXPECT_EQ(chip->latch & 0x0C, 0x04);
  EXPECT_EQ(tCP2112_GPIO.ucLatchMask, 0x0C);
  EXPECT_EQ(tCP2112_GPIO.ucDirection, 0xF7);
}

TEST_F(EmulboardCp2112, NoCp2112IsReportedAsNoDevice) {
  hid_virtual_detach_all();
  testing::internal::CaptureStdout();
  EXPECT_EQ(emulboard_cp2112_init(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(EmulboardCp2112, ACp2112ThatCannotBeOpenedIsNoDeviceAndTheConsoleSaysWhy) {
  chip->refuse_open = true;
  testing::internal::CaptureStdout();
  EXPECT_EQ(emulboard_cp2112_init(), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("SILABSCP2112 found but cannot be opened: permission denied."), std::string::npos) << out;
  EXPECT_NE(out.find("udev/99-fwdownload.rules"), std::string::npos) << out;
  EXPECT_EQ(chip->reports_received(), 0);
}

TEST_F(EmulboardCp2112, AnotherPartIsNoDeviceWithItsPartNumberNamed) {
  chip->part_number = 0x0B;
  testing::internal::CaptureStdout();
  EXPECT_EQ(emulboard_cp2112_init(), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("part number 0x0B is not a CP2112"), std::string::npos) << out;
  EXPECT_EQ(out.find("udev"), std::string::npos) << out;
}

TEST_F(EmulboardCp2112, SlaveAddressWritesTheWholeConfiguration) {
  bring_up();
  EXPECT_EQ(g_slave_addr, 0x68);
  EXPECT_EQ(chip->smbus.bit_rate, 400000u);
  EXPECT_EQ(chip->smbus.address, 0x68);
  EXPECT_TRUE(chip->smbus.auto_send_read);
  EXPECT_EQ(chip->smbus.write_timeout, 100);
  EXPECT_EQ(chip->smbus.read_timeout, 100);
  EXPECT_TRUE(chip->smbus.scl_low_timeout);
  // The chip started with "retry for ever"; it now retries a bounded number.
  EXPECT_EQ(chip->smbus.retry_limit, HID_SMBUS_BOUNDED_RETRIES);
  uint32_t timeout = 0;
  ASSERT_EQ(HidSmbus_GetTimeouts(tSmbusDevice.hDevice, &timeout), HID_SMBUS_SUCCESS);
  EXPECT_EQ(timeout, 100u);

  const uint8_t byte = 0;
  ASSERT_EQ(emulboard_cp2112_i2c_write(&byte, 1), 1);
  EXPECT_EQ(chip->transfers().back().address7, 0x34);
  EXPECT_TRUE(chip->transfers().back().acked);

  // Handing it the stored 8-bit form shifts again.
  ASSERT_EQ(emulboard_cp2112_set_i2c_slave_addr(0, g_slave_addr), 1);
  EXPECT_EQ(g_slave_addr, 0xD0);
  ASSERT_EQ(emulboard_cp2112_i2c_write(&byte, 1), 1);  // accepted, though nobody answers
  EXPECT_EQ(chip->transfers().back().address7, 0x68);
  EXPECT_FALSE(chip->transfers().back().acked);
}

TEST_F(EmulboardCp2112, SettingTheAddressResetsTheBitRate) {
  ASSERT_EQ(emulboard_cp2112_init(), 1);
  ASSERT_EQ(emulboard_cp2112_set_i2c_speed(200000), 1);
  EXPECT_EQ(chip->smbus.bit_rate, 200000u);
  ASSERT_EQ(emulboard_cp2112_set_i2c_slave_addr(0, 0x34), 1);
  EXPECT_EQ(chip->smbus.bit_rate, 400000u);
  ASSERT_EQ(emulboard_cp2112_set_i2c_speed(200000), 1);
  EXPECT_EQ(chip->smbus.bit_rate, 200000u);
  EXPECT_EQ(chip->smbus.address, 0x68);  // the speed touches nothing else
  EXPECT_TRUE(chip->smbus.auto_send_read);
}

TEST_F(EmulboardCp2112, ReadsOfUpTo128BytesArriveIn61BytePieces) {
  bring_up();
  Bytes data(128, 0xEE);
  ASSERT_EQ(emulboard_cp2112_i2c_read(data.data(), 128), 1);
  ASSERT_EQ(chip->transfers().size(), 1u);
  EXPECT_TRUE(chip->transfers()[0].read);
  EXPECT_EQ(chip->transfers()[0].bytes.size(), 128u);
  EXPECT_EQ(chip->read_response_sizes(), (std::vector<size_t>{61, 61, 6}));
  for (size_t i = 0; i < data.size(); ++i) EXPECT_EQ(data[i], static_cast<uint8_t>(i));
}

TEST_F(EmulboardCp2112, TransfersBeyondTheLimitsPutNothingOnTheBus) {
  bring_up();
  const long reports = chip->reports_received();
  Bytes data(200, 0xEE);
  EXPECT_EQ(emulboard_cp2112_i2c_read(data.data(), 129), 0);
  EXPECT_EQ(emulboard_cp2112_i2c_read_from(data.data(), 129, 0x0600), 0);
  EXPECT_EQ(_emulboard_cp2112_i2c_read(g_slave_addr, data.data(), 129), 0);
  EXPECT_EQ(emulboard_cp2112_i2c_write(data.data(), 62), 0);
  EXPECT_EQ(chip->reports_received(), reports);
  EXPECT_TRUE(chip->transfers().empty());
  EXPECT_EQ(data, Bytes(200, 0xEE));

  Bytes frame(61);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(0xA0 + i);
  ASSERT_EQ(emulboard_cp2112_i2c_write(frame.data(), 61), 1);
  ASSERT_EQ(chip->transfers().size(), 1u);
  EXPECT_EQ(chip->transfers()[0].bytes, frame);
}

TEST_F(EmulboardCp2112, LatchWritesDriveBothPinsWithMask0x0C) {
  bring_up();
  ASSERT_EQ(emulboard_cp2112_set_ce_dir(0), 1);  // CE an output, so the chip drives it
  EXPECT_EQ(chip->direction, 0xFF);

  ASSERT_EQ(emulboard_cp2112_set_ce_value(1), 1);
  EXPECT_EQ(chip->latch_writes().back(), LatchWrite(0x0C, 0x0C));
  EXPECT_EQ(chip->pin_levels() & 0x0C, 0x0C);  // CE high, INTR re-driven high

  ASSERT_EQ(emulboard_cp2112_set_intr_value(0), 1);
  EXPECT_EQ(chip->latch_writes().back(), LatchWrite(0x08, 0x0C));
  EXPECT_EQ(chip->pin_levels() & 0x0C, 0x08);

  ASSERT_EQ(emulboard_cp2112_set_ce_value(2), 1);  // anything but 1 is low
  EXPECT_EQ(chip->latch_writes().back(), LatchWrite(0x00, 0x0C));
  EXPECT_EQ(chip->pin_levels() & 0x0C, 0x00);

  ASSERT_EQ(emulboard_cp2112_set_intr_value(1), 1);
  EXPECT_EQ(chip->pin_levels() & 0x0C, 0x04);
  EXPECT_EQ(emulboard_cp2112_read_intr(0), 1);
}

TEST_F(EmulboardCp2112, CeLevelAfterInitIsWrittenButCeStaysAnInput) {
  bring_up();
  chip->input_levels = 0x00;  // nothing pulls CE up
  ASSERT_EQ(emulboard_cp2112_set_ce_value(1), 1);
  EXPECT_EQ(chip->latch_writes().back(), LatchWrite(0x0C, 0x0C));
  EXPECT_EQ(chip->pin_levels() & 0x08, 0x00);
}

TEST_F(EmulboardCp2112, DirectionChangesTouchOnlyTheirOwnBit) {
  bring_up();
  chip->direction = 0x5F;
  ASSERT_EQ(emulboard_cp2112_set_intr_dir(1), 1);
  EXPECT_EQ(chip->direction, 0x5B);
  ASSERT_EQ(emulboard_cp2112_set_intr_dir(0), 1);
  EXPECT_EQ(chip->direction, 0x5F);
  chip->direction = 0xA0;
  ASSERT_EQ(emulboard_cp2112_set_intr_dir(7), 1);
  EXPECT_EQ(chip->direction, 0xA4);
  ASSERT_EQ(emulboard_cp2112_set_ce_dir(2), 1);
  EXPECT_EQ(chip->direction, 0xAC);
  ASSERT_EQ(emulboard_cp2112_set_ce_dir(1), 1);
  EXPECT_EQ(chip->direction, 0xA4);
}

TEST_F(EmulboardCp2112, InterruptLineIsReadFromTheLatch) {
  bring_up();
  ASSERT_EQ(emulboard_cp2112_set_intr_dir(1), 1);  // INTR an input
  chip->input_levels = static_cast<uint8_t>(~0x04);
  EXPECT_EQ(emulboard_cp2112_read_intr(0), 0);
  chip->input_levels = 0xFF;
  EXPECT_EQ(emulboard_cp2112_read_intr(0), 1);
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
  EXPECT_FALSE(chip->transfers()[0].read);
  EXPECT_TRUE(chip->transfers()[1].read);
  EXPECT_EQ(chip->transfers()[1].bytes.size(), 1u);

  const uint8_t word[] = {0x00, 0x00, 0x10, 0x41};
  ASSERT_EQ(_emulboard_cp2112_i2c_write_to(0x0010, word), 1);
  EXPECT_EQ(chip->transfers().back().address7, 0x34);
  EXPECT_EQ(chip->transfers().back().bytes, (Bytes{0x00, 0x10, 0x00, 0x00, 0x10, 0x41}));
  EXPECT_EQ(Bytes(appSendBuffer, appSendBuffer + 6), (Bytes{0x00, 0x10, 0x00, 0x00, 0x10, 0x41}));
}

TEST_F(EmulboardCp2112, AResponseThatNeverComesFailsTheRead) {
  bring_up();
  chip->drop_responses(0, -1);
  Bytes data(10, 0xEE);
  EXPECT_EQ(emulboard_cp2112_i2c_read(data.data(), 10), 0);
  EXPECT_EQ(data, Bytes(10, 0xEE));
}

TEST_F(EmulboardCp2112, AnUnpluggedBridgeFailsEveryOperation) {
  bring_up();
  chip->unplug_after(0);
  uint8_t data[4] = {};
  EXPECT_EQ(emulboard_cp2112_i2c_write(data, 4), 0);
  EXPECT_EQ(emulboard_cp2112_i2c_read(data, 4), 0);
  EXPECT_EQ(emulboard_cp2112_set_ce_value(1), 0);
  EXPECT_EQ(emulboard_cp2112_set_intr_dir(0), 0);
  EXPECT_EQ(emulboard_cp2112_set_i2c_speed(100000), 0);
  EXPECT_EQ(emulboard_cp2112_poweron(0), 1);  // power is not switched here
  EXPECT_EQ(emulboard_cp2112_shutdown(0), 1);
}

TEST_F(EmulboardCp2112, TheBridgeTableDrivesTheControllerAndCloses) {
  hid_virtual_detach_all();
  VirtualKd63507 kd;
  chip = attach_cp2112(&kd);
  ASSERT_EQ(emulboard_cp2112_init(), 1);
  app_download_init(BOARD_CP2112);
  ASSERT_NE(emul_i2c_write, nullptr);
  ASSERT_NE(emul_i2c_read, nullptr);
  ASSERT_NE(emul_i2c_set_slave_addr, nullptr);
  ASSERT_NE(emul_i2c_set_speed, nullptr);
  ASSERT_NE(emul_read_intr, nullptr);
  ASSERT_NE(emul_set_intr_dir, nullptr);
  ASSERT_NE(emul_set_intr, nullptr);
  ASSERT_NE(emul_tkey_power_on, nullptr);
  ASSERT_NE(emul_tkey_power_off, nullptr);
  ASSERT_NE(emul_i2c_tkey_set_ce, nullptr);
  ASSERT_NE(emul_i2c_usb_close, nullptr);
  emul_i2c_set_slave_addr(0, 0x34);
  emul_i2c_set_speed(200000);
  emul_tkey_power_on(0);
  emul_i2c_tkey_set_ce(1);
  emul_set_intr_dir(0);
  EXPECT_EQ(chip->smbus.bit_rate, 200000u);
  EXPECT_EQ(chip->direction, 0xF7);

  const uint8_t mode[] = {VirtualKd63507::kModeUpdate};
  EXPECT_EQ(i2c_write_to(VirtualKd63507::kRegMode, mode, 1), 1);
  uint8_t version[8] = {};
  ASSERT_EQ(i2c_read_from(VirtualKd63507::kRegVersion, version, sizeof version), 1);
  EXPECT_EQ(version[0], 0x01);  // BOOT 0x0001, little-endian
  EXPECT_EQ(kd.transfers().size(), 3u);

  emul_tkey_power_off(0);
  emul_i2c_usb_close();
  EXPECT_EQ(usb_drv_cp2112_is_open(), 0);
  EXPECT_EQ(chip->open_count, 0);
}

}  // namespace
