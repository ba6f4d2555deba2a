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

uint8_t status(VirtualKd63507& kd) { return read_reg(kd, 0x0600, 1)[0]; }

// A request takes effect only once its busy reads have passed: before that
// the command block still holds the previous result and the flash is as it
// was. Refused commands end too, with a result no host takes for success.
TEST(VirtualKd63507, RequestsTakeEffectOnlyWhenTheControllerIsReadyAgain) {
  VirtualKd63507 kd(Kd63507Config{.busy_reads = 2, .check_failures = {}});
  write_reg(kd, 0x6000, std::vector<uint8_t>(16, 0x42));
  write_reg(kd, 0x1400, command_block(0x4000, 16, 3));  // not in update mode yet
  EXPECT_EQ(read_reg(kd, 0x1400, 8)[6], 0);  // the host's 0: no answer yet
  EXPECT_EQ(kd.refused_commands(), 0);
  // That read of the block counted toward the busy time, as a status read does.
  EXPECT_EQ(std::vector<uint8_t>({status(kd), status(kd)}), std::vector<uint8_t>({0x01, 0xA0}));
  EXPECT_EQ(kd.refused_commands(), 1);
  EXPECT_EQ(read_reg(kd, 0x1400, 8)[6], VirtualKd63507::kResultRefused);
  write_reg(kd, 0x0610, {0x02});
  write_reg(kd, 0x1400, command_block(0x4000, 16, 3));  // while busy: not taken, a violation
  while (status(kd) != 0xA0) {
  }
  EXPECT_TRUE(kd.in_update_mode());
  EXPECT_EQ(kd.protocol_violations(), 1);
  EXPECT_EQ(kd.flash()[0x4000], 0xFF);

  write_reg(kd, 0x1400, command_block(0x4000, 16, 3));
  write_reg(kd, 0x6000, {0x00});  // the window while busy
  EXPECT_EQ(kd.protocol_violations(), 2);
  EXPECT_EQ(read_reg(kd, 0x1400, 8)[6], 0);  // the host's 0 until the controller answers
  EXPECT_EQ(kd.flash()[0x4000], 0xFF);
  while (status(kd) != 0xA0) {
  }
  EXPECT_EQ(kd.program_commands(), 1);
  EXPECT_EQ(kd.flash()[0x4000], 0x00);
  EXPECT_EQ(kd.flash()[0x400F], 0x42);
  EXPECT_EQ(kd.flash()[0x4010], 0xFF);
  EXPECT_EQ(read_reg(kd, 0x1400, 8)[6], 1);
  const std::pair<std::vector<uint8_t>, uint8_t> refused[] = {  // outside the flash, unknown: refused
      {command_block(0x1FFF0, 32, 3), VirtualKd63507::kResultRefused}, {command_block(0x4000, 16, 9), 0xE0},
      {command_block(0x20000, 4, 5), 0}};
  for (const auto& [block, result] : refused) {
    write_reg(kd, 0x1400, block);
    while (status(kd) != 0xA0) {
    }
    EXPECT_EQ(read_reg(kd, 0x1400, 8)[6], result);
  }
  EXPECT_EQ(kd.refused_commands(), 4);
}

TEST(VirtualKd63507, BusyTimeAnnouncementsAndAVanishingController) {
  VirtualKd63507 kd(Kd63507Config{.busy_reads = 0, .check_failures = {}, .busy_time = std::chrono::milliseconds(20)});
  const SimClock::time_point start = kd.now();
  write_reg(kd, 0x0610, {0x02});
  while (status(kd) != 0xA0) {
  }
  EXPECT_GE(kd.now() - start, std::chrono::milliseconds(20));
  kd.announce(0x77, 2);
  EXPECT_EQ(std::vector<uint8_t>({status(kd), status(kd), status(kd)}), std::vector<uint8_t>({0x77, 0x77, 0xA0}));
  const size_t answered = kd.transfers().size() + 5;
  kd.config().vanish_after = static_cast<long>(answered);
  while (kd.i2c_write(0x34, nullptr, 0)) {
  }
  EXPECT_EQ(kd.transfers().size(), answered + 1);  // the next one is not acknowledged
  uint8_t byte = 0x5A;
  EXPECT_FALSE(kd.i2c_read(0x34, &byte, 1));
  EXPECT_EQ(byte, 0x5A);
}

}  // namespace
