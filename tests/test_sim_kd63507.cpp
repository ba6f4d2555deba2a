// The virtual controller is the reference every bridge test leans on: check
// its register framing, status timing, IAP commands and checksum first.
#include "kd63507.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

bool write_reg(VirtualKd63507& kd, uint16_t reg, std::vector<uint8_t> data) {
  data.insert(data.begin(), {static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg)});
  return kd.i2c_write(0x34, data.data(), data.size());
}

std::vector<uint8_t> read_reg(VirtualKd63507& kd, uint16_t reg, size_t n) {
  write_reg(kd, reg, {});
  std::vector<uint8_t> out(n);
  kd.i2c_read(0x34, out.data(), n);
  return out;
}

std::vector<uint8_t> command_block(uint32_t address, uint16_t length, uint8_t command) {
  return {static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address >> 16),
          static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), 0,
          command};
}

TEST(VirtualKd63507, AnswersOnlyItsOwnAddress) {
  VirtualKd63507 kd;
  uint8_t frame[] = {0x06, 0x00};
  EXPECT_FALSE(kd.i2c_write(0x35, frame, sizeof frame));
  uint8_t byte = 0x5A;
  EXPECT_FALSE(kd.i2c_read(0x35, &byte, 1));
  EXPECT_EQ(byte, 0x5A);
  ASSERT_EQ(kd.transfers().size(), 2u);
  EXPECT_FALSE(kd.transfers()[0].acked);
  EXPECT_EQ(VirtualKd63507::format_transfer(kd.transfers()[0]), "W 35:");
}

TEST(VirtualKd63507, ReadsContinueWhereTheLastOneStopped) {
  Kd63507Config config;
  config.versions = {0x0102, 0x0304, 0x0506, 0x0708};
  VirtualKd63507 kd(config);
  EXPECT_EQ(read_reg(kd, 0x0120, 8), (std::vector<uint8_t>{0x02, 0x01, 0x04, 0x03, 0x06, 0x05, 0x08, 0x07}));
  write_reg(kd, 0x0150, {});
  std::vector<uint8_t> first(4), second(6);
  kd.i2c_read(0x34, first.data(), first.size());
  kd.i2c_read(0x34, second.data(), second.size());
  EXPECT_EQ(first, (std::vector<uint8_t>{'T', 'C', 'I', 'P'}));
  EXPECT_EQ(second, (std::vector<uint8_t>{0, 0, 0, 0, 0x00, 0x01}));
  EXPECT_EQ(VirtualKd63507::format_transfer(kd.transfers().back()), "R 34: 00 00 00 00 00 01");
}

TEST(VirtualKd63507, IapCommandsNeedUpdateMode) {
  VirtualKd63507 kd;
  write_reg(kd, 0x6000, std::vector<uint8_t>(16, 0x42));
  write_reg(kd, 0x1400, command_block(0x4000, 16, 3));
  EXPECT_EQ(kd.refused_commands(), 1);
  EXPECT_EQ(kd.flash()[0x4000], 0xFF);

  write_reg(kd, 0x0610, {0x02});
  write_reg(kd, 0x1400, command_block(0x4000, 16, 3));
  EXPECT_EQ(kd.program_commands(), 1);
  EXPECT_EQ(kd.flash()[0x4000], 0x42);
  EXPECT_EQ(kd.flash()[0x400F], 0x42);
  EXPECT_EQ(kd.flash()[0x4010], 0xFF);
}

}  // namespace
