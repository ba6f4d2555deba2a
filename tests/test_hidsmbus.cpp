// The HID-to-SMBus library: report layouts byte for byte, then the library
// against the virtual CP2112.
#include "platform/hidsmbus.h"
#include "platform/hidsmbus_reports.h"
#include "support_cp2112.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(HidSmbusReports, Encoders) {
  Cp2112Report r;
  const auto sent = [&r](size_t length) { return Bytes(r.begin(), r.begin() + length); };
  const uint8_t data[16] = {0x06, 0x00, 0xAB};
  const Cp2112SmbusConfig smbus{400000, 0x68, true, 100, 1000, true, 0x0102};
  // Each row is built right after its encoder filled `r`.
  const std::pair<Bytes, Bytes> rows[] = {
      {sent(cp2112_encode_reset(r)), {0x01, 0x01}},
      {sent(cp2112_encode_gpio_config(r, {0xF7, 0x0C, 0x02, 0x05})), {0x02, 0xF7, 0x0C, 0x02, 0x05}},
      {sent(cp2112_encode_set_gpio(r, 0x04, 0x0C)), {0x04, 0x04, 0x0C}},
      {sent(cp2112_encode_smbus_config(r, smbus)),
       {0x06, 0x00, 0x06, 0x1A, 0x80, 0x68, 0x01, 0x00, 0x64, 0x03, 0xE8, 0x01, 0x01, 0x02}},
      {sent(cp2112_encode_read_request(r, 0x68, 128)), {0x10, 0x68, 0x00, 0x80}},
      {sent(cp2112_encode_read_request(r, 0x68, 512)), {0x10, 0x68, 0x02, 0x00}},
      {sent(cp2112_encode_write_read_request(r, 0x68, 10, data, 2)), {0x11, 0x68, 0x00, 0x0A, 0x02, 0x06, 0x00}},
      {sent(cp2112_encode_force_send(r, 61)), {0x12, 0x00, 0x3D}},
      {sent(cp2112_encode_data_write(r, 0x68, data, 3)), {0x14, 0x68, 0x03, 0x06, 0x00, 0xAB}},
      {sent(cp2112_encode_status_request(r)), {0x15, 0x01}},
      {sent(cp2112_encode_cancel(r)), {0x17, 0x01}}};
  for (const auto& [got, want] : rows) EXPECT_EQ(got, want) << "report 0x" << std::hex << int{want[0]};
  EXPECT_EQ(cp2112_encode_write_read_request(r, 0x68, 10, data, 16), 21u);  // the longest target address
}

TEST(HidSmbusReports, Decoders) {
  const uint8_t smbus[] = {0x06, 0x00, 0x01, 0x86, 0xA0, 0x02, 0x01, 0x03, 0xE8, 0x00, 0x64, 0x01, 0x00, 0x07};
  Cp2112SmbusConfig c;
  ASSERT_TRUE(cp2112_decode_smbus_config(smbus, sizeof smbus, &c));
  EXPECT_EQ(std::tie(c.bit_rate, c.address, c.auto_send_read, c.write_timeout, c.read_timeout, c.scl_low_timeout,
                     c.retry_limit),
            std::make_tuple(100000u, 0x02, true, 1000, 100, true, 7));
  uint8_t in[64] = {0x13, 0x02, 3, 0xAA, 0xBB, 0xCC};
  Cp2112ReadResponse response;
  ASSERT_TRUE(cp2112_decode_read_response(in, sizeof in, &response));
  EXPECT_EQ(response.status, 0x02);
  EXPECT_EQ(Bytes(response.data, response.data + response.count), (Bytes{0xAA, 0xBB, 0xCC}));
  const uint8_t gpio[] = {0x03, 0xA5}, version[] = {0x05, 0x0C, 0x02};
  uint8_t latch = 0, part = 0, device_version = 0;
  ASSERT_TRUE(cp2112_decode_get_gpio(gpio, sizeof gpio, &latch));
  ASSERT_TRUE(cp2112_decode_version(version, sizeof version, &part, &device_version));
  EXPECT_EQ(std::tie(latch, part, device_version), std::make_tuple(0xA5, 0x0C, 0x02));
  const uint8_t status[] = {0x16, 0x03, 0x05, 0x00, 0x02, 0x01, 0x00};
  Cp2112TransferStatus s;
  ASSERT_TRUE(cp2112_decode_transfer_status(status, sizeof status, &s));
  EXPECT_EQ(std::tie(s.status0, s.status1, s.retries, s.bytes_read), std::make_tuple(0x03, 0x05, 2, 256));

  const auto response_with = [&](uint8_t count, size_t length) {
    in[2] = count;
    return cp2112_decode_read_response(in, length, &response);
  };
  EXPECT_TRUE(response_with(61, sizeof in));
  const std::pair<const char*, bool> refused[] = {
      {"short smbus config", cp2112_decode_smbus_config(smbus, 13, &c)},
      {"62 bytes in a response", response_with(62, sizeof in)},
      {"more bytes than arrived", response_with(10, 12)},
      {"short status", cp2112_decode_transfer_status(status, 6, &s)},
      {"short version", cp2112_decode_version(version, 2, &part, &device_version)},
      {"GPIO values of another ID", cp2112_decode_get_gpio(version, sizeof version, &latch)},
      {"status of another ID", cp2112_decode_transfer_status(in, sizeof in, &s)}};
  for (const auto& [name, decoded] : refused) EXPECT_FALSE(decoded) << name;
}

class HidSmbusLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    hid_virtual_detach_all();
    chip = attach_cp2112(&target);
    ASSERT_EQ(HidSmbus_Open(&device, 0, HID_SMBUS_DEFAULT_VID, HID_SMBUS_DEFAULT_PID), HID_SMBUS_SUCCESS);
    configure();
  }
  void TearDown() override {
    HidSmbus_Close(device);
    EXPECT_EQ(chip->violations(), violations);
  }
  void configure() {
    ASSERT_EQ(HidSmbus_SetSmbusConfig(device, 400000, 0x02, 1, 100, 100, 1, 3), HID_SMBUS_SUCCESS);
    ASSERT_EQ(HidSmbus_SetTimeouts(device, 50), HID_SMBUS_SUCCESS);
  }
  HID_SMBUS_STATUS response() {  // takes one response into `piece`
    uint8_t buffer[61], count = 0, status = 0;
    const HID_SMBUS_STATUS result = HidSmbus_GetReadResponse(device, &status, buffer, 61, &count);
    piece.assign(buffer, buffer + count);
    return result;
  }

  CountingTarget target;
  std::shared_ptr<VirtualCp2112> chip;
  HID_SMBUS_DEVICE device = nullptr;
  Bytes piece;
  int violations = 0;  // what the virtual chip should have counted
};

TEST_F(HidSmbusLibrary, RequestsOutsideTheChipsRangesNeverReachIt) {
  const long before = chip->reports_received();
  const uint8_t data[62] = {};
  uint8_t small[60], status = 0, count = 0;
  const HID_SMBUS_STATUS parameter = HID_SMBUS_INVALID_PARAMETER, length = HID_SMBUS_INVALID_REQUEST_LENGTH;
  const std::tuple<const char*, HID_SMBUS_STATUS, HID_SMBUS_STATUS> rows[] = {
      {"bit rate 0", HidSmbus_SetSmbusConfig(device, 0, 0x68, 1, 100, 100, 1, 3), parameter},
      {"odd own address", HidSmbus_SetSmbusConfig(device, 400000, 0x69, 1, 100, 100, 1, 3), parameter},
      {"own address 0", HidSmbus_SetSmbusConfig(device, 400000, 0x00, 1, 100, 100, 1, 3), parameter},
      {"write timeout 1001", HidSmbus_SetSmbusConfig(device, 400000, 0x68, 1, 1001, 100, 1, 3), parameter},
      {"read timeout 1001", HidSmbus_SetSmbusConfig(device, 400000, 0x68, 1, 100, 1001, 1, 3), parameter},
      {"1001 retries", HidSmbus_SetSmbusConfig(device, 400000, 0x68, 1, 100, 100, 1, 1001), parameter},
      {"odd slave", HidSmbus_WriteRequest(device, 0x67, data, 1), parameter},
      {"17 address bytes", HidSmbus_AddressReadRequest(device, 0x68, 10, 17, data), parameter},
      {"response buffer of 60", HidSmbus_GetReadResponse(device, &status, small, sizeof small, &count), parameter},
      {"write 62", HidSmbus_WriteRequest(device, 0x68, data, 62), length},
      {"write 0", HidSmbus_WriteRequest(device, 0x68, data, 0), length},
      {"read 513", HidSmbus_ReadRequest(device, 0x68, 513), length},
      {"read 0", HidSmbus_ReadRequest(device, 0x68, 0), length}};
  for (const auto& [name, got, want] : rows) EXPECT_EQ(got, want) << name;
  EXPECT_EQ(chip->reports_received(), before);
}

// A feature report answered with fewer bytes than its layout is a failure,
// never fields read as zeros.
TEST_F(HidSmbusLibrary, AFeatureReportOfAnotherLengthIsAFailure) {
  uint32_t rate = 7;
  uint8_t b[4] = {};
  int32_t flags[2] = {};
  uint16_t t[3] = {};
  const std::function<HID_SMBUS_STATUS()> smbus = [&] {
    return HidSmbus_GetSmbusConfig(device, &rate, &b[0], &flags[0], &t[0], &t[1], &flags[1], &t[2]);
  };
  const std::function<HID_SMBUS_STATUS()> gpio = [&] { return HidSmbus_GetGpioConfig(device, &b[0], &b[1], &b[2], &b[3]); };
  const std::function<HID_SMBUS_STATUS()> latch = [&] { return HidSmbus_ReadLatch(device, &b[0]); };
  const std::function<HID_SMBUS_STATUS()> version = [&] { return HidSmbus_GetPartNumber(device, &b[0], &b[1]); };
  const std::tuple<const char*, int, std::function<HID_SMBUS_STATUS()>> rows[] = {
      {"SMBus configuration, 3 of 14", 3, smbus}, {"SMBus configuration, 13 of 14", 13, smbus},
      {"GPIO configuration, 4 of 5", 4, gpio},    {"GPIO values, 1 of 2", 1, latch},
      {"version, 2 of 3", 2, version}};
  for (const auto& [name, answer, call] : rows) {
    chip->feature_answer_length = answer;
    EXPECT_EQ(call(), HID_SMBUS_DEVICE_IO_FAILED) << name;
  }
  EXPECT_EQ(rate, 7u);
  chip->feature_answer_length = -1;
  for (const auto& [name, answer, call] : rows) EXPECT_EQ(call(), HID_SMBUS_SUCCESS) << name;
  EXPECT_EQ(rate, 400000u);
  chip->feature_answer_length = 2;  // the version report read by the open
  ASSERT_EQ(HidSmbus_Close(device), HID_SMBUS_SUCCESS);
  EXPECT_EQ(HidSmbus_Open(&device, 0, HID_SMBUS_DEFAULT_VID, HID_SMBUS_DEFAULT_PID), HID_SMBUS_DEVICE_IO_FAILED);
  EXPECT_STREQ(HidSmbus_GetOpenErrorText(), "the device did not report its part number");
}

// The virtual chip refuses, and counts, every field out of its range or
// sent low byte first, so that the tests above would notice an encoder that
// sends one.
TEST_F(HidSmbusLibrary, TheVirtualChipCountsFieldsOutOfRangeOrByteOrder) {
  const VirtualCp2112::SmbusConfig before = chip->smbus;
  const std::pair<const char*, Bytes> features[] = {
      {"bit rate low byte first", {0x06, 0x80, 0x1A, 0x06, 0x00, 0x02, 0x01, 0x00, 0x64, 0x00, 0x64, 0x01, 0x00, 0x03}},
      {"bit rate 1 MHz", {0x06, 0x00, 0x0F, 0x42, 0x40, 0x02, 0x01, 0x00, 0x64, 0x00, 0x64, 0x01, 0x00, 0x03}},
      {"timeout 100 low byte first", {0x06, 0x00, 0x06, 0x1A, 0x80, 0x02, 0x01, 0x64, 0x00, 0x00, 0x64, 0x01, 0x00, 0x03}},
      {"retries 3 low byte first", {0x06, 0x00, 0x06, 0x1A, 0x80, 0x02, 0x01, 0x00, 0x64, 0x00, 0x64, 0x01, 0x03, 0x00}},
      {"1001 retries", {0x06, 0x00, 0x06, 0x1A, 0x80, 0x02, 0x01, 0x00, 0x64, 0x00, 0x64, 0x01, 0x03, 0xE9}},
      {"flag 2", {0x06, 0x00, 0x06, 0x1A, 0x80, 0x02, 0x02, 0x00, 0x64, 0x00, 0x64, 0x01, 0x00, 0x03}},
      {"short configuration", {0x06, 0x00, 0x06, 0x1A, 0x80, 0x02, 0x01, 0x00, 0x64, 0x00, 0x64, 0x01, 0x00}},
      {"reset without 01", {0x01, 0x00}}};
  const std::pair<const char*, Bytes> outputs[] = {
      {"read of 1 low byte first", {0x10, 0x68, 0x01, 0x00}},
      {"write-read of 2 low byte first", {0x11, 0x68, 0x02, 0x00, 0x01, 0x06}},
      {"force send of 61 low byte first", {0x12, 0x3D, 0x00}},
      {"status request without 01", {0x15, 0x00}},
      {"cancel without 01", {0x17, 0x00}},
      {"write of 62", {0x14, 0x68, 62, 0x00}}};
  for (const auto& [name, report] : features) {
    chip->set_feature(report.data(), report.size());
    EXPECT_EQ(chip->violations(), ++violations) << name;
  }
  for (const auto& [name, report] : outputs) {
    chip->output_report(report.data(), report.size());
    EXPECT_EQ(chip->violations(), ++violations) << name;
  }
  EXPECT_EQ(chip->smbus.bit_rate, before.bit_rate);
  EXPECT_EQ(chip->smbus.retry_limit, before.retry_limit);
  EXPECT_TRUE(chip->transfers().empty());
  EXPECT_EQ(chip->cancels(), 0);
  EXPECT_EQ(chip->pending_input_reports(), 0u);
}

TEST_F(HidSmbusLibrary, EachCallDeliversOneResponse) {
  ASSERT_EQ(HidSmbus_ReadRequest(device, 0x68, 128), HID_SMBUS_SUCCESS);
  std::vector<size_t> sizes;
  for (size_t offset = 0; response() == HID_SMBUS_SUCCESS; offset += piece.size()) {
    sizes.push_back(piece.size());
    for (size_t i = 0; i < piece.size(); ++i) EXPECT_EQ(piece[i], offset + i);
  }
  EXPECT_EQ(sizes, (std::vector<size_t>{61, 61, 6}));
  EXPECT_TRUE(piece.empty());  // the call that found nothing delivered nothing
}

// A real chip may send Transfer Status and empty Read Responses while it is
// configured, and a read may be left uncollected: every new exchange first
// drops what is waiting, so none is taken for the answer to the next.
TEST_F(HidSmbusLibrary, StaleReportsAreDrainedBeforeEachExchange) {
  chip->stray_reports_on_config = true;
  configure();
  ASSERT_EQ(HidSmbus_ReadRequest(device, 0x68, 4), HID_SMBUS_SUCCESS);  // never collected
  ASSERT_EQ(HidSmbus_ReadRequest(device, 0x68, 4), HID_SMBUS_SUCCESS);
  ASSERT_EQ(response(), HID_SMBUS_SUCCESS);
  EXPECT_EQ(piece, (Bytes{4, 5, 6, 7}));
  configure();
  ASSERT_EQ(HidSmbus_TransferStatusRequest(device), HID_SMBUS_SUCCESS);
  uint8_t s0 = 0, s1 = 0;
  uint16_t retries = 0, bytes_read = 0;
  ASSERT_EQ(HidSmbus_GetTransferStatusResponse(device, &s0, &s1, &retries, &bytes_read), HID_SMBUS_SUCCESS);
  EXPECT_EQ(std::make_pair(s0, bytes_read), std::make_pair(uint8_t{0x02}, uint16_t{4}));  // not the stray idle

  ASSERT_EQ(HidSmbus_ReadRequest(device, 0x68, 100), HID_SMBUS_SUCCESS);
  ASSERT_EQ(HidSmbus_CancelTransfer(device), HID_SMBUS_SUCCESS);  // drops what was not taken
  EXPECT_EQ(response(), HID_SMBUS_READ_TIMED_OUT);
}

// A response that comes after the library gave up on it, or one a killed run
// left behind that arrives only after the open: the next read gets its own
// bytes, never the old ones.
TEST_F(HidSmbusLibrary, LateAndLeftoverResponsesAreNeverTakenForTheNextRead) {
  const std::pair<const char*, std::function<Bytes()>> cases[] = {
      {"response 30 ms after the wait ended",
       [&] {
         EXPECT_EQ(HidSmbus_ReadRequest(device, 0x68, 4), HID_SMBUS_SUCCESS);  // settles after the open
         EXPECT_EQ(response(), HID_SMBUS_SUCCESS);
         chip->delay_responses(80);  // the response timeout is 50 ms
         EXPECT_EQ(HidSmbus_ReadRequest(device, 0x68, 4), HID_SMBUS_SUCCESS);
         EXPECT_EQ(response(), HID_SMBUS_READ_TIMED_OUT);
         chip->delay_responses(0);
         return Bytes{4, 5, 6, 7};
       }},
      {"leftover arriving 30 ms after the open",
       [&] {
         chip->leftover_at_open_ms = 30;
         EXPECT_EQ(HidSmbus_Close(device), HID_SMBUS_SUCCESS);
         EXPECT_EQ(HidSmbus_Open(&device, 0, HID_SMBUS_DEFAULT_VID, HID_SMBUS_DEFAULT_PID), HID_SMBUS_SUCCESS);
         configure();
         return Bytes(4, 0xEE);
       }}};
  for (const auto& [name, make_stale] : cases) {
    SCOPED_TRACE(name);
    const Bytes stale = make_stale();
    const uint8_t next = target.next_;
    ASSERT_EQ(HidSmbus_ReadRequest(device, 0x68, 4), HID_SMBUS_SUCCESS);
    ASSERT_EQ(response(), HID_SMBUS_SUCCESS);
    EXPECT_NE(piece, stale);
    EXPECT_EQ(piece, (Bytes{next, uint8_t(next + 1), uint8_t(next + 2), uint8_t(next + 3)}));
  }
}

TEST_F(HidSmbusLibrary, AnUnpluggedDeviceFailsInsteadOfHangingAndAClosedOneIsRefused) {
  chip->unplug_after(2);  // the first read request settles with a status request first
  ASSERT_EQ(HidSmbus_ReadRequest(device, 0x68, 10), HID_SMBUS_SUCCESS);
  EXPECT_EQ(response(), HID_SMBUS_READ_ERROR);
  EXPECT_EQ(HidSmbus_ReadRequest(device, 0x68, 10), HID_SMBUS_READ_ERROR);
  EXPECT_EQ(HidSmbus_Close(device), HID_SMBUS_SUCCESS);
  EXPECT_EQ(HidSmbus_Close(device), HID_SMBUS_INVALID_DEVICE_OBJECT);
  EXPECT_EQ(HidSmbus_ReadRequest(device, 0x68, 10), HID_SMBUS_INVALID_DEVICE_OBJECT);
}

}  // namespace
