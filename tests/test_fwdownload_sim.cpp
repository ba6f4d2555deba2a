// Whole runs of fwdownload-sim over the virtual custom board, from the entry
// down to the virtual controller: stdout compared byte for byte, the flash
// after the run compared with the image, the I2C trace checked line by line.
#include "support_hidboard.h"
#include "support_process.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>

namespace {

const std::string kRule(75, '=');
const std::string kBanner =
    kRule + "\n=====                  Pelmoranth FW Download Application             =====\n" + kRule + "\n";
const std::string kEnding = "Please press any key exit!!!\n" + kBanner + "Terminated\n";
const std::string kFailed = "Flash Writing Fail!!!\nPlease check the status of device and try again...\n";
constexpr size_t kFlashSize = 0x20000, kImageBase = 0x4000;

// Stdout of a run with release 01.02 / 00.03 / 00.10: no update when `current` is the same, else units of
// 4 KiB (B2; `fails`: unit end in KiB -> check failures) or of 128 bytes (B1), failing after the unit ending
// at `last_kib` when that is not the last, for `reason`. The board is seen as vid:pid, under the fallback pair if
// `fallback`.
std::string stdout_of(const std::string& current, bool b1 = false, const std::map<int, int>& fails = {},
                      int last_kib = 128, uint16_t vid = 0x1209, uint16_t pid = 0x7750, bool fallback = false,
                      const std::string& reason = "") {
  const std::string release = "01.02 / 00.03 / 00.10";
  std::string out = kBanner + "\n" + (fallback ? "VID:0x00001209 PID:0x00007750\n" : "") +
                    hidboard_attributes(vid, pid) + "- KD63507 USB HID CUSTOM init successfully.\n\n" +
                    "\n[Current FW Version CORE/APP/PARA]: " + current + "\n[Release FW Version CORE/APP/PARA]: " +
                    release + "\n\n";
  if (current == release) return out + "FW Version : SAME\n" + kEnding;
  out += "FW Version : DIFFERENT\nFIRMWARE AUTO UPDATE START!!!\nDownload Start!!!\nfilesize = 114688\n";
  out += b1 ? "F/W Update Unit : 128Byte\n" : "F/W Update Unit : 4KByte\n";
  for (int kib = b1 ? 17 : 20; kib <= last_kib; kib += b1 ? 1 : 4) {
    const int failures = fails.count(kib) != 0 ? fails.at(kib) : 0;
    for (int attempt = 1; attempt <= std::min(failures, 5); ++attempt) {
      out += std::to_string(kib) + "KB Flash Write Error : Retry... ( " + std::to_string(attempt) + "/5 )\n";
    }
    if (failures >= 5) {
      char unit[48];
      std::snprintf(unit, sizeof unit, "the check of unit 0x%05X failed\n", (kib - 4) * 1024);
      return out + unit + kFailed + kEnding;
    }
    out += std::to_string(kib) + (b1 ? "K\n" : "KB Complete..\n");
  }
  return out + (last_kib == 128 ? "Flash Writing Complete!!!\n" : reason + "\n" + kFailed) + kEnding;
}

struct SimRun {
  const char* name;
  EnvList env;
  std::string out;
  int exit_code;
  size_t written;  // image bytes expected in the flash from 0x4000 on (the rest as before), SIZE_MAX: unchecked
  std::vector<std::pair<std::string, long>> trace;  // how many lines start with the text
  const char* vid = "1209";
  const char* pid = "7750";
  std::string err = "";  // how stderr starts; "": it stays empty
};

TEST(FwdownloadSim, WholeRunsAndUnusableSettings) {
  TempDir dir;
  const std::vector<uint8_t> image = make_image(0x1C000, 7), before = make_image(kFlashSize, 3);
  write_file(dir.file("image.bin"), image);
  write_file(dir.file("before.bin"), before);
  write_file(dir.file("short.bin"), std::vector<uint8_t>(kFlashSize - 1, 0xFF));
  const std::string none = "00.00 / 00.00 / 00.00", reset = "W 34: 06 10 11";
  const std::string not_found = kBanner + "\nDevice Not Found.\n" + kEnding;
  std::vector<SimRun> runs = {
      {"B2", {}, stdout_of(none), 0, 0x1C000,
       {{"W 34: 06 10 02", 1}, {"W 34: 14 00 00 40 00 00 00 10 00 03", 1}, {reset, 1}}},
      {"B1 under the fallback pair", {{"KDSIM_UNIT", "128"}}, stdout_of(none, true, {}, 128, 0x1209, 0x7750, true), 0,
       0x1C000, {{"W 34: 14 00 80 FF 01 00 80 00 00 03", 1}, {reset, 1}}, "0483", "5750"},
      {"B2 with retries", {{"KDSIM_CHECK_FAIL", "20:1,64:4,128:2"}, {"KDSIM_BOARD_ID", "abcd:0123"}},
       stdout_of(none, false, {{20, 1}, {64, 4}, {128, 2}}, 128, 0xABCD, 0x0123), 0, 0x1C000,
       {{"W 34: 14 00 00 40 00 00 00 10 00 03", 2}, {"W 34: 14 00 00 F0 01 00 00 10 00 03", 3}}, "ABCD", "123"},
      {"five failures", {{"KDSIM_CHECK_FAIL", "24:5"}}, stdout_of(none, false, {{24, 5}}), 1, 0x2000,
       {{"W 34: 14 00 00 50 00 00 00 10 00 03", 5}, {"W 34: 14 00 00 60", 0}, {reset, 0}}},
      {"unplug", {{"KDSIM_UNPLUG_AFTER", "300"}}, stdout_of(none, false, {}, 24, 0x1209, 0x7750, false, "the bridge was unplugged"), 1, SIZE_MAX, {{reset, 0}}},
      {"controller gone mid-run: the bus reads FF", {{"KDSIM_VANISH_AFTER", "400"}}, stdout_of(none, false, {}, 28, 0x1209, 0x7750, false, "the controller stopped answering"), 1,
       0x3000, {{reset, 0}, {"R 34: FF", 0}}},
      {"same versions", {{"KDSIM_VERSIONS", "0001,0102,0003,0010"}}, stdout_of("01.02 / 00.03 / 00.10"), 0, 0,
       {{"W 34: 14", 0}, {"W 34: 60", 0}, {"W 34: 06 10", 0}}},
      {"no bridge", {{"KDSIM_BRIDGE", "none"}}, not_found, 3, 0, {{"", 0}}},
      {"board unplugged at once", {{"KDSIM_UNPLUG_AFTER", "0"}}, not_found, 3, 0, {{"", 0}}},
  };
  const EnvList bad = {
      {"KDSIM_BRIDGE", "usb"}, {"KDSIM_BRIDGE", ""}, {"KDSIM_BOARD_ID", "1209"}, {"KDSIM_BOARD_ID", "1209:0"},
      {"KDSIM_BOARD_ID", "12345:7750"}, {"KDSIM_BOARD_ID", "1209:7750:1"}, {"KDSIM_VERSIONS", "0001,0000,0000"},
      {"KDSIM_VERSIONS", "0001,0000,0000,10000"}, {"KDSIM_VERSIONS", "0001,0000,,0000"}, {"KDSIM_PROTOCOL", ""},
      {"KDSIM_PROTOCOL", "TOOLONGNAME"}, {"KDSIM_UNIT", "4K"}, {"KDSIM_UNIT", "256"}, {"KDSIM_CHECK_FAIL", "20"},
      {"KDSIM_CHECK_FAIL", "20:1,"}, {"KDSIM_CHECK_FAIL", "0:1"}, {"KDSIM_CHECK_FAIL", "132:1"},
      {"KDSIM_CHECK_FAIL", "20:-1"}, {"KDSIM_BUSY", "-1"}, {"KDSIM_BUSY", "1x"}, {"KDSIM_NEVER_READY", "yes"},
      {"KDSIM_UNPLUG_AFTER", "never"}, {"KDSIM_UNPLUG_AFTER", "99999999999999999999"}, {"KDSIM_VANISH_AFTER", "-1"},
      {"KDSIM_FLASH_IN", dir.file("missing.bin")}, {"KDSIM_FLASH_IN", dir.file("short.bin")},
      {"KDSIM_FLASH_OUT", dir.file("no/such/dir/flash.bin")}, {"KDSIM_TRACE", ""},
      {"KDSIM_ISP_BUSY", "x"}, {"KDSIM_ISP_STUCK", "1041,"}, {"KDSIM_CORRUPT_UNIT", "4001"}, {"KDSIM_CORRUPT_UNIT", "20000"}};
  for (const auto& setting : bad) {
    runs.push_back({"refused", {setting}, "", 2, SIZE_MAX, {}, "1209", "7750", setting.first + ": "});
  }
  // No transfer beyond 60 bytes, and no protocol violation ("!" lines).
  const std::regex line_format("[WR] [0-9A-F]{2}:( [0-9A-F]{2}){0,60}");
  for (size_t i = 0; i < runs.size(); ++i) {
    const SimRun& run = runs[i];
    SCOPED_TRACE(run.name + ::testing::PrintToString(run.env));
    const std::string n = std::to_string(i), flash_out = dir.file("flash" + n), trace_out = dir.file("trace" + n);
    EnvList env = {
        {"KDSIM_FLASH_IN", dir.file("before.bin")}, {"KDSIM_FLASH_OUT", flash_out}, {"KDSIM_TRACE", trace_out}};
    for (const auto& setting : run.env) env.push_back(setting);  // set last: they win
    const ProcessResult r =
        run_process({FWDOWNLOAD_SIM_PATH, dir.file("image.bin"), run.vid, run.pid, "0102", "0003", "0010", "34"}, env);
    EXPECT_EQ(r.out, run.out);
    EXPECT_TRUE(run.err.empty() ? r.err.empty() : r.err.rfind(run.err, 0) == 0) << r.err;
    EXPECT_EQ(r.exit_code, run.exit_code);
    if (run.written != SIZE_MAX) {
      std::vector<uint8_t> flash = before;
      std::copy_n(image.begin(), run.written, flash.begin() + kImageBase);
      EXPECT_TRUE(read_file(flash_out) == flash);
    }
    std::vector<std::string> lines;
    std::ifstream trace(trace_out);
    for (std::string line; std::getline(trace, line); lines.push_back(line)) {
      EXPECT_TRUE(std::regex_match(line, line_format)) << line;
    }
    for (const auto& [start, count] : run.trace) {
      const auto starts = [&prefix = start](const std::string& line) { return line.rfind(prefix, 0) == 0; };
      EXPECT_EQ(std::count_if(lines.begin(), lines.end(), starts), count) << start;
    }
  }
}

}  // namespace
