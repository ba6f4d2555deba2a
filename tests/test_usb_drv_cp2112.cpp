// The CP2112 driver layer against virtual CP2112s: choosing and opening the
// device, the open-flag rules, the records, and the read-response loop.
#include "bridge/cp2112/usb_drv_cp2112.h"
#include "support_cp2112.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

namespace {

using Bytes = std::vector<uint8_t>;

class UsbDrvCp2112 : public ::testing::Test {
 protected:
  void SetUp() override { hid_virtual_detach_all(); }
  void TearDown() override {
    usb_drv_cp2112_close();
    hid_transport_restrict("", "");
    if (chip) {
      EXPECT_EQ(chip->violations(), 0);
    }
  }
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

TEST_F(UsbDrvCp2112, TheLastDeviceIsChosenAndOneWithoutASerialIsKnownByItsPath) {
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
  first->info.serial = std::string(400, 'x');  // cut, never overrun
  second->info.serial.clear();  // none: still a device, known by its path
  ASSERT_EQ(usb_drv_cp2112_open(), 1);
  EXPECT_EQ(std::string(m_strSmbusSerialStringList[0]), std::string(CP2112_STRING_LENGTH - 1, 'x'));
  EXPECT_EQ(tSmbusDevice.ulDeviceNum, 1u);
  EXPECT_STREQ(tSmbusDevice.acSerial, "");
  EXPECT_EQ(usb_drv_cp2112_is_open(), 1);

  for (int i = 0; i < 12; ++i) attach_cp2112(&target, "SN" + std::to_string(i));
  ASSERT_EQ(usb_drv_cp2112_open(), 1);  // only the first ten are considered
  EXPECT_STREQ(tSmbusDevice.acSerial, "SN7");  // the tenth
}

// Boards that share a serial, or have none: a run limited to one path opens
// exactly the board there and talks to it alone.
TEST_F(UsbDrvCp2112, ARunLimitedToOnePathOpensExactlyThatBoard) {
  for (const std::string serial : {"SAME", ""}) {
    SCOPED_TRACE("serial \"" + serial + "\"");
    hid_virtual_detach_all();
    const std::shared_ptr<VirtualCp2112> boards[] = {attach_cp2112(&target, serial), attach_cp2112(&target, serial),
                                                     attach_cp2112(&target, serial)};
    for (size_t k = 0; k < std::size(boards); ++k) {
      hid_transport_restrict(boards[k]->info.path, "");
      ASSERT_EQ(usb_drv_cp2112_open(), 1);
      ASSERT_EQ(usb_drv_cp2112_is_open(), 1);
      const uint8_t byte = 0;
      ASSERT_EQ(usb_drv_cp2112_I2C_WriteRequest(0x68, &byte, 1), 1);
      for (size_t i = 0; i < std::size(boards); ++i) {
        EXPECT_EQ(boards[i]->open_count, i == k ? 1 : 0) << i;
        EXPECT_EQ(boards[i]->transfers().size(), i <= k ? 1u : 0u) << i;  // one write each, in turn
      }
      usb_drv_cp2112_close();
    }
  }
}

// A chip that answers busy is asked again, at least 1 ms apart, until the
// write timeout (100 ms) has passed; then its transfer is cancelled and has
// failed, and the chip is idle for the next one.
TEST_F(UsbDrvCp2112, ABusyChipIsAskedUntilTheWriteTimeoutThenCancelled) {
  using Clock = std::chrono::steady_clock;
  open_configured();
  const uint8_t byte = 0;
  const struct {
    long busy;
    int completed;
    long cancels;
  } rows[] = {{10, 1, 0}, {-1, 0, 1}, {0, 1, 0}};  // 10 busy answers: well inside 100 ms
  for (const auto& row : rows) {
    SCOPED_TRACE(row.busy);
    chip->busy_status = row.busy;
    const long busy_before = chip->busy_answers(), cancels_before = chip->cancels();
    ASSERT_EQ(usb_drv_cp2112_I2C_WriteRequest(0x68, &byte, 1), 1);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(usb_drv_cp2112_LastTransferCompleted(), row.completed);
    EXPECT_EQ(chip->cancels() - cancels_before, row.cancels);
    EXPECT_EQ(usb_drv_cp2112_LastTransferCancelled(), row.cancels);
    if (row.busy >= 0) {
      EXPECT_EQ(chip->busy_answers() - busy_before, row.busy);
    } else {
      EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100));
    }
  }
  // Under the timing model the chip is busy for the bus time: 61 bytes at
  // 10 kHz take 56 ms.
  chip->timing.enabled = true;
  tCP2112_SMBUS.ulBitRate = 10000;
  ASSERT_EQ(usb_drv_cp2112_SetSmbusConfig(), 1);
  const long busy_before = chip->busy_answers();
  const uint8_t data[61] = {};
  ASSERT_EQ(usb_drv_cp2112_I2C_WriteRequest(0x68, data, sizeof data), 1);
  EXPECT_EQ(usb_drv_cp2112_LastTransferCompleted(), 1);
  EXPECT_GT(chip->busy_answers() - busy_before, 10);
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
