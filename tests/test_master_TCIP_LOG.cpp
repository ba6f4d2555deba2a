// The logging-protocol console over both bridges: getting in and out, the
// log mask, its mode keys, the oscillator and its own feature toggles.
#include "support_console.h"

using namespace test_support;

namespace {

using LoggingConsole = ConsoleRig;
constexpr uint16_t kLogCtrl = 0x1010;

// The echo of a key; Backspace shows as \x08.
std::string echo(char key, const std::string& lines) {
  const std::string shown = key == '\b' ? "\\x08" : std::string(1, key);
  return "\n*** You hit [" + shown + "]\n" + lines;
}

TEST_P(LoggingConsole, KeyLEntersAndLeavesAndTheNextKeyGoesToTheRightConsole) {
  tLogCtrl.ulLogMask = 0x00000008;  // as loaded: type 3 already on in the controller
  std::string out = keys("l");
  EXPECT_TRUE(out.starts_with(echo('l', "Enter TCIP Logging mode!\n'TCIP_4.x' Log Protocol ---"))) << out;
  EXPECT_TRUE(out.ends_with("[]]: Increase OSC_VAL\n[BS]: Change to touch sesing mode\n"
                            "---------------------------------------------------------------\n\n"));
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2 + 1 + 48 + 1);
  EXPECT_EQ(reg(kLogCtrl + 4), 1);
  EXPECT_EQ(keys("Q"), echo('Q', ""));  // no action, no newline of its own
  EXPECT_EQ(keys("/"), echo('/', out.substr(42, out.size() - 43)));  // the list alone, no newline after
  EXPECT_EQ(keys("r"), echo('r', "Rawdata ON\n"));  // the bit was set already: the first press sets it again
  EXPECT_EQ(keys("r"), echo('r', "Rawdata OFF\n"));
  EXPECT_EQ(reg32(kLogCtrl), 0u);
  out = keys("l");
  EXPECT_TRUE(out.starts_with(echo('l', "EXIT TCIP Logging mode!\n'TCIP_4.x' Protocol ---"))) << out;
  EXPECT_EQ(reg(kLogCtrl + 4), 0);
  EXPECT_EQ(keys("q"), echo('q', "Read Packet: 0x5a\n\n"));
}

TEST_P(LoggingConsole, LogKeysSwitchTheirTypesBitAndNothingOutsideTheTable) {
  keys("l");
  const std::pair<std::string, uint32_t> rows[] = {
      {"E", 1u << 1}, {"6", 1u << 2}, {"`", 1u << 21}, {"~", 1u << 20}, {"p", 1u << 22}, {"5", 1u << 27}, {",", 1u << 16},
  };
  uint32_t mask = 0;
  for (const auto& [key, bit] : rows) {
    const std::string out = keys(key);
    mask |= bit;
    EXPECT_EQ(reg32(kLogCtrl), mask) << key;
    EXPECT_TRUE(out.ends_with(" ON\n")) << out;
  }
  kd->clear_transfers();
  toggle_log(29);
  toggle_log(255);
  EXPECT_EQ(kd->transfers().size(), 0u);
  EXPECT_EQ(reg32(kLogCtrl), mask);
}

TEST_P(LoggingConsole, ModeKeysRequestTheirModesInOrder) {
  // Key z's two test results, their values left out with the log lines.
  static constexpr char kTestFormats[] =
      "Buffer address: 0x2800\n[Format]\n    row: 10, col: 16, buffer_col: 16, data size: 2\n   rotated: 0\n"
      "Buffer address: 0x2800\n[Format]\n    row: 10, col: 16, buffer_col: 16, data size: 1\n   rotated: 1\n";
  keys("l");
  struct Row {
    std::string typed;
    std::vector<uint8_t> modes;
    const char* ending;
  };
  const Row rows[] = {
      {"o", {4, 16}, "Analog configuration OPTIMIZE_DELAY tuning!!!\n"}, {"0", {5}, "Analog configuration DNR tuning!!!\n"},
      {"-", {6}, "Analog configuration RDTIME tuning!!!\n"}, {"9", {7}, "Analog configuration IRES tuning!!!\n"},
      {"v", {8, 16}, "Enter 'Check Cm' mode!!!\n"}, {"e", {9}, ""},
      {"O", {0, 12}, "Analog configuration DELAY tuning!!!\n"}, {"n", {13}, "Enter 'Normalize Intensity' mode!!!\n"},
      {"\\", {11}, "Check noise spectrum...\n"}, {"\\", {0}, "Touch Sensing\n"},
      {"y", {14}, "Oversample buffer (DData) ON\n"},
      {"Y", {15}, "Oversample buffer (DData) OFF\n"},  // y and Y share type 5
      {"y", {0}, "Touch Sensing\nOversample buffer (DData) ON\n"},
      {"z", {1, 0}, kTestFormats}, {"2", {}, "Log type 24 ON\n"} /* no mode key here */, {"\b", {}, "Touch Sensing\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.typed);
    const size_t before = kd->mode_requests().size();
    // With log types on, the controller's log records (" > " lines) come between.
    std::string out = keys(row.typed), mine;
    for (size_t at = 0, end; at < out.size(); at = end + 1) {
      end = out.find('\n', at);
      if (end == std::string::npos) end = out.size() - 1;
      if (out.compare(at, 3, " > ") != 0) mine += out.substr(at, end + 1 - at);
    }
    EXPECT_EQ(mine, echo(row.typed.back(), row.ending));
    EXPECT_EQ(std::vector<uint8_t>(kd->mode_requests().begin() + before, kd->mode_requests().end()), row.modes);
  }
  EXPECT_EQ(reg32(kLogCtrl), (1u << 5) | (1u << 24));
}

TEST_P(LoggingConsole, ModuleConfigurationAndOscillatorKeys) {
  keys("l");
  keys("=+_");
  EXPECT_EQ(reg32(0x1200), 0x00800101u);
  EXPECT_EQ(kd->module_config_reads(), 1);
  kd->registers()[0x1202] = 255;
  EXPECT_EQ(keys("]"), echo(']', "Previous OSC : 255, Current OSC : 0\n"));
  EXPECT_EQ(keys("["), echo('[', "Previous OSC : 0, Current OSC : 255\n"));
  EXPECT_EQ(reg(0x1202), 255);
  EXPECT_EQ(terminal_get_attribute() & 0x0F, COLOR_BRIGHT_WHITE);
}

TEST_P(LoggingConsole, FeatureTogglesAreApartFromTheMasterConsoles) {
  keys("CG");
  keys("l");
  EXPECT_EQ(keys("C"), echo('C', "Set Charger Attached!!!\n"));
  EXPECT_EQ(keys("G"), echo('G', "Set Glove Sensing Enable!!!\n"));
  EXPECT_EQ(keys("W"), echo('W', "Set Sensing on Window Enable!!!\n"));
  EXPECT_EQ(keys("PP"), echo('P', "Set Palm Rejection Enable!!!\n") + echo('P', "Set Palm Rejection Disable!!!\n"));
  EXPECT_EQ(keys("k;"), echo('k', "Enter to Knock-on(Low Power Consumption) mode\n") +
                           echo(';', "Block ESD Detection!!!\n"));
  const uint8_t expected[14] = {0, 0, 0, 2, 0, 0, 0, 0, 1, 1, 1, 1, 0, 0};
  EXPECT_EQ(0, std::memcmp(&kd->registers()[0x0610], expected, sizeof expected));
  EXPECT_EQ(keys("x"), echo('x', ""));
  EXPECT_EQ(gloop, 0);
}

TEST_P(LoggingConsole, ARefusedLogControlWriteLeavesMaskAndConsoleAsTheControllerHasThem) {
  keys("l");
  device->unplugged = true;
  EXPECT_EQ(keys("r"), echo('r', "Write of 5 bytes to register 0x1010 failed; the controller did not get it.\n"));
  EXPECT_EQ(tLogCtrl.ulLogMask, 0u);
  EXPECT_EQ(vbLogType[3], 0);
  EXPECT_EQ(keys("l"), echo('l', "EXIT TCIP Logging mode!\nWrite of 5 bytes to register 0x1010 failed; the controller "
                                 "did not get it.\n"));
  EXPECT_EQ(tLogCtrl.bLogEnable, 1);
  EXPECT_EQ(keys("]"), echo(']', "Read of register 0x1200 failed; nothing was written back.\n"));
}

INSTANTIATE_TEST_SUITE_P(Bridges, LoggingConsole, testing::Values(Bridge::kCustom, Bridge::kCp2112), bridge_name);

}  // namespace
