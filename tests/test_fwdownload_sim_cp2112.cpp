// Whole updates over the virtual CP2112: fwdownload-sim as a child process
// (entry, update, board control, driver layer, HID-to-SMBus library, virtual
// HID bus, virtual CP2112 and controller), and in this process for a
// response that never comes.
#include "app/entry.h"
#include "app/iap_update.h"
#include "app/master.h"
#include "bridge/cp2112/emulboard_cp2112_control.h"
#include "kd63507.h"
#include "support_cp2112.h"
#include "support_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace {

const std::string kRule(75, '=');
const std::string kBanner =
    kRule + "\n=====                  Pelmoranth FW Download Application             =====\n" + kRule + "\n";
const std::string kStartBanner = kBanner + "\n";
const std::string kEndBanner = kBanner + "Terminated\n";
const std::string kPressKey = "Please press any key exit!!!\n";
const std::string kFound = kStartBanner + "- SILABSCP2112 USB init successfully.\n\n";
const std::string kDifferent =
    "\n[Current FW Version CORE/APP/PARA]: 00.00 / 00.00 / 00.00\n"
    "[Release FW Version CORE/APP/PARA]: 01.02 / 00.03 / 00.10\n\n"
    "FW Version : DIFFERENT\nFIRMWARE AUTO UPDATE START!!!\nDownload Start!!!\nfilesize = 114688\n";
const std::string kSuccess = "Flash Writing Complete!!!\n" + kPressKey + kEndBanner;
constexpr size_t kFlashSize = 0x20000;
constexpr size_t kImageBase = 0x4000;

std::vector<std::string> read_lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class FwdownloadSimCp2112 : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = make_image(0x1C000, 11);
    write_file(dir_.file("image.bin"), image_);
  }
  ProcessResult run(EnvList env) {
    env.emplace_back("KDSIM_FLASH_OUT", dir_.file("flash.bin"));
    env.emplace_back("KDSIM_TRACE", dir_.file("trace.txt"));
    return run_process({FWDOWNLOAD_SIM_PATH, dir_.file("image.bin"), "1209", "7750", "0102", "0003", "0010", "34"},
                       env);
  }

  TempDir dir_;
  std::vector<uint8_t> image_;
};

TEST_F(FwdownloadSimCp2112, ProcedureAWritesTheWholeImage) {
  const ProcessResult r = run({{"KDSIM_BRIDGE", "cp2112"}});
  std::string progress;
  for (int kib = 16; kib <= 127; ++kib) progress += std::to_string(kib) + "K\n";
  EXPECT_EQ(r.out, kFound + kDifferent + progress + kSuccess);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_code, 0);

  const std::vector<uint8_t> flash = read_file(dir_.file("flash.bin"));
  ASSERT_EQ(flash.size(), kFlashSize);
  EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + kImageBase, [](uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(std::equal(image_.begin(), image_.end(), flash.begin() + kImageBase));

  const std::vector<std::string> lines = read_lines(dir_.file("trace.txt"));
  size_t programs = 0;
  for (const std::string& line : lines) {
    ASSERT_EQ(line.rfind(line[0] == 'W' ? "W 34:" : "R 34:", 0), 0u) << line;
    ASSERT_LE((line.size() - 5) / 3, 61u) << line;  // the CP2112's largest write
    if (line.rfind("W 34: 14 00 ", 0) == 0 && line.size() == 35 && line.substr(33) == "03") ++programs;
  }
  EXPECT_EQ(programs, 896u);  // 112 KiB in 128-byte units
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "W 34: 14 00 00 40 00 00 80 00 00 03"), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "W 34: 14 00 80 FF 01 00 80 00 00 03"), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "W 34: 06 10 11"), 1);
}

TEST_F(FwdownloadSimCp2112, WithBothBridgesTheCustomBoardIsUsed) {
  const ProcessResult r = run({{"KDSIM_BRIDGE", "both"}});
  EXPECT_NE(r.out.find("- KD63507 USB HID CUSTOM init successfully.\n\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("SILABSCP2112"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("F/W Update Unit : 4KByte\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.exit_code, 0);
  const std::vector<uint8_t> flash = read_file(dir_.file("flash.bin"));
  ASSERT_EQ(flash.size(), kFlashSize);
  EXPECT_TRUE(std::equal(image_.begin(), image_.end(), flash.begin() + kImageBase));
}

TEST_F(FwdownloadSimCp2112, UnpluggingTheCp2112MidUpdateEndsTheRun) {
  const ProcessResult r = run({{"KDSIM_BRIDGE", "cp2112"}, {"KDSIM_UNPLUG_AFTER", "400"}});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out.rfind(kFound + kDifferent, 0), 0u) << r.out;
  EXPECT_EQ(r.out.find("Flash Writing Complete!!!"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Flash Writing Fail!!!"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - kEndBanner.size()), kEndBanner);
  const std::vector<std::string> lines = read_lines(dir_.file("trace.txt"));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "W 34: 06 10 11"), 0);
}

// The bridge keeps taking requests but its answers stop: every read ends in
// the response timeout, and the update gives up instead of waiting for ever.
TEST(FwdownloadCp2112, AResponseThatNeverComesEndsTheUpdateInFailure) {
  hid_virtual_detach_all();
  VirtualKd63507 kd;
  kd.set_recording(false);
  auto chip = attach_cp2112(&kd);
  std::vector<uint8_t> image = make_image(0x1C000, 5);
  BinaryBuffer = image.data();
  Download_Mode = 1;
  img_core_ver = 0x0102;
  img_app_ver = 0x0003;
  img_para_ver = 0x0010;

  ASSERT_EQ(emulboard_cp2112_init(), 1);
  app_download_init(BOARD_CP2112);
  emul_i2c_set_slave_addr(0, 0x34);
  emul_i2c_set_speed(200000);
  emul_tkey_power_on(0);
  emul_i2c_tkey_set_ce(1);
  emul_set_intr_dir(0);
  chip->drop_responses(60, -1);  // well into the first units

  testing::internal::CaptureStdout();
  emulboard_cp2112_program_to_flash_using_iapmode_Customer();
  const std::string out = testing::internal::GetCapturedStdout();
  emul_i2c_usb_close();
  BinaryBuffer = nullptr;

  EXPECT_EQ(g_update_outcome, UPDATE_FAILED);
  EXPECT_NE(out.find("Flash Writing Fail!!!"), std::string::npos) << out;
  EXPECT_EQ(kd.reset_requests(), 0);
  EXPECT_GT(kd.program_commands(), 0);
  EXPECT_LT(kd.program_commands(), 896);
}

}  // namespace
