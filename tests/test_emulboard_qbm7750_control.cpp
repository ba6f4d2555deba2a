// The custom board's report protocol, checked on the reports the virtual
// board receives and the I2C transfers it carries to the virtual controller.
#include "bridge/hidboard/emulboard_qbm7750_control.h"

#include "hid_unplug.h"
#include "support_hidboard.h"

#include <functional>
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
    open_quietly(emulboard_qbm7750_init);
    for (int i = 0; i < 0x100; ++i) controller.registers()[0x2000 + i] = static_cast<uint8_t>(i ^ 0xA5);
  }
  Bytes last_request(size_t count = 64) const {
    return Bytes(board->requests().back().begin(), board->requests().back().begin() + count);
  }
  std::string last_transfer() const { return VirtualKd63507::format_transfer(controller.transfers().back()); }
  Bytes registers(uint16_t from, size_t count) {
    return Bytes(controller.registers().begin() + from, controller.registers().begin() + from + count);
  }
  void point_at_0x2000() { ASSERT_EQ(emulboard_qbm7750_usb_write(Bytes{0x20, 0x00}.data(), 2), 1); }

  std::shared_ptr<VirtualHidBoard> board;
};

TEST_F(EmulboardQbm7750, HeaderAndTheAddressDirectionByteAfterReadsAndWrites) {
  emulboard_qbm7750_set_i2c_slave_addr(0, 0x34);
  EXPECT_EQ(Bytes(kptHIDDevice->pOutputReport.get(), kptHIDDevice->pOutputReport.get() + 2), (Bytes{0x09, 0x68}));
  const uint8_t data[] = {0x12, 0x34};
  ASSERT_EQ(emulboard_qbm7750_usb_write(data, sizeof data), 1);
  EXPECT_EQ(last_request(6), (Bytes{0x09, 0x68, 0x02, 0x00, 0x12, 0x34}));
  EXPECT_EQ(last_transfer(), "W 34: 12 34");

  uint8_t byte = 0;
  ASSERT_EQ(emulboard_qbm7750_usb_read(&byte, 1), 1);
  EXPECT_EQ(last_request(2), (Bytes{0x09, 0x69}));
  emulboard_qbm7750_set_i2c_slave_addr(0, 0x48);  // the read bit stays
  EXPECT_EQ(kptHIDDevice->pOutputReport[1], 0x91);
  // The request goes out though nothing acknowledges 0x48: the board cannot say so.
  EXPECT_EQ(emulboard_qbm7750_usb_write(data, 0), 1);
  EXPECT_EQ(last_request(4), (Bytes{0x09, 0x90, 0x00, 0x00}));
  EXPECT_EQ(last_transfer(), "W 48:");
}

TEST_F(EmulboardQbm7750, WritesOfAtMost60BytesGoOutLongerOnesAreRefused) {
  Bytes data(61, 0x3C);
  data[0] = 0x20;  // register 0x2000
  data[1] = 0x00;
  ASSERT_EQ(emulboard_qbm7750_usb_write(data.data(), 60), 1);
  const Bytes sent = last_request();
  EXPECT_EQ(Bytes(sent.begin() + 4, sent.end()), Bytes(data.begin(), data.begin() + 60));
  EXPECT_EQ(emulboard_qbm7750_usb_write(data.data(), 61), 0);
  EXPECT_EQ(board->requests().size(), 1u);
  EXPECT_EQ(controller.transfers().size(), 1u);
}

TEST_F(EmulboardQbm7750, ReadsAreSplitInto60ByteExchanges) {
  const std::vector<std::pair<uint16_t, std::vector<int>>> cases = {
      {0, {0}}, {60, {60}}, {61, {60, 1}}, {150, {60, 60, 30}}};
  for (const auto& [length, exchanges] : cases) {
    SCOPED_TRACE(length);
    point_at_0x2000();
    const size_t before = board->requests().size();
    Bytes buffer(length + 1u, 0x5A);
    ASSERT_EQ(emulboard_qbm7750_usb_read(buffer.data(), length), 1);
    std::vector<int> lengths;
    for (size_t i = before; i < board->requests().size(); ++i) lengths.push_back(board->requests()[i][2]);
    EXPECT_EQ(lengths, exchanges);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.end() - 1), registers(0x2000, length));  // at offsets 0, 60, 120
    EXPECT_EQ(buffer.back(), 0x5A);
    EXPECT_EQ(board->pending_answers(), 0u);  // every answer was read
  }
}

TEST_F(EmulboardQbm7750, ReadEndsAtTheFirstFailedExchangeAndAClosedBoardSendsNothing) {
  // The board behind a plug pulled after three reports: the pointer write,
  // the first exchange's request and answer. The second request fails.
  hid_virtual_detach_all();
  hid_virtual_attach(unplug_after_reports(board, 3));
  open_quietly(emulboard_qbm7750_init);
  point_at_0x2000();
  Bytes buffer(150, 0xEE);
  EXPECT_EQ(emulboard_qbm7750_usb_read(buffer.data(), 150), 0);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 60), registers(0x2000, 60));
  EXPECT_EQ(Bytes(buffer.begin() + 60, buffer.end()), Bytes(90, 0xEE));
  EXPECT_EQ(emulboard_qbm7750_usb_write(buffer.data(), 2), 0);
  // Closed: no operation touches the released report buffers.
  emulboard_qbm7750_close();
  EXPECT_EQ(emulboard_qbm7750_usb_write(buffer.data(), 2), 0);
  EXPECT_EQ(emulboard_qbm7750_usb_read(buffer.data(), 4), 0);
  EXPECT_EQ(emulboard_qbm7750_set_i2c_slave_addr(0, 0x48), 0);
}

// An answer that comes too late for its exchange, or one a killed run left
// in the board, is never taken for the next exchange's answer.
TEST_F(EmulboardQbm7750, LateAndLeftoverAnswersAreNeverTakenForTheNextOne) {
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"answer 100 ms after the read gave up",
       [&] {
         board->delay_answers(1, QBM7750_READ_TIMEOUT_MS + 100);
         point_at_0x2000();
         uint8_t old[4];
         EXPECT_EQ(emulboard_qbm7750_usb_read(old, sizeof old), 0);
       }},
      {"answer left by a killed run",
       [&] {
         board->leftover_at_open = Bytes(64, 0x5A);
         open_quietly(emulboard_qbm7750_init);
         EXPECT_EQ(board->pending_answers(), 1u);
       }}};
  for (const auto& [name, make_stale] : cases) {
    SCOPED_TRACE(name);
    make_stale();
    ASSERT_EQ(emulboard_qbm7750_usb_write(Bytes{0x20, 0x10}.data(), 2), 1);
    Bytes fresh(4);
    ASSERT_EQ(emulboard_qbm7750_usb_read(fresh.data(), 4), 1);
    EXPECT_EQ(fresh, registers(0x2010, 4));
    EXPECT_EQ(board->pending_answers(), 0u);
  }
}

}  // namespace
