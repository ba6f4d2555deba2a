// The CP2112 driver layer against virtual CP2112s: choosing and opening the
// device, the open-flag rules, the records, and the read-response loop.
#include "bridge/cp2112/usb_drv_cp2112.h"
#include "support_cp2112.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

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
    ASSERT_EQ(usb_drv_cp2112_is_open(), 1);
    Cp2112Smbus* smbus = usb_drv_cp2112_GetSmbusConfig();
    smbus->ulBitRate = 400000;
    smbus->ucAddress = 0x02;
    smbus->bAutoReadRespond = 1;
    smbus->ulResponseTimeout = 50;
    ASSERT_EQ(usb_drv_cp2112_SetSmbusConfig(), 1);
  }

  CountingTarget target;
  std::shared_ptr<VirtualCp2112> chip;
};

TEST_F(UsbDrvCp2112, NoDeviceMeansNothingFoundAndNothingOpen) {
  EXPECT_EQ(usb_drv_cp2112_open(), 0);
  EXPECT_EQ(usb_drv_cp2112_is_open(), 0);
  EXPECT_EQ(usb_drv_cp2112_init(), 0);
}

TEST_F(UsbDrvCp2112, TheLastDeviceWithAReadableSerialIsChosen) {
  auto first = attach_cp2112(&target, "FIRST");
  auto second = attach_cp2112(&target, "SECOND");
  ASSERT_EQ(usb_drv_cp2112_open(), 1);
  EXPECT_EQ(tSmbusDevice.ulDeviceNum, 1u);
  EXPECT_STREQ(tSmbusDevice.acSerial, "SECOND");
  EXPECT_STREQ(m_strSmbusSerialStringList[0], "FIRST");
  EXPECT_EQ(second->open_count, 1);
  EXPECT_EQ(first->open_count, 0);
  usb_drv_cp2112_close();
  EXPECT_EQ(second->open_count, 0);

  // A device whose serial cannot be read is passed over.
  second->info.serial.clear();
  ASSERT_EQ(usb_drv_cp2112_open(), 1);
  EXPECT_EQ(tSmbusDevice.ulDeviceNum, 0u);
  EXPECT_STREQ(tSmbusDevice.acSerial, "FIRST");
  EXPECT_EQ(first->open_count, 1);
  usb_drv_cp2112_close();

  first->info.serial.clear();
  EXPECT_EQ(usb_drv_cp2112_open(), 0);
}

TEST_F(UsbDrvCp2112, OnlyTheFirstTenDevicesAreConsidered) {
  std::vector<std::shared_ptr<VirtualCp2112>> chips;
  for (int i = 0; i < 12; ++i) chips.push_back(attach_cp2112(&target, "SN" + std::to_string(i)));
  ASSERT_EQ(usb_drv_cp2112_open(), 1);
  EXPECT_EQ(tSmbusDevice.ulDeviceNum, 9u);
  EXPECT_STREQ(tSmbusDevice.acSerial, "SN9");
  EXPECT_EQ(chips[9]->open_count, 1);
}

TEST_F(UsbDrvCp2112, AFoundDeviceThatCannotBeOpenedLeavesEveryOperationRefused) {
  chip = attach_cp2112(&target);
  chip->refuse_open = true;
  EXPECT_EQ(usb_drv_cp2112_open(), 1);  // found
  EXPECT_EQ(usb_drv_cp2112_is_open(), 0);
  EXPECT_STREQ(usb_drv_cp2112_open_error(), "permission denied");
  EXPECT_EQ(usb_drv_cp2112_SetGpioConfig(), 0);
  EXPECT_EQ(usb_drv_cp2112_I2C_ReadRequest(0x68, 1), 0);
  EXPECT_EQ(chip->reports_received(), 0);
}

TEST_F(UsbDrvCp2112, AfterCloseEveryOperationIsRefusedUntilTheNextOpen) {
  open_configured();
  usb_drv_cp2112_GetGpioConfig();
  usb_drv_cp2112_ReadLatch();
  usb_drv_cp2112_close();
  EXPECT_EQ(usb_drv_cp2112_is_open(), 0);
  EXPECT_EQ(chip->open_count, 0);

  const Cp2112Gpio gpio = tCP2112_GPIO;
  const Cp2112Smbus smbus = tCP2112_SMBUS;
  chip->direction = 0x5A;  // would show if a getter reached the chip
  chip->smbus.bit_rate = 12345;
  const long reports = chip->reports_received();
  uint8_t buffer[8] = {};
  EXPECT_EQ(usb_drv_cp2112_GetGpioConfig(), &tCP2112_GPIO);
  EXPECT_EQ(usb_drv_cp2112_ReadLatch(), &tCP2112_GPIO);
  EXPECT_EQ(usb_drv_cp2112_GetSmbusConfig(), &tCP2112_SMBUS);
  EXPECT_EQ(std::memcmp(&gpio, &tCP2112_GPIO, sizeof gpio), 0);
  EXPECT_EQ(tCP2112_SMBUS.ulBitRate, smbus.ulBitRate);
  EXPECT_EQ(usb_drv_cp2112_SetGpioConfig(), 0);
  EXPECT_EQ(usb_drv_cp2112_WriteLatch(), 0);
  EXPECT_EQ(usb_drv_cp2112_SetSmbusConfig(), 0);
  EXPECT_EQ(usb_drv_cp2112_I2C_ReadRequest(0x68, 1), 0);
  EXPECT_EQ(usb_drv_cp2112_I2C_AddressReadRequest(0x68, 0x0600, 1), 0);
  EXPECT_EQ(usb_drv_cp2122_I2C_GetReadResponse(buffer, 1), 0);
  EXPECT_EQ(usb_drv_cp2112_I2C_WriteRequest(0x68, buffer, 1), 0);
  EXPECT_EQ(usb_drv_cp2112_CancelTransfer(), 0);
  EXPECT_EQ(usb_drv_cp2112_GetTransferStatus(), 0);
  usb_drv_cp2112_close();  // closing twice is harmless
  EXPECT_EQ(chip->reports_received(), reports);
  EXPECT_TRUE(chip->transfers().empty());

  ASSERT_EQ(usb_drv_cp2112_open(), 1);
  EXPECT_EQ(usb_drv_cp2112_is_open(), 1);
  EXPECT_EQ(usb_drv_cp2112_GetGpioConfig()->ucDirection, 0x5A);
}

TEST_F(UsbDrvCp2112, OpeningAgainReleasesTheHandleHeldSoFar) {
  chip = attach_cp2112(&target);
  ASSERT_EQ(usb_drv_cp2112_open(), 1);
  ASSERT_EQ(usb_drv_cp2112_open(), 1);
  EXPECT_EQ(chip->open_count, 1);
}

TEST_F(UsbDrvCp2112, RecordsFollowTheDevice) {
  open_configured();
  EXPECT_EQ(tCP2112_SMBUS.ulBitRate, 400000u);
  chip->smbus.retry_limit = 0;
  const Cp2112Smbus* smbus = usb_drv_cp2112_GetSmbusConfig();
  EXPECT_EQ(smbus->bAutoReadRespond, 1);
  EXPECT_EQ(smbus->ulResponseTimeout, 50u);
  EXPECT_EQ(smbus->usTransferRetries, HID_SMBUS_BOUNDED_RETRIES);

  Cp2112Gpio* gpio = usb_drv_cp2112_GetGpioConfig();
  gpio->ucDirection = 0x0C;
  gpio->ucMode = 0x0C;
  ASSERT_EQ(usb_drv_cp2112_SetGpioConfig(), 1);
  EXPECT_EQ(chip->direction, 0x0C);
  gpio->ucLatchValue = 0x08;
  gpio->ucLatchMask = 0x0C;
  ASSERT_EQ(usb_drv_cp2112_WriteLatch(), 1);
  EXPECT_EQ(chip->latch_writes().back(), std::make_pair(uint8_t{0x08}, uint8_t{0x0C}));
  chip->input_levels = 0x01;
  EXPECT_EQ(usb_drv_cp2112_ReadLatch()->ucLatchValue, 0x09);
}

TEST_F(UsbDrvCp2112, AFailedConfigurationDoesNotSendTheResponseTimeout) {
  open_configured();
  tCP2112_SMBUS.ucAddress = 0x03;  // odd: the library refuses the configuration
  tCP2112_SMBUS.ulResponseTimeout = 777;
  EXPECT_EQ(usb_drv_cp2112_SetSmbusConfig(), 0);
  uint32_t timeout = 0;
  ASSERT_EQ(HidSmbus_GetTimeouts(tSmbusDevice.hDevice, &timeout), HID_SMBUS_SUCCESS);
  EXPECT_EQ(timeout, 50u);
}

TEST_F(UsbDrvCp2112, AReadResponseArrivesInPiecesAndEndsWithTheLastByte) {
  open_configured();
  ASSERT_EQ(usb_drv_cp2112_I2C_ReadRequest(0x68, 100), 1);
  Bytes data(100, 0xEE);
  ASSERT_EQ(usb_drv_cp2122_I2C_GetReadResponse(data.data(), 100), 1);
  for (size_t i = 0; i < data.size(); ++i) EXPECT_EQ(data[i], static_cast<uint8_t>(i));
  EXPECT_EQ(chip->pending_input_reports(), 0u);
}

TEST_F(UsbDrvCp2112, AFailedSecondPieceKeepsTheFirstInTheDestination) {
  open_configured();
  chip->drop_responses(1, 1);
  ASSERT_EQ(usb_drv_cp2112_I2C_ReadRequest(0x68, 100), 1);
  Bytes data(100, 0xEE);
  EXPECT_EQ(usb_drv_cp2122_I2C_GetReadResponse(data.data(), 100), 0);
  for (size_t i = 0; i < 61; ++i) EXPECT_EQ(data[i], static_cast<uint8_t>(i));
  for (size_t i = 61; i < 100; ++i) EXPECT_EQ(data[i], 0xEE);
}

TEST_F(UsbDrvCp2112, APieceLargerThanWhatIsOutstandingNeverOverrunsTheDestination) {
  open_configured();
  ASSERT_EQ(usb_drv_cp2112_I2C_ReadRequest(0x68, 100), 1);
  std::vector<uint8_t> data(10);  // sanitizers catch any write past its end
  EXPECT_EQ(usb_drv_cp2122_I2C_GetReadResponse(data.data(), 10), 0);
  EXPECT_EQ(data, (Bytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(UsbDrvCp2112, ANackedReadEndsInsteadOfWaitingForever) {
  open_configured();
  ASSERT_EQ(usb_drv_cp2112_I2C_ReadRequest(0x6A, 4), 1);  // nobody at 0x35
  uint8_t data[4] = {};
  EXPECT_EQ(usb_drv_cp2122_I2C_GetReadResponse(data, 4), 0);
}

TEST_F(UsbDrvCp2112, WriteCountIsCutToEightBits) {
  open_configured();
  Bytes data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(usb_drv_cp2112_I2C_WriteRequest(0x68, data.data(), 300), 1);
  ASSERT_EQ(chip->transfers().size(), 1u);
  EXPECT_EQ(chip->transfers()[0].bytes, Bytes(data.begin(), data.begin() + 44));
  // 256 reaches the library as 0, which it refuses.
  EXPECT_EQ(usb_drv_cp2112_I2C_WriteRequest(0x68, data.data(), 256), 0);
}

TEST_F(UsbDrvCp2112, AddressReadSendsTheRegisterHighByteFirst) {
  open_configured();
  ASSERT_EQ(usb_drv_cp2112_I2C_AddressReadRequest(0x68, 0x1234, 3), 1);
  ASSERT_EQ(chip->transfers().size(), 2u);
  EXPECT_EQ(chip->transfers()[0].bytes, (Bytes{0x12, 0x34}));
  uint8_t data[3] = {};
  EXPECT_EQ(usb_drv_cp2122_I2C_GetReadResponse(data, 3), 1);
}

TEST_F(UsbDrvCp2112, TransferStatusIsTracedAndAMissingAnswerIsNotAFailure) {
  open_configured();
  TraceCapture trace;
  const uint8_t byte = 0;
  ASSERT_EQ(usb_drv_cp2112_I2C_WriteRequest(0x6A, &byte, 1), 1);  // the request went out
  EXPECT_EQ(usb_drv_cp2112_GetTransferStatus(), 1);
  EXPECT_TRUE(trace.contains("Error -        "));
  EXPECT_TRUE(trace.contains("Timeout (Address Nacked)"));

  chip->drop_responses(0, 1);
  trace.clear();
  EXPECT_EQ(usb_drv_cp2112_GetTransferStatus(), 1);
  EXPECT_TRUE(trace.contains("HID_SMBUS_READ_TIMED_OUT"));
  EXPECT_FALSE(trace.contains("HidSmbus_DecodeTransferStatus2"));

  chip->unplug_after(0);
  EXPECT_EQ(usb_drv_cp2112_GetTransferStatus(), 0);
}

TEST_F(UsbDrvCp2112, CancelDropsAPendingResponse) {
  open_configured();
  ASSERT_EQ(usb_drv_cp2112_I2C_ReadRequest(0x68, 20), 1);
  EXPECT_EQ(usb_drv_cp2112_CancelTransfer(), 1);
  uint8_t data[20] = {};
  EXPECT_EQ(usb_drv_cp2122_I2C_GetReadResponse(data, 20), 0);
}

TEST_F(UsbDrvCp2112, EveryLibraryStatusIsDecodedForTheTrace) {
  TraceCapture trace;
  chip = attach_cp2112(&target, "TRACED");
  ASSERT_EQ(usb_drv_cp2112_open(), 1);
  EXPECT_TRUE(trace.contains("HidSmbus_DecodeErrorStatus\n"));
  EXPECT_TRUE(trace.contains("HID_SMBUS_SUCCESS"));
  EXPECT_TRUE(trace.contains("serial TRACED"));
  EXPECT_TRUE(trace.contains("part number 0C"));
}

}  // namespace
