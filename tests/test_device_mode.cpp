// Ready waits, mode and reset requests and the version check against the
// virtual controller, keyboard on a pipe.
#include "app/device_mode.h"

#include "console/util_console.h"
#include "platform/terminal.h"
#include "support_update.h"

#include <gtest/gtest.h>

using namespace test_support;

namespace {

class DeviceMode : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_globals();
    kd.clear_transfers();
    direct_bridge_bind(&kd);
  }

  std::vector<std::string> trace() const {
    std::vector<std::string> lines;
    for (const auto& t : kd.transfers()) lines.push_back(VirtualKd63507::format_transfer(t));
    return lines;
  }

  KeyboardPipe keyboard;
  VirtualKd63507 kd;
};

TEST_F(DeviceMode, ReadyOnTheFirstReadEndsEachWaitAfterOneRead) {
  kd.config().busy_reads = 0;
  EXPECT_EQ(WaitForReadyStatus(), READY_OK);
  EXPECT_EQ(trace(), (std::vector<std::string>{"W 34: 06 00", "R 34: A0"}));
  EXPECT_EQ(WaitForReadyStatusAnyKey(), READY_OK);
  EXPECT_EQ(kd.status_reads(), 2);
}

TEST_F(DeviceMode, WaitPollsUntilTheControllerIsReady) {
  kd.config().busy_reads = 3;
  uint8_t request = MODE_UPDATE;
  ASSERT_EQ(i2c_write_to(REG_MODE, &request, 1), 1);
  EXPECT_EQ(WaitForReadyStatus(), READY_OK);
  EXPECT_EQ(kd.status_reads(), 4);
}

TEST_F(DeviceMode, OtherKeysAreDroppedAndTheSpaceBarEndsTheWait) {
  kd.config().never_ready = true;
  keyboard.press("ab x");
  EXPECT_EQ(WaitForReadyStatus(), READY_KEY);
  EXPECT_EQ(kd.status_reads(), 3);  // one pass per key: a, b, space
  // The key behind the space stays waiting.
  ASSERT_NE(console_chk_input_history(), 0);
  EXPECT_EQ(console_read_key(), 'x');

  // A non-space key does not end a wait that the controller ends.
  kd.config().never_ready = false;
  kd.config().busy_reads = 2;
  uint8_t request = MODE_UPDATE;
  i2c_write_to(REG_MODE, &request, 1);
  keyboard.press("q");
  EXPECT_EQ(WaitForReadyStatus(), READY_OK);
  EXPECT_EQ(console_chk_input_history(), 0);  // q was read and dropped
}

TEST_F(DeviceMode, AnyKeyEndsTheAnyKeyWaitAndStaysWaiting) {
  kd.config().never_ready = true;
  keyboard.press("k");
  EXPECT_EQ(WaitForReadyStatusAnyKey(), READY_KEY);
  EXPECT_EQ(kd.status_reads(), 1);
  ASSERT_NE(console_chk_input_history(), 0);
  EXPECT_EQ(console_read_key(), 'k');
}

TEST_F(DeviceMode, ClearedRunFlagEndsBothWaits) {
  kd.config().never_ready = true;
  gloop = 0;
  EXPECT_EQ(WaitForReadyStatus(), READY_STOPPED);
  EXPECT_EQ(WaitForReadyStatusAnyKey(), READY_STOPPED);
  EXPECT_EQ(kd.status_reads(), 2);
}

TEST_F(DeviceMode, TransientlyFailingStatusReadsDoNotEndTheWait) {
  HookedTarget flaky(kd);
  direct_bridge_bind(&flaky);
  kd.config().busy_reads = 0;
  flaky.fail_next_reads(5);
  EXPECT_EQ(WaitForReadyStatus(), READY_OK);
  EXPECT_EQ(kd.status_reads(), 1);
  // A failed read is a defined "not ready", never a stale ready: the first
  // five passes saw no status and went on.
  EXPECT_EQ(direct_bridge_transfer_count(), 12);
}

TEST_F(DeviceMode, AWaitOnABridgeThatIsGoneEndsInsteadOfSpinningForever) {
  direct_bridge_unplug_after(0);
  EXPECT_EQ(WaitForReadyStatus(), READY_BRIDGE_FAILED);
  EXPECT_EQ(WaitForReadyStatusAnyKey(), READY_BRIDGE_FAILED);
  EXPECT_EQ(kd.status_reads(), 0);
}

TEST_F(DeviceMode, SetModeWritesTheModeNumberOnceAndWaits) {
  EXPECT_EQ(SetMode(2), READY_OK);
  EXPECT_EQ(tSetter.ucMode, 2);
  EXPECT_TRUE(kd.in_update_mode());
  EXPECT_EQ(trace(), (std::vector<std::string>{"W 34: 06 10 02", "W 34: 06 00", "R 34: 01", "W 34: 06 00",
                                               "R 34: A0"}));
  kd.clear_transfers();
  EXPECT_EQ(SetMode(2), READY_OK);
  EXPECT_TRUE(kd.transfers().empty());

  EXPECT_EQ(SetMode(0), READY_OK);
  EXPECT_EQ(SetMode(13), READY_OK);
  ASSERT_GE(kd.transfers().size(), 1u);
  EXPECT_EQ(VirtualKd63507::format_transfer(kd.transfers().front()), "W 34: 06 10 00");
  EXPECT_EQ(kd.registers()[REG_MODE], 13);
  EXPECT_EQ(tSetter.ucMode, 13);
}

TEST_F(DeviceMode, RefusedModeRequestLeavesTheRecordedModeAlone) {
  direct_bridge_unplug_after(0);
  EXPECT_EQ(SetMode(2), READY_WRITE_FAILED);
  EXPECT_EQ(tSetter.ucMode, 0);
  EXPECT_EQ(SetResetMode(MODE_RESET), READY_WRITE_FAILED);
  EXPECT_EQ(tSetter.ucMode, 0);
  // Once the bridge answers again the request is sent, not skipped.
  direct_bridge_unplug_after(-1);
  EXPECT_EQ(SetMode(2), READY_OK);
  EXPECT_TRUE(kd.in_update_mode());
}

TEST_F(DeviceMode, ResetRequestPromptsAndWaitsForTheControllerToComeBack) {
  SetMode(2);
  kd.clear_transfers();
  kd.config().busy_reads = 3;
  StdoutCapture out;
  EXPECT_EQ(SetResetMode(MODE_RESET), READY_OK);
  EXPECT_EQ(out.text(), "Please press any key exit!!!\n");
  EXPECT_EQ(kd.reset_requests(), 1);
  EXPECT_EQ(tSetter.ucMode, MODE_RESET);
  EXPECT_EQ(VirtualKd63507::format_transfer(kd.transfers().front()), "W 34: 06 10 11");
  EXPECT_EQ(kd.status_reads(), 2 + 4);

  kd.clear_transfers();
  EXPECT_EQ(SetResetMode(MODE_RESET), READY_OK);
  EXPECT_TRUE(kd.transfers().empty());
}

TEST_F(DeviceMode, ResetWaitEndsOnAnyKeyWhenTheControllerDoesNotComeBack) {
  kd.config().never_ready = true;
  keyboard.press("n");
  StdoutCapture out;
  EXPECT_EQ(SetResetMode(MODE_RESET), READY_KEY);
  EXPECT_EQ(out.text(), "Please press any key exit!!!\n");
}

struct VersionCase {
  const char* name;
  std::array<uint16_t, 4> controller;  // BOOT, CORE, PUBL, CONF
  uint8_t same;
};

class VersionCompare : public DeviceMode, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionCompare, PrintsBothVersionsAndComparesCorePublConf) {
  const VersionCase& c = GetParam();
  Kd63507Config config;
  config.versions = c.controller;
  VirtualKd63507 controller(config);
  direct_bridge_bind(&controller);
  StdoutCapture out;
  bool read_ok = false;
  EXPECT_EQ(version_compare(&read_ok), c.same);
  EXPECT_TRUE(read_ok);
  char current[80];
  std::snprintf(current, sizeof current, "[Current FW Version CORE/APP/PARA]: %02X.%02X / %02X.%02X / %02X.%02X\n",
                c.controller[1] >> 8, c.controller[1] & 0xFF, c.controller[2] >> 8, c.controller[2] & 0xFF,
                c.controller[3] >> 8, c.controller[3] & 0xFF);
  const std::string expected = std::string("\n") + current +
                               "[Release FW Version CORE/APP/PARA]: 01.02 / 00.03 / 00.10\n\n" +
                               (c.same ? "FW Version : SAME\n" : "FW Version : DIFFERENT\n");
  EXPECT_EQ(out.text(), expected);
  EXPECT_EQ(terminal_get_attribute() & 0x0F, c.same ? COLOR_BRIGHT_GREEN : COLOR_YELLOW);
}

INSTANTIATE_TEST_SUITE_P(Cases, VersionCompare,
                         ::testing::Values(VersionCase{"AllSame", {0x0001, 0x0102, 0x0003, 0x0010}, 1},
                                           VersionCase{"OnlyBootDiffers", {0xBEEF, 0x0102, 0x0003, 0x0010}, 1},
                                           VersionCase{"ConfDiffers", {0x0001, 0x0102, 0x0003, 0x0011}, 0},
                                           VersionCase{"CoreDiffers", {0x0001, 0x0103, 0x0003, 0x0010}, 0},
                                           VersionCase{"PublDiffers", {0x0001, 0x0102, 0x0103, 0x0010}, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DeviceMode, UnreadableVersionsShowClearedAndNeverCountAsSame) {
  img_core_ver = 0;
  img_app_ver = 0;
  img_para_ver = 0;
  direct_bridge_unplug_after(0);
  StdoutCapture out;
  bool read_ok = true;
  EXPECT_EQ(version_compare(&read_ok), 0);
  EXPECT_FALSE(read_ok);
  EXPECT_EQ(out.text(),
            "\n[Current FW Version CORE/APP/PARA]: 00.00 / 00.00 / 00.00\n"
            "[Release FW Version CORE/APP/PARA]: 00.00 / 00.00 / 00.00\n\n"
            "FW Version : DIFFERENT\n");
}

}  // namespace
