// The whole update against the virtual controller through the direct bridge:
// what lands in flash, what goes over the wire, what the user is told, and
// how every fault ends.
#include "app/iap_update.h"

#include "app/device_mode.h"
#include "console/util_console.h"
#include "platform/terminal.h"
#include "support_update.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <memory>

using namespace test_support;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kEnd = IAP_IMAGE_BASE + IMAGE_SIZE;
const char kFailureEnding[] =
    "Flash Writing Fail!!!\nPlease check the status of device and try again...\nPlease press any key exit!!!\n";
const char kSuccessEnding[] = "Flash Writing Complete!!!\nPlease press any key exit!!!\n";

// What the update prints up to the writing, for a controller at 00.00
// against the release 01.02 / 00.03 / 00.10.
std::string prologue() {
  return "\n[Current FW Version CORE/APP/PARA]: 00.00 / 00.00 / 00.00\n"
         "[Release FW Version CORE/APP/PARA]: 01.02 / 00.03 / 00.10\n\n"
         "FW Version : DIFFERENT\n"
         "FIRMWARE AUTO UPDATE START!!!\nDownload Start!!!\nfilesize = 114688\n";
}

Bytes reg_write(uint16_t reg, const uint8_t* data, size_t n) {
  Bytes out(2 + n);
  out[0] = static_cast<uint8_t>(reg >> 8);
  out[1] = static_cast<uint8_t>(reg);
  std::copy(data, data + n, out.begin() + 2);
  return out;
}

Bytes command(uint32_t address, uint16_t length, uint8_t cmd) {
  const auto block = iap_command_block(address, length, cmd);
  return reg_write(REG_IAP_COMMAND, block.data(), block.size());
}

enum class Procedure { kA, kB1, kB2 };

std::string procedure_name(Procedure procedure) {
  return procedure == Procedure::kA ? "A" : procedure == Procedure::kB1 ? "B1" : "B2";
}

// Every data-carrying write of a whole update of a TCIP controller whose log
// control block reads as zeros, in order (address-only writes of reads left out).
std::vector<Bytes> expected_writes(Procedure procedure, const Bytes& image) {
  std::vector<Bytes> writes;
  const uint8_t log_off[5] = {0, 0, 0, 0, 0};
  writes.push_back(reg_write(REG_LOG_CTRL, log_off, 5));
  writes.push_back(bytes_of({0x06, 0x10, 0x02}));
  if (procedure != Procedure::kA) writes.push_back(command(0, 0, IAP_UNIT_QUERY));
  if (procedure == Procedure::kB2) {
    for (uint32_t s = IAP_IMAGE_BASE; s < kEnd; s += 4096) {
      const uint8_t* unit = image.data() + (s - IAP_IMAGE_BASE);
      for (uint32_t off = 0; off < 4096; off += 48) {
        writes.push_back(reg_write(static_cast<uint16_t>(0x6000 + off), unit + off, off + 48 <= 4096 ? 48 : 16));
      }
      writes.push_back(command(s, 4096, IAP_PROGRAM));
      const uint32_t sum = kd63507_unit_checksum(unit, 4096);
      const uint8_t le[4] = {static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8),
                             static_cast<uint8_t>(sum >> 16), static_cast<uint8_t>(sum >> 24)};
      writes.push_back(reg_write(0x6000, le, 4));
      writes.push_back(command(s, 4096, IAP_CHECK));
    }
  } else {
    const uint32_t chunk = procedure == Procedure::kA ? 16 : 32;
    for (uint32_t p = IAP_IMAGE_BASE; p < kEnd; p += 128) {
      for (uint32_t off = 0; off < 128; off += chunk) {
        writes.push_back(reg_write(static_cast<uint16_t>(0x6000 + off), image.data() + (p - IAP_IMAGE_BASE) + off,
                                   chunk));
      }
      writes.push_back(command(p, 128, IAP_PROGRAM));
    }
  }
  writes.push_back(bytes_of({0x06, 0x10, 0x11}));
  return writes;
}

class Update : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_globals();
    image = make_image(0x5EED);
  }
  void TearDown() override { std::signal(SIGINT, SIG_DFL); }

  VirtualKd63507& controller(Kd63507Config config = {}) {
    kd = std::make_unique<VirtualKd63507>(std::move(config));
    return *kd;
  }
  // Binds the bridge (straight to the controller, or through `hooked`) and
  // loads the image for the procedure's bridge code.
  void bind(int8_t board, I2cTarget* through = nullptr) {
    if (!kd) controller();
    load_image(image, board);
    direct_bridge_bind(through != nullptr ? through : kd.get());
  }
  uint8_t run() {
    StdoutCapture capture;
    const uint8_t result = emulboard_cp2112_program_to_flash_using_iapmode_Customer();
    out = capture.text();
    return result;
  }

  std::vector<Bytes> data_writes() const {
    std::vector<Bytes> writes;
    for (const auto& t : kd->transfers()) {
      if (!t.read && t.bytes.size() > 2) writes.push_back(t.bytes);
    }
    return writes;
  }
  size_t longest_write() const {
    size_t longest = 0;
    for (const auto& t : kd->transfers()) {
      if (!t.read) longest = std::max(longest, t.bytes.size());
    }
    return longest;
  }
  void expect_no_success() const {
    EXPECT_EQ(out.find("Flash Writing Complete!!!"), std::string::npos);
    EXPECT_EQ(kd->reset_requests(), 0);
    EXPECT_TRUE(kd->in_update_mode());  // left in update mode
    EXPECT_FALSE(flash_holds_image(*kd, image));
  }

  KeyboardPipe keyboard;
  std::unique_ptr<VirtualKd63507> kd;
  Bytes image;
  std::string out;
};

std::string lines_k(uint32_t first, uint32_t last, const char* suffix, uint32_t step = 1) {
  std::string text;
  for (uint32_t k = first; k <= last; k += step) text += std::to_string(k) + suffix + "\n";
  return text;
}

// Procedure A paces its chunks 2 ms apart (about 14 s for the image), so it
// gets one whole run that checks everything at once.
TEST_F(Update, ProcedureAWritesTheWholeImageIn16ByteChunks) {
  bind(BOARD_CP2112);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(g_update_outcome, UPDATE_WRITTEN);
  EXPECT_TRUE(flash_holds_image(*kd, image));
  EXPECT_EQ(out, prologue() + lines_k(16, 127, "K") + kSuccessEnding);
  EXPECT_EQ(data_writes(), expected_writes(Procedure::kA, image));  // no unit query, reset last
  EXPECT_EQ(kd->program_commands(), 896);
  EXPECT_EQ(kd->reset_requests(), 1);
  EXPECT_LE(longest_write(), 60u);
}

TEST_F(Update, ProcedureB1WritesTheWholeImageIn32ByteChunks) {
  controller().config().unit_4k = false;
  bind(BOARD_HIDBOARD);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(g_update_outcome, UPDATE_WRITTEN);
  EXPECT_EQ(FLASH_4KB_UPDATE_MODE, 0u);
  EXPECT_TRUE(flash_holds_image(*kd, image));
  EXPECT_EQ(out, prologue() + "F/W Update Unit : 128Byte\n" + lines_k(17, 128, "K") + kSuccessEnding);
  EXPECT_EQ(data_writes(), expected_writes(Procedure::kB1, image));
  EXPECT_EQ(kd->check_commands(), 0);
  EXPECT_LE(longest_write(), 60u);
}

TEST_F(Update, ProcedureB2WritesCheckedFourKilobyteUnits) {
  bind(BOARD_HIDBOARD);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(g_update_outcome, UPDATE_WRITTEN);
  EXPECT_EQ(FLASH_4KB_UPDATE_MODE, 1u);
  EXPECT_TRUE(flash_holds_image(*kd, image));
  EXPECT_EQ(out, prologue() + "F/W Update Unit : 4KByte\n" + lines_k(20, 128, "KB Complete..", 4) + kSuccessEnding);
  const auto writes = data_writes();
  EXPECT_EQ(writes, expected_writes(Procedure::kB2, image));
  EXPECT_EQ(kd->program_commands(), 28);
  EXPECT_EQ(kd->check_commands(), 28);
  EXPECT_EQ(kd->reset_requests(), 1);
  EXPECT_LE(longest_write(), 60u);

  // The first unit on the wire, byte for byte: 85 chunks of 48, a 16-byte
  // tail at 0x6FF0, the program command, the checksum least significant first.
  ASSERT_GT(writes.size(), 92u);
  EXPECT_EQ(writes[3].size(), 50u);
  EXPECT_EQ(Bytes(writes[88].begin(), writes[88].begin() + 2), bytes_of({0x6F, 0xF0}));
  EXPECT_EQ(writes[88].size(), 18u);
  EXPECT_EQ(writes[89], bytes_of({0x14, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x10, 0x00, 0x03}));
  const uint32_t sum = kd63507_unit_checksum(image.data(), 4096);
  EXPECT_EQ(writes[90], bytes_of({0x60, 0x00, static_cast<int>(sum & 0xFF), static_cast<int>((sum >> 8) & 0xFF),
                                  static_cast<int>((sum >> 16) & 0xFF), static_cast<int>(sum >> 24)}));
}

TEST_F(Update, LoggingIsSwitchedOffOnTheControllerOnly) {
  controller();
  const uint8_t enabled[5] = {0x0F, 0x00, 0x00, 0x80, 0x01};
  std::copy(enabled, enabled + 5, kd->registers().begin() + REG_LOG_CTRL);
  bind(BOARD_HIDBOARD);
  run();
  ASSERT_FALSE(data_writes().empty());
  EXPECT_EQ(data_writes()[0], bytes_of({0x10, 0x10, 0x0F, 0x00, 0x00, 0x80, 0x00}));
  EXPECT_EQ(tLogCtrl.bLogEnable, 0);
  EXPECT_EQ(tLogCtrl.ulLogMask, 0u);
  EXPECT_EQ(g_update_outcome, UPDATE_WRITTEN);
}

TEST_F(Update, SameVersionsWriteNothing) {
  Kd63507Config current;
  current.versions = {0x0001, 0x0102, 0x0003, 0x0010};
  controller(current);
  bind(BOARD_HIDBOARD);
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(g_update_outcome, UPDATE_SAME_VERSION);
  EXPECT_EQ(out,
            "\n[Current FW Version CORE/APP/PARA]: 01.02 / 00.03 / 00.10\n"
            "[Release FW Version CORE/APP/PARA]: 01.02 / 00.03 / 00.10\n\n"
            "FW Version : SAME\nPlease press any key exit!!!\n");
  EXPECT_TRUE(data_writes().empty());
  EXPECT_EQ(terminal_get_attribute() & 0x0F, COLOR_GREY);
}

// A controller that does not speak the full interface (a bootloader, or a
// name that merely starts with TCIP) gets no log or mode request, and the
// image is still written.
TEST_F(Update, OtherProtocolsSkipLoggingAndModeButStillWrite) {
  for (const char* name : {"DFUP", "TCIPX"}) {
    SCOPED_TRACE(name);
    reset_globals();
    Kd63507Config config;
    config.protocol = name;
    controller(config);
    bind(BOARD_HIDBOARD);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(g_update_outcome, UPDATE_WRITTEN);
    EXPECT_TRUE(flash_holds_image(*kd, image));
    const auto writes = data_writes();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.front(), command(0, 0, IAP_UNIT_QUERY));
    EXPECT_EQ(writes.back(), bytes_of({0x06, 0x10, 0x11}));
    for (const Bytes& w : writes) EXPECT_FALSE(w[0] == 0x10 && w[1] == 0x10);
    EXPECT_EQ(kd->refused_commands(), 0);
  }
}

TEST_F(Update, UnitsThatFailTheirCheckAreWrittenAgain) {
  // Two neighbours failing once each (the counter restarts per unit), one
  // failing four times (the fifth attempt passes), and the last unit.
  controller().config().check_failures = {{64, 1}, {68, 1}, {100, 4}, {128, 1}};
  bind(BOARD_HIDBOARD);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(g_update_outcome, UPDATE_WRITTEN);
  EXPECT_TRUE(flash_holds_image(*kd, image));
  std::string expected = prologue() + "F/W Update Unit : 4KByte\n";
  for (uint32_t k = 20; k <= 128; k += 4) {
    const int failures = k == 100 ? 4 : (k == 64 || k == 68 || k == 128) ? 1 : 0;
    for (int n = 1; n <= failures; ++n) {
      expected += std::to_string(k) + "KB Flash Write Error : Retry... ( " + std::to_string(n) + "/5 )\n";
    }
    expected += std::to_string(k) + "KB Complete..\n";
  }
  EXPECT_EQ(out, expected + kSuccessEnding);
  EXPECT_EQ(kd->program_commands(), 28 + 7);
  EXPECT_EQ(kd->reset_requests(), 1);
}

TEST_F(Update, AUnitFailingFiveTimesEndsTheUpdate) {
  controller().config().check_failures = {{40, 5}};
  bind(BOARD_HIDBOARD);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(g_update_outcome, UPDATE_FAILED);
  std::string expected = prologue() + "F/W Update Unit : 4KByte\n" + lines_k(20, 36, "KB Complete..", 4);
  for (int n = 1; n <= 5; ++n) expected += "40KB Flash Write Error : Retry... ( " + std::to_string(n) + "/5 )\n";
  EXPECT_EQ(out, expected + kFailureEnding);
  EXPECT_EQ(kd->program_commands(), 5 + 5);  // five attempts, not six
  expect_no_success();
}

// The colours need a terminal: run the update in a child on a pseudo-terminal
// and read the escape sequences it writes.
TEST_F(Update, MessagesCarryTheirColours) {
  controller().config().check_failures = {{20, 5}};
  bind(BOARD_HIDBOARD);
  std::fflush(stdout);
  int terminal = -1;
  const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    emulboard_cp2112_program_to_flash_using_iapmode_Customer();
    std::fflush(stdout);
    _exit(g_update_outcome == UPDATE_FAILED ? 0 : 1);
  }
  std::string screen;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(terminal, buffer, sizeof buffer);
    if (n > 0) {
      screen.append(buffer, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  close(terminal);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::erase(screen, '\r');
  auto sgr = [](uint16_t colour) {
    char text[32];
    terminal_sgr_for_attribute(colour, text);
    return std::string(text);
  };
  for (const std::string& piece :
       {sgr(COLOR_BRIGHT_CYAN) + "[Current FW Version", sgr(COLOR_BRIGHT_RED) + "[Release FW Version",
        sgr(COLOR_YELLOW) + "FW Version : DIFFERENT\n" + sgr(COLOR_BRIGHT_WHITE) + "FIRMWARE AUTO UPDATE START!!!\n" +
            sgr(COLOR_GREY) + "Download Start!!!\nfilesize = 114688\n" + sgr(COLOR_BRIGHT_WHITE) +
            "F/W Update Unit : 4KByte\n" + sgr(COLOR_GREY),
        sgr(COLOR_YELLOW) + "20KB Flash Write Error : Retry... ( 5/5 )\n" + sgr(COLOR_BRIGHT_WHITE),
        sgr(COLOR_DARK_RED) + "Flash Writing Fail!!!\nPlease check the status of device and try again...\n" +
            sgr(COLOR_BRIGHT_WHITE) + "Please press any key exit!!!\n"}) {
    EXPECT_NE(screen.find(piece), std::string::npos) << "missing: " << piece << "\nin:\n" << screen;
  }
}

// The bridge goes away in the middle of the writing: every procedure takes
// the failure ending, and the last wait does not hang on the dead bridge.
class UnpluggedUpdate : public Update, public ::testing::WithParamInterface<std::pair<Procedure, long>> {};

TEST_P(UnpluggedUpdate, TakesTheFailureEnding) {
  const auto [procedure, transfers] = GetParam();
  controller().config().unit_4k = procedure == Procedure::kB2;
  bind(procedure == Procedure::kA ? BOARD_CP2112 : BOARD_HIDBOARD);
  direct_bridge_unplug_after(transfers);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(g_update_outcome, UPDATE_FAILED);
  EXPECT_GT(kd->program_commands(), 0);
  ASSERT_GE(out.size(), sizeof kFailureEnding - 1);
  EXPECT_EQ(out.substr(out.size() - (sizeof kFailureEnding - 1)), kFailureEnding);
  expect_no_success();
}

INSTANTIATE_TEST_SUITE_P(MidImage, UnpluggedUpdate,
                         ::testing::Values(std::make_pair(Procedure::kA, 200L), std::make_pair(Procedure::kB1, 250L),
                                           std::make_pair(Procedure::kB2, 700L)),
                         [](const auto& info) { return procedure_name(info.param.first); });

// Unplugged before the writing starts: at the interface read, the version
// read, the log control read, the mode request and the unit query.
TEST_F(Update, BridgeLostDuringPreparationTakesTheFailureEnding) {
  for (long transfers : {0L, 2L, 5L, 7L, 12L}) {
    SCOPED_TRACE(transfers);
    reset_globals();
    Kd63507Config config;
    config.versions = {0x0001, 0x0101, 0x0101, 0x0101};
    controller(config);
    bind(BOARD_HIDBOARD);
    direct_bridge_unplug_after(transfers);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(g_update_outcome, UPDATE_FAILED);
    EXPECT_EQ(out.find("Flash Writing Complete!!!"), std::string::npos);
    EXPECT_NE(out.find(kFailureEnding), std::string::npos);
    EXPECT_EQ(kd->program_commands(), 0);
    if (transfers == 0) {
      EXPECT_EQ(out, kFailureEnding);
    }
    if (transfers == 2) {
      EXPECT_NE(out.find("00.00 / 00.00 / 00.00\n"), std::string::npos);
    }
  }
}

TEST_F(Update, RefusedResetRequestIsNotSuccess) {
  controller();
  HookedTarget hooked(*kd);
  hooked.after = [this](bool read, size_t length) {
    // The last unit's check result has been read: the bridge goes away.
    if (read && length == IAP_COMMAND_SIZE && kd->check_commands() == 28) direct_bridge_unplug_after(0);
  };
  bind(BOARD_HIDBOARD, &hooked);
  EXPECT_EQ(run(), 0);
  EXPECT_TRUE(flash_holds_image(*kd, image));
  EXPECT_EQ(kd->reset_requests(), 0);
  EXPECT_EQ(g_update_outcome, UPDATE_FAILED);
  EXPECT_NE(out.find("128KB Complete..\nFlash Writing Complete!!!\nDevice Reset Request Fail!!!\n"
                     "Please check the status of device and try again...\nPlease press any key exit!!!\n"),
            std::string::npos);
}

// The controller stops answering ready in the middle of the writing; the
// user presses Ctrl+C. No further unit is written.
class InterruptedUpdate : public Update, public ::testing::WithParamInterface<Procedure> {};

TEST_P(InterruptedUpdate, CtrlCWhileTheControllerNeverBecomesReady) {
  const Procedure procedure = GetParam();
  controller();
  ASSERT_NE(std::signal(SIGINT, signal_handler), SIG_ERR);
  HookedTarget hooked(*kd);
  int reads_while_stuck = 0;
  hooked.after = [&](bool read, size_t) {
    if (kd->program_commands() < 3) return;
    kd->config().never_ready = true;
    if (read && ++reads_while_stuck == 50) std::raise(SIGINT);
  };
  bind(procedure == Procedure::kA ? BOARD_CP2112 : BOARD_HIDBOARD, &hooked);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(gloop, 0);
  EXPECT_EQ(g_update_outcome, UPDATE_INTERRUPTED);
  EXPECT_EQ(kd->program_commands(), 3);
  EXPECT_NE(out.find("\n\n[Ctrl+C] User terminated running of program.\n"), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - (sizeof kFailureEnding - 1)), kFailureEnding);
  expect_no_success();
}

INSTANTIATE_TEST_SUITE_P(Procedures, InterruptedUpdate, ::testing::Values(Procedure::kA, Procedure::kB2),
                         [](const auto& info) { return procedure_name(info.param); });

TEST_F(Update, CtrlCWhileTheControllerKeepsUpFinishesNoFurtherUnit) {
  controller();
  ASSERT_NE(std::signal(SIGINT, signal_handler), SIG_ERR);
  HookedTarget hooked(*kd);
  bool raised = false;
  hooked.after = [&](bool read, size_t) {
    if (!read && !raised && kd->program_commands() == 5) {
      raised = true;
      std::raise(SIGINT);
    }
  };
  bind(BOARD_HIDBOARD, &hooked);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(g_update_outcome, UPDATE_INTERRUPTED);
  EXPECT_EQ(kd->program_commands(), 5);
  expect_no_success();
}

TEST_F(Update, CtrlCBeforeTheWritingLeavesTheControllerAlone) {
  controller();
  bind(BOARD_HIDBOARD);
  gloop = 0;
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(g_update_outcome, UPDATE_INTERRUPTED);
  EXPECT_TRUE(data_writes().empty());
  EXPECT_FALSE(kd->in_update_mode());
  EXPECT_EQ(out, prologue() + kFailureEnding);
}

TEST_F(Update, SpaceBarEndingAWaitEndsTheUpdate) {
  controller();
  HookedTarget hooked(*kd);
  int reads_while_stuck = 0;
  hooked.after = [&](bool read, size_t) {
    if (kd->program_commands() < 2) return;
    kd->config().never_ready = true;
    // Space ends the ready wait; the second key ends the closing any-key wait.
    if (read && ++reads_while_stuck == 20) keyboard.press(" q");
  };
  bind(BOARD_HIDBOARD, &hooked);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(g_update_outcome, UPDATE_INTERRUPTED);
  EXPECT_EQ(kd->program_commands(), 2);
  EXPECT_EQ(out.substr(out.size() - (sizeof kFailureEnding - 1)), kFailureEnding);
  expect_no_success();
}

TEST_F(Update, NoImageLoadedIsNotAWrittenImage) {
  controller();
  bind(BOARD_HIDBOARD);
  Download_Mode = 0;
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(g_update_outcome, UPDATE_FAILED);
  EXPECT_EQ(out.find("Flash Writing Complete!!!"), std::string::npos);
  EXPECT_NE(out.find("filesize = 0\n"), std::string::npos);
  EXPECT_TRUE(data_writes().empty());
}

}  // namespace
