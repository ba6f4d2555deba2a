// The custom board's report protocol, checked on the reports the virtual
// board receives and the I2C transfers it carries to the virtual controller.
#include "bridge/hidboard/emulboard_qbm7750_control.h"

#include "app/master.h"
#include "hid_unplug.h"
#include "support_hidboard.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

class EmulboardQbm7750 : public HidBoardBench {
 protected:
  void SetUp() override {
    HidBoardBench::SetUp();
    controller.set_recording(true);
    board = attach_board();
    testing::internal::CaptureStdout();  // the open's attribute lines
    const int opened = emulboard_qbm7750_init();
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(opened, 1);
    // A known pattern at 0x2000..0x20FF to read back.
    for (int i = 0; i < 0x100; ++i) controller.registers()[0x2000 + i] = static_cast<uint8_t>(i ^ 0xA5);
  }

  const Bytes& last_request() const { return board->requests().back(); }
  // The transfer-length field of every request so far.
  std::vector<int> request_lengths() const {
    std::vector<int> lengths;
    for (const Bytes& r : board->requests()) lengths.push_back(r[2] | r[3] << 8);
    return lengths;
  }
  // Points the controller's register pointer at `reg` (a 2-byte write).
  void point_at(uint16_t reg) {
    const uint8_t address[2] = {static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg)};
    ASSERT_EQ(emulboard_qbm7750_usb_write(address, 2), 1);
  }
  Bytes pattern(uint16_t from, size_t count) {
    return Bytes(controller.registers().begin() + from, controller.registers().begin() + from + count);
  }

  std::shared_ptr<VirtualHidBoard> board;
};

TEST_F(EmulboardQbm7750, InitPutsReportIdAndDefaultAddressIntoTheOutputReport) {
  EXPECT_EQ(kptHIDDevice->pOutputReport[0], 0x09);
  EXPECT_EQ(kptHIDDevice->pOutputReport[1], 0x68);
  emulboard_qbm7750_set_i2c_slave_addr(0, 0x34);
  EXPECT_EQ(kptHIDDevice->pOutputReport[1], 0x68);
}

TEST_F(EmulboardQbm7750, WriteSendsTheWholeReportWithTheDataFromByte4) {
  const uint8_t data[] = {0x12, 0x34};
  ASSERT_EQ(emulboard_qbm7750_usb_write(data, sizeof data), 1);
  Bytes expected(64, 0);
  expected[0] = 0x09;
  expected[1] = 0x68;
  expected[2] = 0x02;
  expected[4] = 0x12;
  expected[5] = 0x34;
  EXPECT_EQ(last_request(), expected);
  ASSERT_EQ(controller.transfers().size(), 1u);
  EXPECT_EQ(VirtualKd63507::format_transfer(controller.transfers()[0]), "W 34: 12 34");

  // Bytes behind a shorter write keep what the earlier request left there.
  const uint8_t longer[] = {0x01, 0x50, 0xAA, 0xBB, 0xCC};
  ASSERT_EQ(emulboard_qbm7750_usb_write(longer, sizeof longer), 1);
  ASSERT_EQ(emulboard_qbm7750_usb_write(data, sizeof data), 1);
  EXPECT_EQ(Bytes(last_request().begin(), last_request().begin() + 9),
            (Bytes{0x09, 0x68, 0x02, 0x00, 0x12, 0x34, 0xAA, 0xBB, 0xCC}));
  EXPECT_EQ(VirtualKd63507::format_transfer(controller.transfers().back()), "W 34: 12 34");
}

TEST_F(EmulboardQbm7750, DirectionBitPersistsAndTheAddressKeepsIt) {
  uint8_t byte = 0;
  point_at(0x2000);
  ASSERT_EQ(emulboard_qbm7750_usb_read(&byte, 1), 1);
  EXPECT_EQ(last_request()[1], 0x69);
  EXPECT_EQ(kptHIDDevice->pOutputReport[1], 0x69);

  emulboard_qbm7750_set_i2c_slave_addr(0, 0x48);
  EXPECT_EQ(kptHIDDevice->pOutputReport[1], 0x91);
  const uint8_t data[] = {0x00};
  // The request goes out even though nothing acknowledges 0x48: the board
  // has no way to say so.
  EXPECT_EQ(emulboard_qbm7750_usb_write(data, 1), 1);
  EXPECT_EQ(last_request()[1], 0x90);
  EXPECT_EQ(controller.transfers().back().address7, 0x48);
  EXPECT_FALSE(controller.transfers().back().acked);

  // Address bits beyond 7 are cut off, the direction bit is still kept.
  emulboard_qbm7750_set_i2c_slave_addr(0, 0x1B4);
  EXPECT_EQ(kptHIDDevice->pOutputReport[1], 0x68);
}

TEST_F(EmulboardQbm7750, WritesOfAtMost60BytesGoOutLongerOnesAreRefused) {
  Bytes data(61);
  std::iota(data.begin(), data.end(), 0);
  data[0] = 0x20;  // register 0x2000
  data[1] = 0x00;
  ASSERT_EQ(emulboard_qbm7750_usb_write(data.data(), 60), 1);
  EXPECT_EQ(board->requests().size(), 1u);
  EXPECT_EQ(Bytes(last_request().begin() + 4, last_request().end()), Bytes(data.begin(), data.begin() + 60));
  EXPECT_EQ(pattern(0x2000, 58), Bytes(data.begin() + 2, data.begin() + 60));

  EXPECT_EQ(emulboard_qbm7750_usb_write(data.data(), 61), 0);
  EXPECT_EQ(board->requests().size(), 1u);
  EXPECT_EQ(controller.transfers().size(), 1u);
}

TEST_F(EmulboardQbm7750, ZeroLengthWriteIsAnEmptyRequest) {
  ASSERT_EQ(emulboard_qbm7750_usb_write(nullptr, 0), 1);
  EXPECT_EQ(Bytes(last_request().begin(), last_request().begin() + 4), (Bytes{0x09, 0x68, 0x00, 0x00}));
  EXPECT_EQ(VirtualKd63507::format_transfer(controller.transfers().back()), "W 34:");
}

TEST_F(EmulboardQbm7750, ReadsAreSplitInto60ByteExchanges) {
  struct Case {
    uint16_t length;
    std::vector<int> exchanges;
  };
  for (const Case& c : {Case{60, {60}}, Case{61, {60, 1}}, Case{150, {60, 60, 30}}}) {
    SCOPED_TRACE(c.length);
    const size_t before = board->requests().size();
    point_at(0x2000);
    Bytes buffer(c.length, 0);
    ASSERT_EQ(emulboard_qbm7750_usb_read(buffer.data(), c.length), 1);
    std::vector<int> lengths = request_lengths();
    lengths.erase(lengths.begin(), lengths.begin() + static_cast<long>(before) + 1);
    EXPECT_EQ(lengths, c.exchanges);
    EXPECT_EQ(buffer, pattern(0x2000, c.length));  // data at offsets 0, 60, 120
    EXPECT_EQ(board->pending_answers(), 0u);
  }
}

TEST_F(EmulboardQbm7750, ZeroByteReadIsOneEmptyExchange) {
  uint8_t untouched = 0x5A;
  ASSERT_EQ(emulboard_qbm7750_usb_read(&untouched, 0), 1);
  EXPECT_EQ(board->requests().size(), 1u);
  EXPECT_EQ(Bytes(last_request().begin(), last_request().begin() + 4), (Bytes{0x09, 0x69, 0x00, 0x00}));
  EXPECT_EQ(board->pending_answers(), 0u);
  EXPECT_EQ(untouched, 0x5A);
}

TEST_F(EmulboardQbm7750, ReadEndsAtTheFirstFailedExchangeKeepingEarlierBytes) {
  // Re-attach the board behind a plug that is pulled after three reports:
  // request and answer of the first exchange, then the second request.
  usb_drv_qbm7750_close();
  hid_virtual_detach_all();
  hid_virtual_attach(unplug_after_reports(board, 3));
  testing::internal::CaptureStdout();
  ASSERT_EQ(emulboard_qbm7750_init(), 1);
  testing::internal::GetCapturedStdout();

  point_at(0x2000);  // report 1
  Bytes buffer(150, 0xEE);
  EXPECT_EQ(emulboard_qbm7750_usb_read(buffer.data(), 150), 0);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 60), pattern(0x2000, 60));
  EXPECT_EQ(Bytes(buffer.begin() + 60, buffer.end()), Bytes(90, 0xEE));
  EXPECT_EQ(emulboard_qbm7750_usb_write(buffer.data(), 2), 0);
}

TEST_F(EmulboardQbm7750, PinOperationsAnswerFixedValues) {
  EXPECT_EQ(emulboard_qbm7750_read_intr(0), 1);
  EXPECT_EQ(emulboard_qbm7750_set_intr_dir(1), 0);
  EXPECT_EQ(emulboard_qbm7750_poweron(0), 1);
  EXPECT_EQ(emulboard_qbm7750_shutdown(0), 1);
  emulboard_qbm7750_set_i2c_speed(200000);
  emulboard_qbm7750_set_intr_value(1);
  emulboard_qbm7750_set_ce_value(1);
  emulboard_qbm7750_set_vdd();
  emulboard_qbm7750_set_ce_dir();
  EXPECT_TRUE(board->requests().empty());
  EXPECT_EQ(kptHIDDevice->pOutputReport[1], 0x68);
}

TEST_F(EmulboardQbm7750, ClosedBoardSendsNothing) {
  emulboard_qbm7750_close();
  emulboard_qbm7750_close();
  uint8_t data[4] = {0x06, 0x00};
  EXPECT_EQ(emulboard_qbm7750_usb_write(data, 2), 0);
  EXPECT_EQ(emulboard_qbm7750_usb_read(data, 4), 0);
  EXPECT_EQ(emulboard_qbm7750_set_i2c_slave_addr(0, 0x48), 0);
  EXPECT_TRUE(board->requests().empty());
  EXPECT_EQ(board->open_count, 0);
}

TEST_F(EmulboardQbm7750, RegisterAccessThroughTheBridgeTable) {
  app_download_init(BOARD_HIDBOARD);
  emul_i2c_set_slave_addr(0, 0x34);
  const uint8_t data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  EXPECT_EQ(i2c_write_to(0x2010, data, sizeof data), 1);
  uint8_t back[16] = {};
  EXPECT_EQ(i2c_read_from(0x2010, back, sizeof back), 1);
  EXPECT_EQ(Bytes(back, back + 16), Bytes(data, data + 16));
  const auto& t = controller.transfers();
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(VirtualKd63507::format_transfer(t[0]), "W 34: 20 10 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10");
  EXPECT_EQ(VirtualKd63507::format_transfer(t[1]), "W 34: 20 10");
  EXPECT_EQ(VirtualKd63507::format_transfer(t[2]), "R 34: 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10");
  emul_i2c_usb_close();
  EXPECT_EQ(board->open_count, 0);
}

}  // namespace
