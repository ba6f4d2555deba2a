// Ready waits, mode and reset requests and the version check against the virtual controller.
#include "support_update.h"

#include "diag/master_TCIP.h"

#include <chrono>
#include <functional>
#ifndef _WIN32
#include <pty.h>
#endif

using namespace test_support;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class DeviceMode : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_globals();
    direct_bridge_bind(&kd);
  }
  std::string trace() const {  // the transfers so far, each followed by |
    std::string lines;
    for (const auto& t : kd.transfers()) lines += VirtualKd63507::format_transfer(t) + "|";
    return lines;
  }

  KeyboardPipe keyboard;
  VirtualKd63507 kd;
};

TEST_F(DeviceMode, WaitsEndOnReadyAKeyTheRunFlagOrADeadBridge) {
  HookedTarget flaky(kd);
  int failures = 5;
  flaky.refuse = [&](bool read, uint16_t, size_t) { return read && failures-- > 0; };
  direct_bridge_bind(&flaky);
  EXPECT_EQ(WaitForReadyStatus(), READY_OK);
  EXPECT_EQ(direct_bridge_transfer_count(), 12);  // a failed status read is not ready: five passes went on
  direct_bridge_bind(&kd);
  kd.config().never_ready = true;
  // Keys from a script: the space bar ends a wait; any other key stays for
  // after the wait, which goes on; the end of input ends it.
  keyboard.press(" ab");
  EXPECT_EQ(WaitForReadyStatus(), READY_KEY);
  const int reads = kd.status_reads();
  EXPECT_EQ(WaitForReadyStatusWithin(20), READY_TIMEOUT);
  EXPECT_LE(kd.status_reads() - reads, 21);  // never a pass without its 1 ms pause
  EXPECT_EQ(WaitForReadyStatusAnyKey(), READY_KEY);  // any key, left waiting
  EXPECT_EQ(console_read_key(), 'a');
  EXPECT_EQ(console_read_key(), 'b');
  keyboard.end();
  EXPECT_EQ(WaitForReadyStatusWithin(20), READY_TIMEOUT);  // an update from /dev/null goes on
  g_end_of_input_ends_waits = true;  // the console's script is over
  EXPECT_EQ(WaitForReadyStatus(), READY_KEY);
  EXPECT_EQ(WaitForReadyStatusAnyKey(), READY_KEY);
  gloop = 0;
  EXPECT_EQ(WaitForReadyStatusWithin(1000), READY_KEY);  // the end of input is seen before the run flag
  EXPECT_EQ(console_read_key(), -1);
}

TEST_F(DeviceMode, NoKeyAndTheRunFlagOrADeadBridgeEndAWait) {
  kd.config().never_ready = true;
  gloop = 0;
  EXPECT_EQ(WaitForReadyStatus(), READY_STOPPED);
  EXPECT_EQ(WaitForReadyStatusAnyKey(), READY_STOPPED);
  gloop = 1;
  direct_bridge_unplug_after(0);
  EXPECT_EQ(WaitForReadyStatus(), READY_BRIDGE_FAILED);
  EXPECT_EQ(WaitForReadyStatusAnyKey(), READY_BRIDGE_FAILED);
}

#ifndef _WIN32
// On a terminal the space bar (or the terminal's end) ends a wait and every
// other key is read and dropped; an arrow key is one key, dropped whole.
TEST_F(DeviceMode, OnATerminalOtherKeysAreDroppedUntilTheSpaceBar) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  const int saved = dup(STDIN_FILENO);
  dup2(slave, STDIN_FILENO);
  console_drop_keys();
  kd.config().never_ready = true;
  console_chk_input_history();  // the terminal in key mode before the keys come
  ASSERT_EQ(write(master, "a\x1b[Ab x", 7), 7);
  EXPECT_EQ(WaitForReadyStatus(), READY_KEY);
  EXPECT_EQ(kd.status_reads(), 1 + 3);  // one pass per key: a, the arrow and b dropped, the space ends it
  EXPECT_EQ(console_read_key(), 'x');
  terminal_restore();
  dup2(saved, STDIN_FILENO);
  for (int fd : {saved, slave, master}) close(fd);
}
#endif

// A lost bridge or controller ends a wait only after at least a second AND at
// least ten failed status reads without a good one between them; the idle
// bus (0xFF) counts as a failed read.
TEST_F(DeviceMode, TheGiveUpRuleNeedsASecondAndTenFailedReadsInARow) {
  struct Case {
    const char* name;
    int busy_ms;
    std::function<bool(int)> refuse_read;  // by status read number, from 0
    uint8_t announced;                     // answered instead of the status that many reads
    int announced_reads;
    ReadyResult result;
  };
  const auto none = [](int) { return false; };
  const Case cases[] = {
      {"every other read fails while busy 1.3 s", 1300, [](int n) { return n % 2 == 0; }, 0, 0, READY_OK},
      {"20 quick failed reads, then ready", 0, [](int n) { return n < 20; }, 0, 0, READY_OK},
      {"the idle bus", 0, none, 0xFF, 1 << 30, READY_BRIDGE_FAILED},
      {"log records are served, then ready", 0, none, 0x77, 3, READY_OK},
      {"images are served, then ready", 0, none, 0xAA, 3, READY_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualKd63507 controller(Kd63507Config{.busy_reads = 0, .check_failures = {}});
    HookedTarget flaky(controller);
    int reads = 0;
    flaky.refuse = [&](bool read, uint16_t, size_t) { return read && c.refuse_read(reads++); };
    direct_bridge_bind(&flaky);
    controller.start_busy(0, std::chrono::milliseconds(c.busy_ms));
    controller.announce(c.announced, c.announced_reads);
    // A log record that is not the end of the log: one value of code 166.
    for (uint8_t b : {1, 1, 1, 1, 166}) controller.registers()[0x1020 + (&b - &b)] = b;
    tLogCtrl.bLogEnable = c.announced != 0xFF ? 1 : 0;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForReadyStatus(), c.result);
    if (c.result == READY_BRIDGE_FAILED) {
      EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(READY_LOST_MS));
      EXPECT_GE(controller.status_reads(), static_cast<int>(READY_LOST_MIN_READS));
    }
    if (c.result == READY_OK && c.announced != 0) {
      EXPECT_EQ(controller.status_reads(), c.announced_reads + 1);
    }
  }
  direct_bridge_bind(&kd);
  kd.config().never_ready = true;
  EXPECT_EQ(WaitForReadyStatusWithin(20), READY_TIMEOUT);
  // Unattended (kdtool update), every wait has the limit and says why it ended.
  g_unattended_ready_limit_ms = 1000;
  testing::internal::CaptureStdout();
  EXPECT_EQ(WaitForReadyStatusAnyKey(), READY_TIMEOUT);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "The touch controller did not report ready within 1 s.\n");
  g_unattended_ready_limit_ms = 0;
}

// The wait serves the log records and images it sees only through the
// readers the diagnostic console installs: an update never calls into it.
TEST_F(DeviceMode, LogRecordsAndImagesAreServedOnlyThroughTheInstalledReaders) {
  for (uint8_t b : {1, 1, 1, 1, 166}) kd.registers()[0x1020 + (&b - &b)] = b;  // one value of code 166
  auto acknowledgements = [&] {
    int count = 0;
    for (const auto& t : kd.transfers()) count += !t.read && t.bytes.size() > 2 && t.bytes[0] == 0x10 && t.bytes[1] == 0x10;
    return count;
  };
  tLogCtrl.bLogEnable = 1;
  kd.announce(0x77, 3);
  EXPECT_EQ(WaitForReadyStatus(), READY_OK);
  EXPECT_EQ(acknowledgements(), 0);
  master_console_begin();
  kd.announce(0x77, 3);
  CaptureStdout();
  EXPECT_EQ(WaitForReadyStatus(), READY_OK);
  GetCapturedStdout();
  EXPECT_EQ(acknowledgements(), 3);
}

// Each request is sent once, and its wait ends right at the ready status.
TEST_F(DeviceMode, ModeAndResetRequestsAreSentOnceAndWaitForReady) {
  direct_bridge_unplug_after(0);  // refused: the recorded mode stays, so the request is sent later
  EXPECT_EQ(SetMode(2), READY_WRITE_FAILED);
  EXPECT_EQ(SetResetMode(MODE_RESET), READY_WRITE_FAILED);
  EXPECT_EQ(tSetter.ucMode, 0);
  direct_bridge_unplug_after(-1);
  EXPECT_EQ(SetMode(2), READY_OK);
  EXPECT_EQ(SetMode(2), READY_OK);
  EXPECT_EQ(SetMode(13), READY_OK);  // the mode number itself
  kd.config().busy_reads = 3;
  CaptureStdout();
  EXPECT_EQ(SetResetMode(MODE_RESET), READY_OK);
  EXPECT_EQ(SetResetMode(MODE_RESET), READY_OK);
  EXPECT_EQ(GetCapturedStdout(), "Please press any key exit!!!\n");
  const std::string busy = "W 34: 06 00|R 34: 01|", ready = "W 34: 06 00|R 34: A0|";
  EXPECT_EQ(trace(), "W 34: 06 10 02|" + busy + ready + "W 34: 06 10 0D|" + busy + ready + "W 34: 06 10 11|" + busy +
                         busy + busy + ready);
}

TEST_F(DeviceMode, VersionCompareComparesCorePublAndConf) {
  const std::pair<std::array<uint16_t, 4>, uint8_t> cases[] = {  // BOOT, CORE, PUBL, CONF; BOOT is not compared
      {{0x0001, 0x0102, 0x0003, 0x0010}, 1}, {{0xBEEF, 0x0102, 0x0003, 0x0010}, 1},
      {{0x0001, 0x0103, 0x0003, 0x0010}, 0}, {{0x0001, 0x0102, 0x0103, 0x0010}, 0},
      {{0x0001, 0x0102, 0x0003, 0x0011}, 0}};
  for (const auto& [versions, same] : cases) {
    SCOPED_TRACE(testing::PrintToString(versions));
    VirtualKd63507 controller(Kd63507Config{.versions = versions, .check_failures = {}});
    direct_bridge_bind(&controller);
    CaptureStdout();
    EXPECT_EQ(version_compare(), same);
    EXPECT_TRUE(GetCapturedStdout().ends_with(same ? "\n\nFW Version : SAME\n" : "\n\nFW Version : DIFFERENT\n"));
    EXPECT_EQ(terminal_get_attribute() & 0x0F, same ? COLOR_BRIGHT_GREEN : COLOR_YELLOW);
  }
  // Unreadable: shown cleared, and never the same, even against a release of 00.00.
  img_core_ver = img_app_ver = img_para_ver = 0;
  direct_bridge_unplug_after(0);
  bool read_ok = true;
  CaptureStdout();
  EXPECT_EQ(version_compare(&read_ok), 0);
  EXPECT_FALSE(read_ok);
  EXPECT_EQ(GetCapturedStdout(),
            "\n[Current FW Version CORE/APP/PARA]: 00.00 / 00.00 / 00.00\n"
            "[Release FW Version CORE/APP/PARA]: 00.00 / 00.00 / 00.00\n\nFW Version : DIFFERENT\n");
}

}  // namespace
