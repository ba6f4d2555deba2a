// The HID-to-SMBus library: report layouts byte for byte, then the library
// against the virtual CP2112.
#include "platform/hidsmbus.h"
#include "platform/hidsmbus_reports.h"
#include "support_cp2112.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes sent(const Cp2112Report& report, size_t length) { return Bytes(report.begin(), report.begin() + length); }

// ---- Report layouts ----

TEST(HidSmbusReports, FeatureReportLayouts) {
  Cp2112Report r;
  EXPECT_EQ(sent(r, cp2112_encode_reset(r)), (Bytes{0x01, 0x01}));
  EXPECT_EQ(sent(r, cp2112_encode_gpio_config(r, {0xF7, 0x0C, 0x02, 0x05})), (Bytes{0x02, 0xF7, 0x0C, 0x02, 0x05}));
  EXPECT_EQ(sent(r, cp2112_encode_set_gpio(r, 0x04, 0x0C)), (Bytes{0x04, 0x04, 0x0C}));

  Cp2112SmbusConfig config;
  config.bit_rate = 400000;
  config.address = 0x68;
  config.auto_send_read = true;
  config.write_timeout = 100;
  config.read_timeout = 1000;
  config.scl_low_timeout = true;
  config.retry_limit = 0x0102;
  EXPECT_EQ(sent(r, cp2112_encode_smbus_config(r, config)),
            (Bytes{0x06, 0x00, 0x06, 0x1A, 0x80, 0x68, 0x01, 0x00, 0x64, 0x03, 0xE8, 0x01, 0x01, 0x02}));
}

TEST(HidSmbusReports, FeatureReportDecoders) {
  const uint8_t smbus[] = {0x06, 0x00, 0x01, 0x86, 0xA0, 0x02, 0x00, 0x03, 0xE8, 0x00, 0x00, 0x00, 0x00, 0x00};
  Cp2112SmbusConfig config;
  ASSERT_TRUE(cp2112_decode_smbus_config(smbus, sizeof smbus, &config));
  EXPECT_EQ(config.bit_rate, 100000u);
  EXPECT_EQ(config.address, 0x02);
  EXPECT_FALSE(config.auto_send_read);
  EXPECT_EQ(config.write_timeout, 1000);
  EXPECT_EQ(config.read_timeout, 0);
  EXPECT_FALSE(config.scl_low_timeout);
  EXPECT_EQ(config.retry_limit, 0);
  EXPECT_FALSE(cp2112_decode_smbus_config(smbus, 13, &config));

  const uint8_t gpio[] = {0x02, 0xFF, 0x0F, 0x01, 0x03};
  Cp2112GpioConfig g;
  ASSERT_TRUE(cp2112_decode_gpio_config(gpio, sizeof gpio, &g));
  EXPECT_EQ(g.direction, 0xFF);
  EXPECT_EQ(g.drive, 0x0F);
  EXPECT_EQ(g.alt_function, 0x01);
  EXPECT_EQ(g.clock_divider, 0x03);

  const uint8_t values[] = {0x03, 0xA5};
  uint8_t latch = 0;
  ASSERT_TRUE(cp2112_decode_get_gpio(values, sizeof values, &latch));
  EXPECT_EQ(latch, 0xA5);
  EXPECT_FALSE(cp2112_decode_get_gpio(gpio, sizeof gpio, &latch));  // another report ID

  const uint8_t version[] = {0x05, 0x0C, 0x02};
  uint8_t part = 0;
  uint8_t device_version = 0;
  ASSERT_TRUE(cp2112_decode_version(version, sizeof version, &part, &device_version));
  EXPECT_EQ(part, 0x0C);
  EXPECT_EQ(device_version, 0x02);
  EXPECT_FALSE(cp2112_decode_version(version, 2, &part, &device_version));
}

TEST(HidSmbusReports, TransferRequestLayouts) {
  Cp2112Report r;
  EXPECT_EQ(sent(r, cp2112_encode_read_request(r, 0x68, 128)), (Bytes{0x10, 0x68, 0x00, 0x80}));
  EXPECT_EQ(sent(r, cp2112_encode_read_request(r, 0x68, 512)), (Bytes{0x10, 0x68, 0x02, 0x00}));
  EXPECT_EQ(cp2112_encode_read_request(r, 0x68, 0), 0u);
  EXPECT_EQ(cp2112_encode_read_request(r, 0x68, 513), 0u);

  const uint8_t reg[] = {0x06, 0x00};
  EXPECT_EQ(sent(r, cp2112_encode_write_read_request(r, 0x68, 10, reg, 2)),
            (Bytes{0x11, 0x68, 0x00, 0x0A, 0x02, 0x06, 0x00}));
  const uint8_t long_target[17] = {};
  EXPECT_EQ(cp2112_encode_write_read_request(r, 0x68, 10, long_target, 16), 21u);
  EXPECT_EQ(cp2112_encode_write_read_request(r, 0x68, 10, long_target, 17), 0u);
  EXPECT_EQ(cp2112_encode_write_read_request(r, 0x68, 10, reg, 0), 0u);

  EXPECT_EQ(sent(r, cp2112_encode_force_send(r, 61)), (Bytes{0x12, 0x00, 0x3D}));
  EXPECT_EQ(cp2112_encode_force_send(r, 0), 0u);

  const uint8_t data[] = {0x60, 0x10, 0xAB};
  EXPECT_EQ(sent(r, cp2112_encode_data_write(r, 0x68, data, 3)), (Bytes{0x14, 0x68, 0x03, 0x60, 0x10, 0xAB}));
  const uint8_t full[62] = {};
  EXPECT_EQ(cp2112_encode_data_write(r, 0x68, full, 61), 64u);
  EXPECT_EQ(cp2112_encode_data_write(r, 0x68, full, 62), 0u);
  EXPECT_EQ(cp2112_encode_data_write(r, 0x68, full, 0), 0u);

  EXPECT_EQ(sent(r, cp2112_encode_status_request(r)), (Bytes{0x15, 0x01}));
  EXPECT_EQ(sent(r, cp2112_encode_cancel(r)), (Bytes{0x17, 0x01}));
}

TEST(HidSmbusReports, InputReportDecoders) {
  Cp2112Report in{};
  in[0] = 0x13;
  in[1] = 0x02;
  in[2] = 3;
  in[3] = 0xAA;
  in[4] = 0xBB;
  in[5] = 0xCC;
  Cp2112ReadResponse response;
  ASSERT_TRUE(cp2112_decode_read_response(in.data(), in.size(), &response));
  EXPECT_EQ(response.status, 0x02);
  EXPECT_EQ(Bytes(response.data, response.data + response.count), (Bytes{0xAA, 0xBB, 0xCC}));
  in[2] = 61;
  EXPECT_TRUE(cp2112_decode_read_response(in.data(), in.size(), &response));
  in[2] = 62;  // more than one report can carry
  EXPECT_FALSE(cp2112_decode_read_response(in.data(), in.size(), &response));
  in[2] = 10;  // more than arrived
  EXPECT_FALSE(cp2112_decode_read_response(in.data(), 12, &response));

  const uint8_t status[] = {0x16, 0x03, 0x05, 0x00, 0x02, 0x01, 0x00};
  Cp2112TransferStatus decoded;
  ASSERT_TRUE(cp2112_decode_transfer_status(status, sizeof status, &decoded));
  EXPECT_EQ(decoded.status0, 0x03);
  EXPECT_EQ(decoded.status1, 0x05);
  EXPECT_EQ(decoded.retries, 2);
  EXPECT_EQ(decoded.bytes_read, 256);
  EXPECT_FALSE(cp2112_decode_transfer_status(status, 6, &decoded));
  EXPECT_FALSE(cp2112_decode_transfer_status(in.data(), in.size(), &decoded));
}

// ---- The library against the virtual CP2112 ----

class HidSmbusLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    hid_virtual_detach_all();
    chip = attach_cp2112(&target);
    ASSERT_EQ(HidSmbus_Open(&device, 0, HID_SMBUS_DEFAULT_VID, HID_SMBUS_DEFAULT_PID), HID_SMBUS_SUCCESS);
  }
  void configure(bool auto_send) {
    ASSERT_EQ(HidSmbus_SetSmbusConfig(device, 400000, 0x02, auto_send, 100, 100, 1, 3), HID_SMBUS_SUCCESS);
    ASSERT_EQ(HidSmbus_SetTimeouts(device, 50), HID_SMBUS_SUCCESS);
  }
  // One response: its status, count and bytes.
  HID_SMBUS_STATUS response(uint8_t* status, Bytes* data) {
    uint8_t buffer[61];
    uint8_t count = 0;
    const HID_SMBUS_STATUS result = HidSmbus_GetReadResponse(device, status, buffer, sizeof buffer, &count);
    data->assign(buffer, buffer + count);
    return result;
  }

  CountingTarget target;
  std::shared_ptr<VirtualCp2112> chip;
  HID_SMBUS_DEVICE device = nullptr;
};

TEST(HidSmbusEnumeration, CountsStringsAndAttributesOfMatchingDevices) {
  hid_virtual_detach_all();
  CountingTarget target;
  attach_cp2112(&target, "SERIAL-A");
  auto other = std::make_shared<VirtualCp2112>(&target, "OTHER");
  other->info.product_id = 0x1234;
  hid_virtual_attach(other);
  attach_cp2112(&target, "SERIAL-B");

  uint32_t count = 0;
  ASSERT_EQ(HidSmbus_GetNumDevices(&count, 0x10C4, 0xEA90), HID_SMBUS_SUCCESS);
  EXPECT_EQ(count, 2u);
  char text[HID_SMBUS_DEVICE_STRLEN];
  ASSERT_EQ(HidSmbus_GetString(1, 0x10C4, 0xEA90, text, HID_SMBUS_GET_SERIAL_STR), HID_SMBUS_SUCCESS);
  EXPECT_STREQ(text, "SERIAL-B");
  ASSERT_EQ(HidSmbus_GetString(0, 0x10C4, 0xEA90, text, HID_SMBUS_GET_VID_STR), HID_SMBUS_SUCCESS);
  EXPECT_STREQ(text, "10C4");
  ASSERT_EQ(HidSmbus_GetString(0, 0x10C4, 0xEA90, text, HID_SMBUS_GET_PRODUCT_STR), HID_SMBUS_SUCCESS);
  EXPECT_STREQ(text, "CP2112 HID USB-to-SMBus Bridge");
  EXPECT_EQ(HidSmbus_GetString(2, 0x10C4, 0xEA90, text, HID_SMBUS_GET_SERIAL_STR), HID_SMBUS_DEVICE_NOT_FOUND);
  EXPECT_EQ(HidSmbus_GetString(0, 0x10C4, 0xEA90, text, 7), HID_SMBUS_INVALID_PARAMETER);
  uint16_t vid = 0;
  uint16_t pid = 0;
  uint16_t release = 0;
  ASSERT_EQ(HidSmbus_GetAttributes(0, 0x10C4, 0xEA90, &vid, &pid, &release), HID_SMBUS_SUCCESS);
  EXPECT_EQ(vid, 0x10C4);
  EXPECT_EQ(pid, 0xEA90);

  // A serial longer than the buffer is cut, never overrun.
  hid_virtual_devices()[0]->info.serial = std::string(400, 'x');
  ASSERT_EQ(HidSmbus_GetString(0, 0x10C4, 0xEA90, text, HID_SMBUS_GET_SERIAL_STR), HID_SMBUS_SUCCESS);
  EXPECT_EQ(std::string(text).size(), HID_SMBUS_DEVICE_STRLEN - 1);
  // A device without a serial string cannot deliver one.
  hid_virtual_devices()[0]->info.serial.clear();
  EXPECT_EQ(HidSmbus_GetString(0, 0x10C4, 0xEA90, text, HID_SMBUS_GET_SERIAL_STR), HID_SMBUS_DEVICE_ACCESS_ERROR);
}

TEST(HidSmbusOpen, RefusesWhatIsNotAUsableCp2112) {
  hid_virtual_detach_all();
  CountingTarget target;
  HID_SMBUS_DEVICE device = nullptr;
  EXPECT_EQ(HidSmbus_Open(&device, 0, 0x10C4, 0xEA90), HID_SMBUS_DEVICE_NOT_FOUND);

  auto chip = attach_cp2112(&target);
  chip->part_number = 0x0B;
  EXPECT_EQ(HidSmbus_Open(&device, 0, 0x10C4, 0xEA90), HID_SMBUS_DEVICE_NOT_SUPPORTED);
  EXPECT_STREQ(HidSmbus_GetOpenErrorText(), "part number 0x0B is not a CP2112");
  EXPECT_EQ(chip->open_count, 0);  // the node was closed again

  chip->part_number = 0x0C;
  chip->refuse_open = true;
  EXPECT_EQ(HidSmbus_Open(&device, 0, 0x10C4, 0xEA90), HID_SMBUS_DEVICE_ACCESS_ERROR);
  EXPECT_STREQ(HidSmbus_GetOpenErrorText(), "permission denied");

  chip->refuse_open = false;
  ASSERT_EQ(HidSmbus_Open(&device, 0, 0x10C4, 0xEA90), HID_SMBUS_SUCCESS);
  EXPECT_STREQ(HidSmbus_GetOpenErrorText(), "");
  uint8_t part = 0;
  uint8_t version = 0;
  ASSERT_EQ(HidSmbus_GetPartNumber(device, &part, &version), HID_SMBUS_SUCCESS);
  EXPECT_EQ(part, 0x0C);
  EXPECT_EQ(version, 0x02);
}

TEST_F(HidSmbusLibrary, AClosedHandleIsRefusedEverywhere) {
  int32_t opened = 0;
  ASSERT_EQ(HidSmbus_IsOpened(device, &opened), HID_SMBUS_SUCCESS);
  EXPECT_EQ(opened, 1);
  ASSERT_EQ(HidSmbus_Close(device), HID_SMBUS_SUCCESS);
  EXPECT_EQ(chip->open_count, 0);
  ASSERT_EQ(HidSmbus_IsOpened(device, &opened), HID_SMBUS_SUCCESS);
  EXPECT_EQ(opened, 0);
  EXPECT_EQ(HidSmbus_Close(device), HID_SMBUS_INVALID_DEVICE_OBJECT);
  const long before = chip->reports_received();
  EXPECT_EQ(HidSmbus_ReadRequest(device, 0x68, 1), HID_SMBUS_INVALID_DEVICE_OBJECT);
  EXPECT_EQ(HidSmbus_WriteLatch(device, 0, 0), HID_SMBUS_INVALID_DEVICE_OBJECT);
  EXPECT_EQ(HidSmbus_SetTimeouts(device, 10), HID_SMBUS_INVALID_DEVICE_OBJECT);
  EXPECT_EQ(chip->reports_received(), before);
}

TEST_F(HidSmbusLibrary, SmbusConfigurationRoundTripAndChecks) {
  ASSERT_EQ(HidSmbus_SetSmbusConfig(device, 200000, 0x68, 1, 100, 1000, 1, 1000), HID_SMBUS_SUCCESS);
  EXPECT_EQ(chip->smbus.bit_rate, 200000u);
  EXPECT_EQ(chip->smbus.address, 0x68);
  EXPECT_TRUE(chip->smbus.auto_send_read);
  EXPECT_EQ(chip->smbus.read_timeout, 1000);
  EXPECT_EQ(chip->smbus.retry_limit, 1000);

  uint32_t rate = 0;
  uint8_t address = 0;
  int32_t auto_read = 0;
  uint16_t write_timeout = 0;
  uint16_t read_timeout = 0;
  int32_t scl = 0;
  uint16_t retries = 0;
  ASSERT_EQ(HidSmbus_GetSmbusConfig(device, &rate, &address, &auto_read, &write_timeout, &read_timeout, &scl, &retries),
            HID_SMBUS_SUCCESS);
  EXPECT_EQ(rate, 200000u);
  EXPECT_EQ(auto_read, 1);
  EXPECT_EQ(write_timeout, 100);
  EXPECT_EQ(scl, 1);
  EXPECT_EQ(retries, 1000);

  // A chip left at "retry for ever" is reported with the bounded count.
  chip->smbus.retry_limit = 0;
  ASSERT_EQ(HidSmbus_GetSmbusConfig(device, &rate, &address, &auto_read, &write_timeout, &read_timeout, &scl, &retries),
            HID_SMBUS_SUCCESS);
  EXPECT_EQ(retries, HID_SMBUS_BOUNDED_RETRIES);

  const long before = chip->reports_received();
  EXPECT_EQ(HidSmbus_SetSmbusConfig(device, 0, 0x68, 1, 100, 100, 1, 3), HID_SMBUS_INVALID_PARAMETER);
  EXPECT_EQ(HidSmbus_SetSmbusConfig(device, 400000, 0x69, 1, 100, 100, 1, 3), HID_SMBUS_INVALID_PARAMETER);
  EXPECT_EQ(HidSmbus_SetSmbusConfig(device, 400000, 0x00, 1, 100, 100, 1, 3), HID_SMBUS_INVALID_PARAMETER);
  EXPECT_EQ(HidSmbus_SetSmbusConfig(device, 400000, 0x68, 1, 1001, 100, 1, 3), HID_SMBUS_INVALID_PARAMETER);
  EXPECT_EQ(HidSmbus_SetSmbusConfig(device, 400000, 0x68, 1, 100, 1001, 1, 3), HID_SMBUS_INVALID_PARAMETER);
  EXPECT_EQ(HidSmbus_SetSmbusConfig(device, 400000, 0x68, 1, 100, 100, 1, 1001), HID_SMBUS_INVALID_PARAMETER);
  EXPECT_EQ(chip->reports_received(), before);

  uint32_t timeout = 0;
  ASSERT_EQ(HidSmbus_GetTimeouts(device, &timeout), HID_SMBUS_SUCCESS);
  EXPECT_EQ(timeout, HID_SMBUS_DEFAULT_RESPONSE_TIMEOUT_MS);
}

TEST_F(HidSmbusLibrary, GpioConfigurationAndLatch) {
  ASSERT_EQ(HidSmbus_SetGpioConfig(device, 0xF7, 0x0C, 0x00, 0x00), HID_SMBUS_SUCCESS);
  EXPECT_EQ(chip->direction, 0xF7);
  EXPECT_EQ(chip->drive, 0x0C);
  ASSERT_EQ(HidSmbus_WriteLatch(device, 0x0C, 0x0C), HID_SMBUS_SUCCESS);
  // GPIO.3 is an input: only GPIO.2 takes the new level.
  EXPECT_EQ(chip->latch, 0x04);
  chip->input_levels = 0x00;
  uint8_t latch = 0;
  ASSERT_EQ(HidSmbus_ReadLatch(device, &latch), HID_SMBUS_SUCCESS);
  EXPECT_EQ(latch, 0x04);
  uint8_t direction = 0;
  uint8_t mode = 0;
  uint8_t alt_function = 0;
  uint8_t divider = 0;
  ASSERT_EQ(HidSmbus_GetGpioConfig(device, &direction, &mode, &alt_function, &divider), HID_SMBUS_SUCCESS);
  EXPECT_EQ(direction, 0xF7);
  EXPECT_EQ(mode, 0x0C);
}

TEST_F(HidSmbusLibrary, AutoSendReadDeliversOneResponsePerCall) {
  configure(true);
  ASSERT_EQ(HidSmbus_ReadRequest(device, 0x68, 128), HID_SMBUS_SUCCESS);
  ASSERT_EQ(chip->transfers().size(), 1u);
  EXPECT_TRUE(chip->transfers()[0].read);
  EXPECT_EQ(chip->transfers()[0].address7, 0x34);
  EXPECT_EQ(chip->transfers()[0].bytes.size(), 128u);

  uint8_t status = 0;
  Bytes piece;
  Bytes all;
  std::vector<size_t> sizes;
  while (response(&status, &piece) == HID_SMBUS_SUCCESS) {
    sizes.push_back(piece.size());
    all.insert(all.end(), piece.begin(), piece.end());
  }
  EXPECT_EQ(sizes, (std::vector<size_t>{61, 61, 6}));
  ASSERT_EQ(all.size(), 128u);
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], static_cast<uint8_t>(i));
  // The call that found nothing timed out with nothing delivered.
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(piece.empty());
}

TEST_F(HidSmbusLibrary, WithoutAutoSendTheDataWaitsForForceSend) {
  configure(false);
  ASSERT_EQ(HidSmbus_ReadRequest(device, 0x68, 70), HID_SMBUS_SUCCESS);
  uint8_t status = 0;
  Bytes piece;
  EXPECT_EQ(response(&status, &piece), HID_SMBUS_READ_TIMED_OUT);
  ASSERT_EQ(HidSmbus_ForceReadResponse(device, 70), HID_SMBUS_SUCCESS);
  ASSERT_EQ(response(&status, &piece), HID_SMBUS_SUCCESS);
  EXPECT_EQ(piece.size(), 61u);
  EXPECT_EQ(status, 0x01);
  ASSERT_EQ(HidSmbus_ForceReadResponse(device, 9), HID_SMBUS_SUCCESS);
  ASSERT_EQ(response(&status, &piece), HID_SMBUS_SUCCESS);
  EXPECT_EQ(piece, (Bytes{61, 62, 63, 64, 65, 66, 67, 68, 69}));
  EXPECT_EQ(status, 0x02);
  EXPECT_EQ(HidSmbus_ForceReadResponse(device, 0), HID_SMBUS_INVALID_REQUEST_LENGTH);
}

TEST_F(HidSmbusLibrary, AResponseLeftOverFromAnEarlierReadIsNeverTakenForANewOne) {
  configure(true);
  ASSERT_EQ(HidSmbus_ReadRequest(device, 0x68, 4), HID_SMBUS_SUCCESS);  // never collected
  ASSERT_EQ(HidSmbus_ReadRequest(device, 0x68, 4), HID_SMBUS_SUCCESS);
  uint8_t status = 0;
  Bytes piece;
  ASSERT_EQ(response(&status, &piece), HID_SMBUS_SUCCESS);
  EXPECT_EQ(piece, (Bytes{4, 5, 6, 7}));
  EXPECT_EQ(response(&status, &piece), HID_SMBUS_READ_TIMED_OUT);
}

TEST_F(HidSmbusLibrary, ALateResponseIsDroppedBeforeTheNextRead) {
  configure(true);
  chip->delay_responses(120);  // longer than the 50 ms response timeout
  ASSERT_EQ(HidSmbus_ReadRequest(device, 0x68, 4), HID_SMBUS_SUCCESS);
  uint8_t status = 0;
  Bytes piece;
  EXPECT_EQ(response(&status, &piece), HID_SMBUS_READ_TIMED_OUT);
  chip->delay_responses(0);
  // Let the late response arrive before the next exchange starts.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(HidSmbus_ReadRequest(device, 0x68, 4), HID_SMBUS_SUCCESS);
  ASSERT_EQ(response(&status, &piece), HID_SMBUS_SUCCESS);
  EXPECT_EQ(piece, (Bytes{4, 5, 6, 7}));
}

TEST_F(HidSmbusLibrary, StrayReportsWhileConfiguringDoNotDisturbReadsOrStatus) {
  chip->stray_reports_on_config = true;
  configure(true);
  ASSERT_EQ(HidSmbus_ReadRequest(device, 0x68, 3), HID_SMBUS_SUCCESS);
  uint8_t status = 0;
  Bytes piece;
  ASSERT_EQ(response(&status, &piece), HID_SMBUS_SUCCESS);
  EXPECT_EQ(piece, (Bytes{0, 1, 2}));
  configure(true);
  ASSERT_EQ(HidSmbus_TransferStatusRequest(device), HID_SMBUS_SUCCESS);
  uint8_t s0 = 0;
  uint8_t s1 = 0;
  uint16_t retries = 0;
  uint16_t bytes_read = 0;
  ASSERT_EQ(HidSmbus_GetTransferStatusResponse(device, &s0, &s1, &retries, &bytes_read), HID_SMBUS_SUCCESS);
  EXPECT_EQ(s0, 0x02);  // the read's completion, not the stray idle report
  EXPECT_EQ(bytes_read, 3);
}

TEST_F(HidSmbusLibrary, WritesWithinTheChipsLimits) {
  configure(true);
  Bytes data(62, 0x5A);
  EXPECT_EQ(HidSmbus_WriteRequest(device, 0x68, data.data(), 61), HID_SMBUS_SUCCESS);
  ASSERT_EQ(chip->transfers().size(), 1u);
  EXPECT_EQ(chip->transfers()[0].bytes, Bytes(61, 0x5A));
  EXPECT_EQ(HidSmbus_WriteRequest(device, 0x68, data.data(), 62), HID_SMBUS_INVALID_REQUEST_LENGTH);
  EXPECT_EQ(HidSmbus_WriteRequest(device, 0x68, data.data(), 0), HID_SMBUS_INVALID_REQUEST_LENGTH);
  EXPECT_EQ(HidSmbus_WriteRequest(device, 0x67, data.data(), 1), HID_SMBUS_INVALID_PARAMETER);
  EXPECT_EQ(HidSmbus_ReadRequest(device, 0x68, 513), HID_SMBUS_INVALID_REQUEST_LENGTH);
  EXPECT_EQ(HidSmbus_ReadRequest(device, 0x68, 0), HID_SMBUS_INVALID_REQUEST_LENGTH);
  EXPECT_EQ(chip->transfers().size(), 1u);
  EXPECT_EQ(chip->refused_requests(), 0);
}

TEST_F(HidSmbusLibrary, TransferStatusAfterANackAndAfterARead) {
  configure(true);
  const uint8_t byte = 0;
  ASSERT_EQ(HidSmbus_WriteRequest(device, 0x6A, &byte, 1), HID_SMBUS_SUCCESS);  // nobody at 0x35
  ASSERT_EQ(HidSmbus_TransferStatusRequest(device), HID_SMBUS_SUCCESS);
  uint8_t s0 = 0;
  uint8_t s1 = 0;
  uint16_t retries = 0;
  uint16_t bytes_read = 0;
  ASSERT_EQ(HidSmbus_GetTransferStatusResponse(device, &s0, &s1, &retries, &bytes_read), HID_SMBUS_SUCCESS);
  EXPECT_EQ(s0, 0x03);
  EXPECT_EQ(s1, 0x00);
  EXPECT_EQ(retries, 3);
  // The completion is reported once.
  ASSERT_EQ(HidSmbus_TransferStatusRequest(device), HID_SMBUS_SUCCESS);
  ASSERT_EQ(HidSmbus_GetTransferStatusResponse(device, &s0, &s1, &retries, &bytes_read), HID_SMBUS_SUCCESS);
  EXPECT_EQ(s0, 0x00);

  const uint8_t reg[] = {0x06, 0x00};
  ASSERT_EQ(HidSmbus_AddressReadRequest(device, 0x68, 10, 2, reg), HID_SMBUS_SUCCESS);
  ASSERT_EQ(chip->transfers().size(), 3u);
  EXPECT_EQ(chip->transfers()[1].bytes, (Bytes{0x06, 0x00}));
  EXPECT_TRUE(chip->transfers()[2].read);
  ASSERT_EQ(HidSmbus_TransferStatusRequest(device), HID_SMBUS_SUCCESS);
  ASSERT_EQ(HidSmbus_GetTransferStatusResponse(device, &s0, &s1, &retries, &bytes_read), HID_SMBUS_SUCCESS);
  EXPECT_EQ(s0, 0x02);
  EXPECT_EQ(bytes_read, 10);
  EXPECT_EQ(HidSmbus_AddressReadRequest(device, 0x68, 10, 17, reg), HID_SMBUS_INVALID_PARAMETER);
}

TEST_F(HidSmbusLibrary, CancelDiscardsResponsesNotYetTaken) {
  configure(true);
  ASSERT_EQ(HidSmbus_ReadRequest(device, 0x68, 100), HID_SMBUS_SUCCESS);
  ASSERT_EQ(HidSmbus_CancelTransfer(device), HID_SMBUS_SUCCESS);
  uint8_t status = 0;
  Bytes piece;
  EXPECT_EQ(response(&status, &piece), HID_SMBUS_READ_TIMED_OUT);
}

TEST_F(HidSmbusLibrary, ResponseBufferMustHoldAWholeResponse) {
  configure(true);
  uint8_t buffer[60];
  uint8_t status = 0;
  uint8_t count = 0;
  EXPECT_EQ(HidSmbus_GetReadResponse(device, &status, buffer, sizeof buffer, &count), HID_SMBUS_INVALID_PARAMETER);
}

TEST_F(HidSmbusLibrary, AnUnpluggedDeviceFailsInsteadOfHanging) {
  configure(true);
  chip->unplug_after(1);
  ASSERT_EQ(HidSmbus_ReadRequest(device, 0x68, 10), HID_SMBUS_SUCCESS);
  uint8_t status = 0;
  Bytes piece;
  EXPECT_EQ(response(&status, &piece), HID_SMBUS_READ_ERROR);
  EXPECT_EQ(HidSmbus_ReadRequest(device, 0x68, 10), HID_SMBUS_READ_ERROR);
  EXPECT_EQ(HidSmbus_WriteLatch(device, 0, 0), HID_SMBUS_DEVICE_IO_FAILED);
  const uint8_t byte = 0;
  EXPECT_EQ(HidSmbus_WriteRequest(device, 0x68, &byte, 1), HID_SMBUS_READ_ERROR);
  EXPECT_EQ(HidSmbus_Close(device), HID_SMBUS_SUCCESS);
}

}  // namespace
