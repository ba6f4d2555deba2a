// Register framing and the bridge table, against a recording bridge bound
// into the table.
#include "app/master.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Transfer {
  char kind;  // 'W' write, 'R' read, 'A' address set
  std::vector<uint8_t> bytes;
};
std::vector<Transfer> g_seen;
int g_write_result = 1;
int g_read_result = 1;
uint32_t g_answering_address = 0x34;
uint32_t g_address = 0x34;

int record_write(const uint8_t* data, uint16_t length) {
  g_seen.push_back({'W', std::vector<uint8_t>(data, data + length)});
  return g_write_result;
}
int record_read(uint8_t* buffer, uint16_t length) {
  for (uint16_t i = 0; i < length; ++i) buffer[i] = static_cast<uint8_t>(0xC0 + i);
  g_seen.push_back({'R', std::vector<uint8_t>(buffer, buffer + length)});
  return g_read_result;
}
// Acknowledges writes only at one address, like a lone device on the bus.
int addressed_write(const uint8_t* data, uint16_t length) {
  g_seen.push_back({'W', std::vector<uint8_t>(data, data + length)});
  return g_address == g_answering_address ? 1 : 0;
}
int record_set_address(uint32_t, uint32_t address) {
  g_address = address;
  g_seen.push_back({'A', {static_cast<uint8_t>(address)}});
  return 1;
}

class RegisterAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    g_seen.clear();
    g_write_result = 1;
    g_read_result = 1;
    emul_i2c_write = record_write;
    emul_i2c_read = record_read;
    emul_i2c_set_slave_addr = record_set_address;
  }
};

TEST_F(RegisterAccess, WritesFrameTheAddressHighByteFirstAheadOfTheData) {
  const uint8_t sixteen[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const uint8_t one[] = {0xAB};
  EXPECT_EQ(i2c_write_to(0x6010, sixteen, 16), 1);
  EXPECT_EQ(i2c_write_to(0x0610, nullptr, 0), 1);
  EXPECT_EQ(i2c_write(3, 0x1400, 0x101, 0x2FF, 0x03), 1);  // low bytes of the arguments
  g_sub_addr_ = 1;
  i2c_write_to(0x1234, one, 1);
  g_sub_addr_ = 0;
  i2c_write_to(0x1234, one, 1);
  g_sub_addr_ = 2;
  std::vector<uint8_t> first = {0x60, 0x10};
  first.resize(18);
  for (int i = 0; i < 16; ++i) first[2 + i] = sixteen[i];
  const std::vector<std::vector<uint8_t>> expected = {
      first, {0x06, 0x10}, {0x14, 0x00, 0x01, 0xFF, 0x03}, {0x34, 0xAB}, {0xAB}};
  ASSERT_EQ(g_seen.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(g_seen[i].bytes, expected[i]) << "write " << i;
}

TEST_F(RegisterAccess, BridgeFailuresAreReportedNotHidden) {
  uint8_t buffer[4] = {};
  g_write_result = 0x100;  // only the low byte counts
  EXPECT_EQ(i2c_write_to(0x1400, buffer, 4), 0);
  EXPECT_EQ(i2c_read_from(0x0600, buffer, 1), 0);
  g_write_result = 1;
  g_read_result = 0;
  EXPECT_EQ(i2c_read_from(0x0600, buffer, 1), 0);
  g_read_result = 7;
  EXPECT_EQ(i2c_read(buffer, 1), 7);
}

TEST(BridgeTable, EveryBridgeBindsEverySlotAndAnyOtherCodeEmptiesThem) {
  auto slots = [] {
    return std::vector<bool>{emul_i2c_write != nullptr,    emul_i2c_read != nullptr,   emul_i2c_set_slave_addr != nullptr,
                             emul_i2c_set_speed != nullptr, emul_read_intr != nullptr,  emul_set_intr_dir != nullptr,
                             emul_set_intr != nullptr,      emul_tkey_power_on != nullptr, emul_tkey_power_off != nullptr,
                             emul_i2c_tkey_set_ce != nullptr, emul_i2c_usb_close != nullptr};
  };
  for (uint8_t board : {BOARD_CP2112, BOARD_HIDBOARD}) {
    app_download_init(0);
    app_download_init(static_cast<uint8_t>(board));
    EXPECT_EQ(slots(), std::vector<bool>(11, true)) << int(board);
    const auto write_for_board = emul_i2c_write;
    app_download_init(static_cast<uint8_t>(board == BOARD_CP2112 ? BOARD_HIDBOARD : BOARD_CP2112));
    EXPECT_NE(emul_i2c_write, write_for_board);
  }
  for (uint8_t other : {0, 1, 4, 6, 255}) {
    app_download_init(BOARD_HIDBOARD);
    app_download_init(other);
    EXPECT_EQ(slots(), std::vector<bool>(11, false)) << int(other);
  }
}

class StartPacket : public RegisterAccess {
 protected:
  void SetUp() override {
    RegisterAccess::SetUp();
    emul_i2c_write = addressed_write;
  }
};

// From the current address, then 1 to 127 once: the packet and one byte to
// the first address that answers.
TEST_F(StartPacket, SearchStepsThroughAddressesUntilOneAnswersOrAfterOnePass) {
  const struct {
    uint32_t current, answering;
    int result;
    std::vector<uint8_t> tried;  // addresses set
    std::string out;
  } cases[] = {
      {0x34, 0x34, 1, {}, "slave address is 0x34.\n"},
      {0x7F, 5, 1, {1, 2, 3, 4, 5}, ""},
      {0, 0x200, 0, {}, "No device answered"},
  };
  for (const auto& c : cases) {
    g_seen.clear();
    g_address = c.current;
    g_answering_address = c.answering;
    g_slave_addr = 0x68;
    testing::internal::CaptureStdout();
    EXPECT_EQ(master_Send_StartPacket(), c.result);
    const std::string out = testing::internal::GetCapturedStdout();
    std::vector<uint8_t> tried;
    int packets = 0;
    for (const Transfer& t : g_seen) {
      if (t.kind == 'A') tried.push_back(t.bytes[0]);
      packets += t.kind == 'W' && t.bytes.size() == 22;
    }
    if (c.result == 0) {
      EXPECT_NE(out.find(c.out), std::string::npos) << out;
      EXPECT_EQ(packets, 128);
      continue;
    }
    EXPECT_TRUE(out.starts_with(c.out)) << out;
    EXPECT_EQ(tried, c.tried);
    EXPECT_EQ(packets, 1 + static_cast<int>(c.tried.size()));
    EXPECT_EQ(g_seen.back().bytes.size(), 1u);
  }
}

}  // namespace
