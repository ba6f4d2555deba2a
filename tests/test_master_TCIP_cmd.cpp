// The master console's keys, end to end over both bridges against the
// virtual controller: what each key prints and what it leaves in the
// controller's registers.
#include "support_console.h"

using namespace test_support;

namespace {

using Console = ConsoleRig;
constexpr uint16_t kSetter = 0x0610;

// The echo of a key; Backspace shows as \x08.
std::string echo(char key, const std::string& lines) {
  const std::string shown = key == '\b' ? "\\x08" : std::string(1, key);
  return "\n*** You hit [" + shown + "]\n" + lines + "\n";
}

TEST_P(Console, SetterKeysPrintTheirLineAndWriteTheWholeBlockWithOneFieldChanged) {
  struct Row {
    char key;
    const char* line;
    int offset;  // in the setter block
    uint8_t value;
  };
  const Row rows[] = {
      {';', "Block ESD Detection!!!\n", 8, 1}, {'R', "Recalibrate!!!\n", 2, 1},
      {'k', "Enter to Knock-on(Low Power Consumption) mode\n", 3, 2},
      {'K', "Exit to Active(Normal Power Consumption) mode\n", 3, 1},
      {'C', "Set Charger Attached!!!\n", 9, 1}, {'C', "Set Charger Detached!!!\n", 9, 0},
      {'G', "Set Glove Sensing Enable!!!\n", 10, 1}, {'G', "Set Glove Sensing Disable!!!\n", 10, 0},
      {'W', "Set Sensing on Window Enable!!!\n", 11, 1}, {'W', "Set Sensing on Window Disable!!!\n", 11, 0},
      {'P', "Set Palm Rejection Enable!!!\n", 12, 1}, {'P', "Set Palm Rejection Disable!!!\n", 12, 0},
      {'j', "Enter Jig Position Test Mode!!!\n", 13, 1}, {'j', "Exit Jig Position Test Mode!!!\n", 13, 0},
      {'T', "Set Gesture Type!!!\n", 4, 0},
  };
  tSetter.ucMode = 0;
  tSetter.ulGestureType = 0x11223344;  // as master_init would have loaded it
  std::array<uint8_t, 14> expected{};
  std::memcpy(expected.data(), &tSetter, 14);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.key);
    EXPECT_EQ(keys(std::string(1, row.key)), echo(row.key, row.line));
    expected[row.offset] = row.value;
    if (row.key == 'T') std::fill(expected.begin() + 4, expected.begin() + 8, 0);
    EXPECT_EQ(0, std::memcmp(&kd->registers()[kSetter], expected.data(), 14));
  }
  EXPECT_EQ(writes_to(kSetter), 15);
}

TEST_P(Console, ModeAndImageKeysChangeModeFirstAndEndWhereTheyShould) {
  struct Row {
    std::string typed;
    std::vector<uint8_t> modes;  // requests the controller saw
    const char* line;
    uint8_t image_request;
  };
  const Row rows[] = {
      {"2", {2}, "", 0}, {"i", {0}, "== Get Intensity ===============================\n", 3},
      {"2f", {2, 0}, "== Get Filtered Intensity ======================\n", 2},
      {"r", {}, "== Get Rawdata =================================\n", 1},  // already in mode 0
      {"z", {1, 0}, nullptr, 1},  // its test results end the output
      {"2\b", {2, 0}, "Touch Sensing\n", 1}, {"23", {2, 0}, "", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.typed);
    const size_t before = kd->mode_requests().size();
    const std::string out = keys(row.typed);
    EXPECT_EQ(std::vector<uint8_t>(kd->mode_requests().begin() + before, kd->mode_requests().end()), row.modes);
    if (row.line != nullptr) {
      EXPECT_TRUE(out.ends_with(echo(row.typed.back(), row.line))) << out;
    }
    EXPECT_EQ(reg(0x0C10), row.image_request);
  }
}

TEST_P(Console, ReadKeysShowTheControllersValuesWholeOnBothBridges) {
  std::string dump_a = "ReadData : \n";
  for (int i = 0; i < 220; ++i) dump_a += std::to_string(1000 + 7 * i) + ((i + 1) % 44 == 0 ? " \n" : " ");
  EXPECT_EQ(keys("0"), echo('0', dump_a + "\n"));
  const std::string dump_b = keys("9");
  EXPECT_NE(dump_b.find("ReadData : \n0x0300 : 0xA000 \n0x0302 : 0xA001 \n"), std::string::npos) << dump_b;
  EXPECT_TRUE(dump_b.ends_with("0x0362 : 0xA031 \n\n\n")) << dump_b;
  EXPECT_EQ(keys("q"), echo('q', "Read Packet: 0x5a\n"));
  const std::string lists = keys("6");
  for (const char* line : {"READ PWMDRV Parameter List\n    [TSYNC_NUM     ] = 100\n", "    [F0_ACT_PERIOD ] = 113\n",
                           "READ ROIC Parameter List\n   [ 0] 0x1000 0x2000\n", "   [45] 0x102D 0x202D\n\n"}) {
    EXPECT_NE(lists.find(line), std::string::npos) << line << lists;
  }
}

TEST_P(Console, ModuleConfigurationKeysChangeOneBitOrRequestARead) {
  // Each key alone: n flips byte 0, N byte 1, and each only its own.
  EXPECT_EQ(keys("n"), echo('n', "Toggle Charger Noise Immune Handling Status!\n"));
  EXPECT_EQ(reg32(0x1200), 0x00800001u);
  EXPECT_EQ(keys("n"), echo('n', "Toggle Charger Noise Immune Handling Status!\n"));
  EXPECT_EQ(reg32(0x1200), 0x00800000u);
  EXPECT_EQ(keys("N"), echo('N', "Toggle LCD Noise Immune Status!\n"));
  EXPECT_EQ(reg32(0x1200), 0x00800100u);
  keys("8");
  EXPECT_EQ(reg32(0x1200), 0x00800100u);  // the request byte was served
  EXPECT_EQ(kd->module_config_reads(), 1);
}

// Every key that reads, with its read refused: the CP2112 sees no
// acknowledge, the custom board reads the idle bus (all 0xFF). Either way the
// key says the read failed, shows no value and writes nothing back.
TEST_P(Console, EveryReadingKeyWithItsReadRefusedShowsNoValueAndWritesNothing) {
  const struct {
    std::string typed;
    uint16_t refused;
    const char* says;
    const char* never;  // text only a read value would bring
  } rows[] = {
      {"v", 0x0120, "Cannot read the version block (register 0x0120).\n", "[Version]"},
      {"v", 0x0130, "Cannot read the section block (register 0x0130).\n", "[Section Address]"},
      {"1", 0x0150, "Cannot read the interface block (register 0x0150).\n", "protocol name"},
      {"q", 0x0055, "Read of 1 bytes from register 0x0055 failed; nothing to show.\n", "Read Packet"},
      {"0", 0x8000, "Read of 440 bytes from register 0x8000 failed; nothing to show.\n", "ReadData"},
      {"9", 0x3010, "Read of 100 bytes from register 0x3010 failed; nothing to show.\n", "ReadData"},
      {"6", 0x1210, "Read of 28 bytes from register 0x1210 failed; nothing to show.\n", "READ PWMDRV"},
      {"6", 0x1230, "Read of 184 bytes from register 0x1230 failed; nothing to show.\n", "READ ROIC"},
      {"n", 0x1200, "Read of register 0x1200 failed; nothing was written back.\n", "~"},
      {"N", 0x1200, "Read of register 0x1200 failed; nothing was written back.\n", "~"},
      {"8", 0x1200, "Read of register 0x1200 failed; nothing was written back.\n", "~"},
      {"l]", 0x1200, "Read of register 0x1200 failed; nothing was written back.\n", "Current OSC"},
      {"l[", 0x1200, "Read of register 0x1200 failed; nothing was written back.\n", "Current OSC"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.typed + " " + std::to_string(row.refused));
    bring_up();
    hooked->refuse = [&](bool read, uint16_t reg, size_t) { return read && reg == row.refused; };
    const std::string out = keys(row.typed);
    EXPECT_NE(out.find(row.says), std::string::npos) << out;
    EXPECT_EQ(out.find(row.never), std::string::npos) << out;
    EXPECT_EQ(writes_to(row.refused), 0);
  }
}

// Keys are echoed as typed; a control or non-ASCII byte escaped, never raw.
TEST_P(Console, ControlAndNonAsciiKeysAreEchoedEscaped) {
  EXPECT_EQ(keys("\x1b\xe0\x7f"), echo('\0', "").replace(14, 1, "\\x1b") + echo('\0', "").replace(14, 1, "\\xe0") +
                                     echo('\0', "").replace(14, 1, "\\x7f"));
}

TEST_P(Console, ParameterListsAreWrittenOnlyAfterAYes) {
  keyboard.press("n");
  EXPECT_EQ(keys("7"), echo('7',
                           "Press Y to overwrite the PWM driver and ROIC parameter lists with the defaults, any other "
                           "key to cancel.\nParameter lists not written.\n"));
  EXPECT_EQ(reg(0x1210), 100);
  keyboard.press("y");  // either case says yes (the flash-write test below takes Y)
  EXPECT_NE(keys("7").find("WRITE PWMDRV Parameter List\nWRITE ROIC Parameter List\n"), std::string::npos);
  const uint16_t pwm[14] = {16, 2, 0, 0, 936, 468, 5, 234, 468, 0, 11, 7, 234, 468};
  for (int i = 0; i < 14; ++i) EXPECT_EQ(reg(0x1210 + 2 * i) | reg(0x1211 + 2 * i) << 8, pwm[i]) << i;
  EXPECT_EQ(reg32(0x1230 + 4 * 2), 0xB298B298u);
  EXPECT_EQ(reg32(0x1230 + 4 * 41), 0xFFFFFFFFu);
  EXPECT_EQ(writes_to(0x1210), 1);
  EXPECT_EQ(writes_to(0x1230 + 4 * 45), 1);
}

TEST_P(Console, FlashWriteTestAsksFirstAndProgramsEveryUnit) {
  keyboard.press("x");
  EXPECT_NE(keys("5").find("Flash-write test cancelled: nothing was written.\n"), std::string::npos);
  EXPECT_EQ(kd->program_commands() + kd->refused_commands(), 0);
  keys("2");  // update mode: the controller carries program commands out
  keyboard.press("Y");
  const std::string out = keys("5");
  EXPECT_EQ(kd->program_commands(), 224);
  EXPECT_EQ(kd->protocol_violations(), 0);  // each unit waited for ready before the next
  for (uint32_t a = 0x4000; a < 0x20000; a += 4) EXPECT_EQ(kd->flash()[a], (a & 0x1FF) / 4) << a;
  EXPECT_NE(out.find("IAP WRITE : Addr=0x00004000\nstatus=1\nIAP WRITE : Addr=0x00004200\n"), std::string::npos);
  EXPECT_NE(out.find("IAP WRITE : Addr=0x0001FE00\nstatus=1\nThe flash from 0x4000 may now hold the test pattern"),
            std::string::npos);
  EXPECT_EQ(out.find("MisMatched"), std::string::npos);
}

TEST_P(Console, FlashWriteTestGivesUpOnAUnitThatNeverAnswersAndOnCtrlC) {
  keys("2");
  hooked->refuse = [](bool read, uint16_t reg, size_t) { return read && reg == 0x0600; };  // silent after the unit
  keyboard.press("Y");
  const auto start = std::chrono::steady_clock::now();
  std::string out = keys("5");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(READY_LOST_MS));
  EXPECT_NE(out.find("IAP WRITE : Addr=0x00004000\nFlash-write test stopped at 0x00004000: the controller gave no "
                     "result for the unit.\n"),
            std::string::npos) << out;
  EXPECT_EQ(out.find("0x00004200"), std::string::npos);
  hooked->refuse = nullptr;
  kd->config().never_ready = true;
  keyboard.press("Y");
  const int reads = kd->status_reads();
  ctrl_c_when([&] { return kd->status_reads() == reads + 3; });
  out = keys("5");
  EXPECT_NE(out.find("IAP WRITE : Addr=0x00004000\n\n\n[Ctrl+C] User terminated running of program.\n\n"
                     "Flash-write test stopped at 0x00004000.\n"),
            std::string::npos) << out;
  EXPECT_EQ(gloop, 0);
}

// Ctrl+C ends the wait for a mode change, but the session ends only once the
// controller has switched (a second Ctrl+C gives up on a dead one).
TEST_P(Console, CtrlCOrADeadControllerEndAModeChange) {
  const std::string ctrl_c = "\n\n[Ctrl+C] User terminated running of program.\n\n";
  const std::string waiting = "Waiting for the touch controller to finish the command in progress (up to 10 s)...\n";
  for (const bool dead : {false, true}) {
    SCOPED_TRACE(dead ? "dead" : "busy");
    bring_up();
    kd->config().never_ready = dead;
    kd->config().busy_reads = 50;
    // Ctrl+C at the 5th status read, and on a dead controller again at the 15th.
    ctrl_c_when([&, next = 5]() mutable {
      if (kd->status_reads() < next || next > (dead ? 15 : 5)) return false;
      next += 10;
      return true;
    });
    const std::string out = keys("2");
    EXPECT_EQ(out, echo('2', ctrl_c + waiting +
                                 (dead ? ctrl_c + "The touch controller did not report the command finished.\n" : "")));
    EXPECT_EQ(kd->mode_requests(), std::vector<uint8_t>{2});
    EXPECT_EQ(kd->busy(), dead);
    EXPECT_EQ(kd->in_update_mode(), !dead);
  }
}

TEST_P(Console, HelpOtherKeysAndUnknownKeys) {
  const std::string help = keys("?");
  EXPECT_TRUE(help.starts_with(echo('?', "'TCIP_4.x' Protocol --------------------------------------------\n[?]: Help\n")
                                   .substr(0, 80)));
  EXPECT_NE(help.find("[j]: Set disable edge expand([j]ig postion test mode)\n[BS]: Change to touch sesing mode\n"
                      "---------------------------------------------------------------\n\n"),
            std::string::npos);
  EXPECT_EQ(std::count(help.begin(), help.end(), '\n'), 2 + 23 + 1);
  EXPECT_EQ(keys("/"), std::string(help).replace(14, 1, "/"));
  EXPECT_EQ(keys("c"), echo('c', "The last called function address is not available on this controller.\n"));
  EXPECT_EQ(keys("{"), echo('{', ""));
  EXPECT_EQ(keys("x"), echo('x', ""));
  EXPECT_EQ(gloop, 0);
}

TEST_P(Console, WhatAPulledBridgeRefusedIsReportedAndLoggingIsNotEnteredWithoutTheController) {
  device->unplugged = true;
  EXPECT_EQ(keys(";"), echo(';', "Block ESD Detection!!!\nWrite of 14 bytes to register 0x0610 failed; the controller "
                                 "did not get it.\n"));
  EXPECT_EQ(keys("l"), echo('l', "Enter TCIP Logging mode!\nWrite of 5 bytes to register 0x1010 failed; the "
                                 "controller did not get it.\n"));
  EXPECT_EQ(tLogCtrl.bLogEnable, 0);
  EXPECT_EQ(keys("2"), echo('2', "Mode 2 request failed; the controller did not get it.\n"));
  keyboard.press("Y");
  EXPECT_NE(keys("5").find("Flash-write test stopped at 0x00004000: the unit could not be sent.\n"), std::string::npos);
  EXPECT_EQ(keys("0"), echo('0', "Read of 440 bytes from register 0x8000 failed; nothing to show.\n"));
}

INSTANTIATE_TEST_SUITE_P(Bridges, Console, testing::Values(Bridge::kCustom, Bridge::kCp2112), bridge_name);

// The CP2112 tells a read the controller did not acknowledge from one it did.
class ConsoleCp2112 : public ConsoleRig {};

TEST_P(ConsoleCp2112, UnansweredReadsAreNotTakenForValues) {
  hooked->refuse = [](bool read, uint16_t reg, size_t) { return read && reg == 0x1200; };
  for (char key : std::string("nN8")) {
    EXPECT_NE(keys(std::string(1, key)).find("Read of register 0x1200 failed; nothing was written back.\n"),
              std::string::npos);
  }
  EXPECT_EQ(writes_to(0x1200), 0);
  tSetter.ucMode = 2;
  hooked->refuse = [](bool read, uint16_t reg, size_t) { return read && reg == 0x0600; };
  EXPECT_EQ(keys("3"), echo('3', "Mode 0 requested, but the controller stopped answering before it was ready.\n"));
}

INSTANTIATE_TEST_SUITE_P(Bridge, ConsoleCp2112, testing::Values(Bridge::kCp2112), bridge_name);

}  // namespace
