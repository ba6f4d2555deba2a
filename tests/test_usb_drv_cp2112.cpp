// The CP2112 driver layer against virtual CP2112s: choosing and opening the
// device, the open-flag rules, the records, and the read-response loop.
#include "bridge/cp2112/usb_drv_cp2112.h"
#include "support_cp2112.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using Bytes = std::vector<uint8_t>;

class UsbDrvCp2112 : public ::testing::Test {
 protected:
  void SetUp() override { hid_virtual_detach_all(); }
  void TearDown() override { usb_drv_cp2112_close(); }
  // Opens one chip with auto-send-read on and a short response timeout.
  void open_configured() {
    chip = attach_cp2112(&target);
    ASSERT_EQ(usb_drv_cp2112_open(), 1);
    tCP2112_SMBUS = {400000, 0x02, 1, 100, 100, 1, 3, 50};
    ASSERT_EQ(usb_drv_cp2112_SetSmbusConfig(), 1);
  }

  CountingTarget target;
  std::shared_ptr<VirtualCp2112> chip;
};

TEST_F(UsbDrvCp2112, TheLastDeviceWithAReadableSerialIsChosen) {
  EXPECT_EQ(usb_drv_cp2112_open(), 0);  // none at all
  auto first = attach_cp2112(&target, "FIRST");
  attach_cp2112(&target, "OTHER")->info.product_id = 0x1234;  // not a CP2112
  auto second = attach_cp2112(&target, "SECOND");
  ASSERT_EQ(usb_drv_cp2112_open(), 1);
  ASSERT_EQ(usb_drv_cp2112_open(), 1);  // again: the handle held so far is released
  EXPECT_EQ(tSmbusDevice.ulDeviceNum, 1u);
  EXPECT_STREQ(tSmbusDevice.acSerial, "SECOND");
  EXPECT_STREQ(m_strSmbusSerialStringList[0], "FIRST");
  EXPECT_EQ(std::make_pair(first->open_count, second->open_count), std::make_pair(0, 1));
  usb_drv_cp2112_close();
  second->info.serial.clear();  // a serial that cannot be read passes the device over
  ASSERT_EQ(usb_drv_cp2112_open(), 1);
  EXPECT_STREQ(tSmbusDevice.acSerial, "FIRST");
  first->info.serial = std::string(400, 'x');  // cut, never overrun
  ASSERT_EQ(usb_drv_cp2112_open(), 1);
  EXPECT_EQ(std::string(tSmbusDevice.acSerial), std::string(CP2112_STRING_LENGTH - 1, 'x'));
  first->info.serial.clear();
  EXPECT_EQ(usb_drv_cp2112_open(), 0);

  for (int i = 0; i < 12; ++i) attach_cp2112(&target, "SN" + std::to_string(i));
  ASSERT_EQ(usb_drv_cp2112_open(), 1);  // only the first ten are considered
  EXPECT_STREQ(tSmbusDevice.acSerial, "SN7");  // the tenth, after the two without a serial
}

TEST_F(UsbDrvCp2112, AfterCloseEveryOperationIsRefusedUntilTheNextOpen) {
  open_configured();
  usb_drv_cp2112_GetGpioConfig();
  usb_drv_cp2112_close();
  EXPECT_EQ(chip->open_count, 0);
  chip->direction = 0x5A;  // would show if a getter reached the chip
  const Cp2112Gpio gpio = tCP2112_GPIO;
  const long reports = chip->reports_received();
  uint8_t io[8] = {};
  usb_drv_cp2112_GetGpioConfig();
  usb_drv_cp2112_ReadLatch();
  EXPECT_EQ(std::memcmp(&gpio, &tCP2112_GPIO, sizeof gpio), 0);
  const int results[] = {usb_drv_cp2112_SetGpioConfig(), usb_drv_cp2112_WriteLatch(), usb_drv_cp2112_SetSmbusConfig(),
                         usb_drv_cp2112_I2C_ReadRequest(0x68, 1), usb_drv_cp2112_CancelTransfer(),
                         usb_drv_cp2112_I2C_AddressReadRequest(0x68, 0x0600, 1), usb_drv_cp2112_GetTransferStatus(),
                         usb_drv_cp2122_I2C_GetReadResponse(io, 1), usb_drv_cp2112_I2C_WriteRequest(0x68, io, 1)};
  for (size_t i = 0; i < std::size(results); ++i) EXPECT_EQ(results[i], 0) << "operation " << i;
  usb_drv_cp2112_close();  // closing twice is harmless
  EXPECT_EQ(chip->reports_received(), reports);
  ASSERT_EQ(usb_drv_cp2112_open(), 1);
  EXPECT_EQ(usb_drv_cp2112_GetGpioConfig()->ucDirection, 0x5A);
}

TEST_F(UsbDrvCp2112, RecordsFollowTheDeviceAndAFailedConfigurationKeepsTheTimeout) {
  open_configured();
  chip->smbus.retry_limit = 0;
  EXPECT_EQ(usb_drv_cp2112_GetSmbusConfig()->usTransferRetries, HID_SMBUS_BOUNDED_RETRIES);
  tCP2112_SMBUS.ucAddress = 0x03;  // odd: the library refuses the configuration
  tCP2112_SMBUS.ulResponseTimeout = 777;
  EXPECT_EQ(usb_drv_cp2112_SetSmbusConfig(), 0);
  uint32_t timeout = 0;
  ASSERT_EQ(HidSmbus_GetTimeouts(tSmbusDevice.hDevice, &timeout), HID_SMBUS_SUCCESS);
  EXPECT_EQ(timeout, 50u);
}

TEST_F(UsbDrvCp2112, TransfersThatFailOrOverflowEndAndWriteCountsAreCutToEightBits) {
  open_configured();
  chip->drop_responses(2, 1);  // past the settling status answer and the first piece: the second never comes
  ASSERT_EQ(usb_drv_cp2112_I2C_ReadRequest(0x68, 100), 1);
  Bytes data(300, 0xEE);
  EXPECT_EQ(usb_drv_cp2122_I2C_GetReadResponse(data.data(), 100), 0);
  for (size_t i = 0; i < 100; ++i) EXPECT_EQ(data[i], i < 61 ? i : 0xEE) << i;  // the first piece is kept

  ASSERT_EQ(usb_drv_cp2112_I2C_ReadRequest(0x68, 100), 1);
  Bytes small(10);  // sanitizers catch any write past its end
  EXPECT_EQ(usb_drv_cp2122_I2C_GetReadResponse(small.data(), 10), 0);
  EXPECT_EQ(small, (Bytes{100, 101, 102, 103, 104, 105, 106, 107, 108, 109}));
  ASSERT_EQ(usb_drv_cp2112_I2C_ReadRequest(0x6A, 4), 1);  // nobody at 0x35: ends, no endless wait
  EXPECT_EQ(usb_drv_cp2122_I2C_GetReadResponse(data.data(), 4), 0);

  EXPECT_EQ(usb_drv_cp2112_I2C_WriteRequest(0x68, data.data(), 300), 1);
  EXPECT_EQ(chip->transfers().back().bytes, Bytes(data.begin(), data.begin() + 44));  // 300 & 0xFF
  EXPECT_EQ(usb_drv_cp2112_I2C_WriteRequest(0x68, data.data(), 256), 0);  // reaches the library as 0
}

// When every response is lost, a read gives up after one response timeout
// instead of asking again for pieces that cannot come.
TEST_F(UsbDrvCp2112, AReadWhoseResponsesAreLostWaitsOnce) {
  open_configured();
  Bytes data(8);
  ASSERT_EQ(usb_drv_cp2112_I2C_ReadRequest(0x68, 8), 1);
  ASSERT_EQ(usb_drv_cp2122_I2C_GetReadResponse(data.data(), 8), 1);
  chip->drop_responses(0, -1);
  const long before = chip->expired_waits();
  ASSERT_EQ(usb_drv_cp2112_I2C_ReadRequest(0x68, 8), 1);
  EXPECT_EQ(usb_drv_cp2122_I2C_GetReadResponse(data.data(), 8), 0);
  EXPECT_EQ(chip->expired_waits() - before, 1);
}

TEST_F(UsbDrvCp2112, LibraryStatusesAndTransferStatusAreTraced) {
  TraceCapture trace;
  open_configured();
  const uint8_t byte = 0;
  ASSERT_EQ(usb_drv_cp2112_I2C_WriteRequest(0x6A, &byte, 1), 1);  // the request went out
  EXPECT_EQ(usb_drv_cp2112_GetTransferStatus(), 1);
  EXPECT_TRUE(trace.contains("Timeout (Address Nacked)"));
  chip->drop_responses(0, 1);  // no answer is traced, not a failure
  EXPECT_EQ(usb_drv_cp2112_GetTransferStatus(), 1);
  EXPECT_TRUE(trace.contains("HID_SMBUS_READ_TIMED_OUT"));
  chip->unplug_after(0);
  EXPECT_EQ(usb_drv_cp2112_GetTransferStatus(), 0);
}

}  // namespace
