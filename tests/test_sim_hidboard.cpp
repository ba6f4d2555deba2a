// The virtual custom board decodes requests as the board's firmware does and
// refuses what the firmware would refuse; the unplug wrapper pulls any
// virtual device after a set number of reports.
#include "hid_unplug.h"
#include "hidboard_sim.h"
#include "kd63507.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes request(uint8_t id, uint8_t address_byte, uint16_t length, Bytes data = {}) {
  Bytes report(64, 0);
  report[0] = id;
  report[1] = address_byte;
  report[2] = static_cast<uint8_t>(length);
  report[3] = static_cast<uint8_t>(length >> 8);
  std::copy(data.begin(), data.end(), report.begin() + 4);
  return report;
}

class VirtualBoard : public ::testing::Test {
 protected:
  int send(const Bytes& report) { return board.output_report(report.data(), report.size()); }
  Bytes answer() {
    Bytes report(64, 0xEE);
    report.resize(static_cast<size_t>(std::max(board.input_report(report.data(), report.size(), 0), 0)));
    return report;
  }

  VirtualKd63507 controller;
  VirtualHidBoard board{&controller, 0x1209, 0x7750};
};

TEST_F(VirtualBoard, WriteRequestBecomesOneI2cWriteWithoutAnswer) {
  EXPECT_EQ(send(request(0x09, 0x68, 3, {0x20, 0x00, 0x77})), 64);
  EXPECT_EQ(controller.registers()[0x2000], 0x77);
  ASSERT_EQ(controller.transfers().size(), 1u);
  EXPECT_EQ(VirtualKd63507::format_transfer(controller.transfers()[0]), "W 34: 20 00 77");
  EXPECT_EQ(board.pending_answers(), 0u);
  EXPECT_TRUE(answer().empty());  // the time runs out
}

TEST_F(VirtualBoard, ReadRequestIsAnsweredWithTheDataFromByte4) {
  controller.registers()[0x2000] = 0xA1;
  controller.registers()[0x2001] = 0xB2;
  send(request(0x09, 0x68, 2, {0x20, 0x00}));
  EXPECT_EQ(send(request(0x09, 0x69, 2)), 64);
  Bytes expected(64, 0);
  expected[0] = 0x09;
  expected[1] = 0x69;
  expected[2] = 0x02;
  expected[4] = 0xA1;
  expected[5] = 0xB2;
  EXPECT_EQ(answer(), expected);
  EXPECT_EQ(VirtualKd63507::format_transfer(controller.transfers().back()), "R 34: A1 B2");
}

TEST_F(VirtualBoard, ReadFromAnAbsentSlaveAnswersAReleasedBus) {
  send(request(0x09, (0x50 << 1) | 1, 3));
  const Bytes got = answer();
  ASSERT_EQ(got.size(), 64u);
  EXPECT_EQ(Bytes(got.begin() + 4, got.begin() + 8), (Bytes{0xFF, 0xFF, 0xFF, 0x00}));
  EXPECT_FALSE(controller.transfers().back().acked);
}

TEST_F(VirtualBoard, MalformedRequestsCauseNoI2cTraffic) {
  EXPECT_EQ(send(request(0x08, 0x68, 2, {0x20, 0x00})), 64);  // wrong report ID
  send(request(0x09, 0x68, 61));                               // write longer than 60
  send(request(0x09, 0x69, 61));                               // read longer than 60
  send(request(0x09, 0x69, 0x0100));                           // high length byte set
  const uint8_t stub[3] = {0x09, 0x69, 0x01};                  // no room for the header
  board.output_report(stub, sizeof stub);
  const Bytes short_write = {0x09, 0x68, 0x05, 0x00, 0x20, 0x00};  // data cut short
  send(short_write);
  EXPECT_EQ(board.refused_requests(), 6);
  EXPECT_TRUE(controller.transfers().empty());
  EXPECT_EQ(board.pending_answers(), 0u);
  EXPECT_EQ(board.requests().size(), 6u);
}

TEST(HidUnplug, DeviceDisappearsAfterTheGivenNumberOfReports) {
  VirtualKd63507 controller;
  auto board = std::make_shared<VirtualHidBoard>(&controller, 0x1209, 0x7750);
  hid_virtual_detach_all();
  hid_virtual_attach(unplug_after_reports(board, 3));
  ASSERT_EQ(hid_transport_enumerate(0x1209, 0x7750).size(), 1u);
  HidHandle* handle = hid_transport_open(hid_transport_enumerate(0x1209, 0x7750)[0].path);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(board->open_count, 1);

  const Bytes read_request = request(0x09, 0x69, 1);
  Bytes in(64);
  EXPECT_EQ(hid_transport_read(handle, in.data(), in.size(), 0), 0);  // nothing waiting: not a report
  EXPECT_EQ(hid_transport_write(handle, read_request.data(), 64), 64);
  EXPECT_EQ(hid_transport_read(handle, in.data(), in.size(), 0), 64);
  EXPECT_EQ(hid_transport_write(handle, read_request.data(), 64), 64);  // the third report still goes out
  EXPECT_EQ(hid_transport_read(handle, in.data(), in.size(), 0), -1);
  EXPECT_EQ(hid_transport_write(handle, read_request.data(), 64), -1);
  EXPECT_TRUE(hid_transport_enumerate(0, 0).empty());
  EXPECT_EQ(board->requests().size(), 2u);
  hid_transport_close(handle);
  EXPECT_EQ(board->open_count, 0);

  hid_virtual_detach_all();
  hid_virtual_attach(unplug_after_reports(board, 0));
  EXPECT_TRUE(hid_transport_enumerate(0, 0).empty());
  hid_virtual_detach_all();
}

}  // namespace
