// Whole runs of fwdownload-sim over the virtual custom board: the entry, the
// update, the board's report protocol, the HID driver, the virtual HID bus,
// the virtual board and the virtual controller, all in one process. Output is
// compared byte for byte, the flash after the run with the image, and the I2C
// trace line by line.
#include "support_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>

namespace {

const std::string kRule(75, '=');
const std::string kBanner =
    kRule + "\n=====                  Pelmoranth FW Download Application             =====\n" + kRule + "\n";
const std::string kStartBanner = kBanner + "\n";
const std::string kEndBanner = kBanner + "Terminated\n";
const std::string kPressKey = "Please press any key exit!!!\n";
constexpr size_t kFlashSize = 0x20000;
constexpr size_t kImageBase = 0x4000;

std::string attribute_lines(uint16_t vid, uint16_t pid) {
  char text[200];
  std::snprintf(text, sizeof text,
                "VendorID : 0x%08x, ProductID : 0x%08x, VersionNumber : 0x00000100 \n\n"
                "InputReportByteLength : 0x00000040 \n\nOutputReportByteLength : 0x00000040 \n\n",
                vid, pid);
  return text;
}

// The lines up to the version check of a run that found the board under the
// command-line pair 1209:7750.
const std::string kFound = kStartBanner + attribute_lines(0x1209, 0x7750) + "- KD63507 USB HID CUSTOM init successfully.\n\n";

std::string versions(const char* current, const char* release, bool same) {
  return std::string("\n[Current FW Version CORE/APP/PARA]: ") + current + "\n[Release FW Version CORE/APP/PARA]: " + release +
         "\n\n" + (same ? "FW Version : SAME\n" : "FW Version : DIFFERENT\n");
}

const std::string kDifferent = versions("00.00 / 00.00 / 00.00", "01.02 / 00.03 / 00.10", false) +
                               "FIRMWARE AUTO UPDATE START!!!\nDownload Start!!!\nfilesize = 114688\n";

// Progress of procedure B2 from the unit ending at `first_kib` on, with the
// retry lines of failing units (unit end in KiB -> failures before it passes).
std::string b2_progress(const std::map<int, int>& failures, int first_kib = 20, int last_kib = 128) {
  std::string out;
  for (int kib = first_kib; kib <= last_kib; kib += 4) {
    const auto fault = failures.find(kib);
    const int fails = fault == failures.end() ? 0 : fault->second;
    for (int attempt = 1; attempt <= std::min(fails, 5); ++attempt) {
      out += std::to_string(kib) + "KB Flash Write Error : Retry... ( " + std::to_string(attempt) + "/5 )\n";
    }
    if (fails >= 5) return out;
    out += std::to_string(kib) + "KB Complete..\n";
  }
  return out;
}

const std::string kSuccess = "Flash Writing Complete!!!\n" + kPressKey + kEndBanner;
const std::string kFailure =
    "Flash Writing Fail!!!\nPlease check the status of device and try again...\n" + kPressKey + kEndBanner;

std::vector<std::string> read_lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

size_t count_lines(const std::vector<std::string>& lines, const std::string& wanted) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), wanted));
}

class FwdownloadSim : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = make_image(0x1C000, 7);
    write_file(dir_.file("image.bin"), image_);
  }

  // Runs an update with release versions 01.02 / 00.03 / 00.10, the flash
  // written to flash.bin and the trace to trace.txt.
  ProcessResult run(EnvList env, const char* vid = "1209", const char* pid = "7750") {
    env.emplace_back("KDSIM_FLASH_OUT", dir_.file("flash.bin"));
    env.emplace_back("KDSIM_TRACE", dir_.file("trace.txt"));
    return run_process({FWDOWNLOAD_SIM_PATH, dir_.file("image.bin"), vid, pid, "0102", "0003", "0010", "34"}, env);
  }
  std::vector<uint8_t> flash() { return read_file(dir_.file("flash.bin")); }
  std::vector<std::string> trace() { return read_lines(dir_.file("trace.txt")); }

  // The flash holds the image from 0x4000 on; the first 16 KiB stay erased.
  void expect_image_in_flash() {
    const std::vector<uint8_t> f = flash();
    ASSERT_EQ(f.size(), kFlashSize);
    EXPECT_TRUE(std::all_of(f.begin(), f.begin() + kImageBase, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(std::equal(image_.begin(), image_.end(), f.begin() + kImageBase));
  }

  TempDir dir_;
  std::vector<uint8_t> image_;
};

TEST_F(FwdownloadSim, FourKilobyteUnitsWriteTheWholeImage) {
  const ProcessResult r = run({});
  EXPECT_EQ(r.out, kFound + kDifferent + "F/W Update Unit : 4KByte\n" + b2_progress({}) + kSuccess);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_code, 0);
  expect_image_in_flash();

  const std::vector<std::string> lines = trace();
  ASSERT_FALSE(lines.empty());
  const std::regex format("[WR] [0-9A-F]{2}:( [0-9A-F]{2})*");
  for (const std::string& line : lines) ASSERT_TRUE(std::regex_match(line, format)) << line;
  // Logging off, update mode, the unit query, then the first unit's program
  // command exactly as the controller must see it, and the reset at the end.
  EXPECT_EQ(count_lines(lines, "W 34: 06 10 02"), 1u);
  EXPECT_EQ(count_lines(lines, "W 34: 14 00 00 00 00 00 00 00 00 08"), 1u);
  EXPECT_EQ(count_lines(lines, "W 34: 14 00 00 40 00 00 00 10 00 03"), 1u);
  EXPECT_EQ(count_lines(lines, "W 34: 14 00 00 F0 01 00 00 10 00 05"), 1u);  // check of the last unit
  EXPECT_EQ(count_lines(lines, "W 34: 06 10 11"), 1u);
  size_t programs = 0;
  for (const std::string& line : lines) {
    if (line.rfind("W 34: 14 00 ", 0) == 0 && line.size() == 35 && line.substr(33) == "03") ++programs;
  }
  EXPECT_EQ(programs, 28u);
  // No write is longer than the board's 60 bytes.
  for (const std::string& line : lines) ASSERT_LE((line.size() - 5) / 3, 60u) << line;
}

TEST_F(FwdownloadSim, BoardFoundUnderTheFallbackPairIsAnnounced) {
  const ProcessResult r = run({}, "0483", "5750");
  const std::string found = kStartBanner + "VID:0x00001209 PID:0x00007750\n" + attribute_lines(0x1209, 0x7750) +
                            "- KD63507 USB HID CUSTOM init successfully.\n\n";
  EXPECT_EQ(r.out, found + kDifferent + "F/W Update Unit : 4KByte\n" + b2_progress({}) + kSuccess);
  EXPECT_EQ(r.exit_code, 0);
  expect_image_in_flash();
}

TEST_F(FwdownloadSim, BoardWithItsOwnIdentifiersIsFoundUnderTheCommandLinePair) {
  const ProcessResult r = run({{"KDSIM_BOARD_ID", "abcd:0123"}}, "ABCD", "123");
  EXPECT_EQ(r.out.rfind(kStartBanner + attribute_lines(0xABCD, 0x0123), 0), 0u) << r.out;
  EXPECT_EQ(r.exit_code, 0);
  expect_image_in_flash();
}

TEST_F(FwdownloadSim, HundredTwentyEightByteUnitsWriteTheWholeImage) {
  const ProcessResult r = run({{"KDSIM_UNIT", "128"}});
  std::string progress;
  for (int kib = 17; kib <= 128; ++kib) progress += std::to_string(kib) + "K\n";
  EXPECT_EQ(r.out, kFound + kDifferent + "F/W Update Unit : 128Byte\n" + progress + kSuccess);
  EXPECT_EQ(r.exit_code, 0);
  expect_image_in_flash();
  const std::vector<std::string> lines = trace();
  EXPECT_EQ(count_lines(lines, "W 34: 14 00 80 FF 01 00 80 00 00 03"), 1u);  // the last unit, 0x1FF80
}

TEST_F(FwdownloadSim, UnitsThatFailTheirCheckAreWrittenAgain) {
  const ProcessResult r = run({{"KDSIM_CHECK_FAIL", "20:1,64:4,128:2"}});
  EXPECT_EQ(r.out, kFound + kDifferent + "F/W Update Unit : 4KByte\n" + b2_progress({{20, 1}, {64, 4}, {128, 2}}) + kSuccess);
  EXPECT_EQ(r.exit_code, 0);
  expect_image_in_flash();
  const std::vector<std::string> lines = trace();
  EXPECT_EQ(count_lines(lines, "W 34: 14 00 00 40 00 00 00 10 00 03"), 2u);  // unit 16-20 KiB twice
  EXPECT_EQ(count_lines(lines, "W 34: 14 00 00 F0 01 00 00 10 00 03"), 3u);  // the last unit three times
}

TEST_F(FwdownloadSim, FiveFailuresOfOneUnitEndTheUpdateWithoutReset) {
  const ProcessResult r = run({{"KDSIM_CHECK_FAIL", "24:5"}});
  EXPECT_EQ(r.out, kFound + kDifferent + "F/W Update Unit : 4KByte\n" + b2_progress({{24, 5}}) + kFailure);
  EXPECT_EQ(r.exit_code, 1);
  const std::vector<std::string> lines = trace();
  EXPECT_EQ(count_lines(lines, "W 34: 14 00 00 50 00 00 00 10 00 03"), 5u);  // five attempts, not six
  EXPECT_EQ(count_lines(lines, "W 34: 14 00 00 60 00 00 00 10 00 03"), 0u);  // the next unit never starts
  EXPECT_EQ(count_lines(lines, "W 34: 06 10 11"), 0u);
  const std::vector<uint8_t> f = flash();
  ASSERT_EQ(f.size(), kFlashSize);
  EXPECT_TRUE(std::equal(image_.begin(), image_.begin() + 0x2000, f.begin() + kImageBase));
  EXPECT_TRUE(std::all_of(f.begin() + 0x6000, f.end(), [](uint8_t b) { return b == 0xFF; }));
}

TEST_F(FwdownloadSim, SameVersionsWriteNothing) {
  write_file(dir_.file("before.bin"), make_image(kFlashSize, 3));
  const ProcessResult r = run({{"KDSIM_VERSIONS", "0001,0102,0003,0010"}, {"KDSIM_FLASH_IN", dir_.file("before.bin")}});
  EXPECT_EQ(r.out, kFound + versions("01.02 / 00.03 / 00.10", "01.02 / 00.03 / 00.10", true) + kPressKey + kEndBanner);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(flash(), read_file(dir_.file("before.bin")));
  for (const std::string& line : trace()) {
    EXPECT_NE(line.rfind("W 34: 60", 0), 0u) << line;
    EXPECT_NE(line.rfind("W 34: 14", 0), 0u) << line;
    EXPECT_NE(line.rfind("W 34: 06 10", 0), 0u) << line;
  }
}

TEST_F(FwdownloadSim, UnpluggingTheBoardMidUpdateEndsTheRun) {
  // Well into the first units: the run must end, not hang, and not claim
  // success.
  const ProcessResult r = run({{"KDSIM_UNPLUG_AFTER", "300"}});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out.rfind(kFound + kDifferent + "F/W Update Unit : 4KByte\n", 0), 0u) << r.out;
  EXPECT_EQ(r.out.find("Flash Writing Complete!!!"), std::string::npos) << r.out;
  ASSERT_GE(r.out.size(), kFailure.size());
  EXPECT_EQ(r.out.substr(r.out.size() - kFailure.size()), kFailure);
  const std::vector<std::string> lines = trace();
  EXPECT_EQ(count_lines(lines, "W 34: 06 10 11"), 0u);
}

TEST_F(FwdownloadSim, NoBridgeEndsWithDeviceNotFound) {
  for (const EnvList& env : {EnvList{{"KDSIM_BRIDGE", "none"}}, EnvList{{"KDSIM_UNPLUG_AFTER", "0"}}}) {
    const ProcessResult r = run(env);
    EXPECT_EQ(r.out, kStartBanner + "Device Not Found.\n" + kPressKey + kEndBanner) << env[0].first;
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_TRUE(trace().empty());
    const std::vector<uint8_t> f = flash();
    EXPECT_EQ(f.size(), kFlashSize);
    EXPECT_TRUE(std::all_of(f.begin(), f.end(), [](uint8_t b) { return b == 0xFF; }));
  }
}

TEST_F(FwdownloadSim, UnusableSettingsAreRefusedBeforeAnythingRuns) {
  write_file(dir_.file("short.bin"), std::vector<uint8_t>(kFlashSize - 1, 0xFF));
  const EnvList bad = {
      {"KDSIM_BRIDGE", "usb"},
      {"KDSIM_BRIDGE", ""},
      {"KDSIM_BOARD_ID", "1209"},
      {"KDSIM_BOARD_ID", "1209:0"},
      {"KDSIM_BOARD_ID", "12345:7750"},
      {"KDSIM_BOARD_ID", "1209:7750:1"},
      {"KDSIM_VERSIONS", "0001,0000,0000"},
      {"KDSIM_VERSIONS", "0001,0000,0000,10000"},
      {"KDSIM_VERSIONS", "0001,0000,,0000"},
      {"KDSIM_PROTOCOL", ""},
      {"KDSIM_PROTOCOL", "TOOLONGNAME"},
      {"KDSIM_UNIT", "4K"},
      {"KDSIM_UNIT", "256"},
      {"KDSIM_CHECK_FAIL", "20"},
      {"KDSIM_CHECK_FAIL", "20:1,"},
      {"KDSIM_CHECK_FAIL", "0:1"},
      {"KDSIM_CHECK_FAIL", "132:1"},
      {"KDSIM_CHECK_FAIL", "20:-1"},
      {"KDSIM_BUSY", "-1"},
      {"KDSIM_BUSY", "1x"},
      {"KDSIM_NEVER_READY", "yes"},
      {"KDSIM_UNPLUG_AFTER", "never"},
      {"KDSIM_UNPLUG_AFTER", "99999999999999999999"},
      {"KDSIM_FLASH_IN", dir_.file("missing.bin")},
      {"KDSIM_FLASH_IN", dir_.file("short.bin")},
      {"KDSIM_FLASH_OUT", dir_.file("no/such/dir/flash.bin")},
      {"KDSIM_TRACE", ""},
  };
  for (const auto& setting : bad) {
    const ProcessResult r = run_process(
        {FWDOWNLOAD_SIM_PATH, dir_.file("image.bin"), "1209", "7750", "0102", "0003", "0010", "34"}, {setting});
    EXPECT_EQ(r.exit_code, 2) << setting.first << "=" << setting.second;
    EXPECT_EQ(r.out, "") << setting.first << "=" << setting.second;
    EXPECT_EQ(r.err.rfind(setting.first + ": ", 0), 0u) << r.err;
  }
}

}  // namespace
