// The virtual custom board answers as the board's firmware does and refuses
// what the firmware would refuse. (Its decoding of well-formed requests is
// checked through the board control tests.)
#include "hidboard_sim.h"
#include "kd63507.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes request(uint8_t id, uint8_t address_byte, uint16_t length, const Bytes& data = {}) {
  Bytes report = {id, address_byte, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
  report.resize(64);
  std::copy(data.begin(), data.end(), report.begin() + 4);
  return report;
}

TEST(VirtualBoard, ReadAnswerEchoesTheHeaderAndMalformedRequestsCauseNoI2cTraffic) {
  VirtualKd63507 controller;
  VirtualHidBoard board{&controller, 0x1209, 0x7750};
  const auto send = [&](const Bytes& report) { return board.output_report(report.data(), report.size()); };
  send(request(0x09, (0x50 << 1) | 1, 3));  // nobody at 0x50: a released bus reads 0xFF
  Bytes answer(64);
  ASSERT_EQ(board.input_report(answer.data(), answer.size(), 0), 64);
  EXPECT_EQ(answer, request(0x09, 0xA1, 3, {0xFF, 0xFF, 0xFF}));
  EXPECT_FALSE(controller.transfers().back().acked);

  controller.clear_transfers();
  EXPECT_EQ(send(request(0x08, 0x68, 2, {0x20, 0x00})), 64);  // wrong report ID
  send(request(0x09, 0x68, 61));                               // write longer than 60
  send(request(0x09, 0x69, 61));                               // read longer than 60
  send(request(0x09, 0x69, 0x0100));                           // high length byte set
  send({0x09, 0x69, 0x01});                                    // no room for the header
  send({0x09, 0x68, 0x05, 0x00, 0x20, 0x00});                  // data cut short
  EXPECT_EQ(board.refused_requests(), 6);
  EXPECT_TRUE(controller.transfers().empty());
  EXPECT_EQ(board.pending_answers(), 0u);
}

}  // namespace
