// Whole updates over the virtual CP2112, fwdownload-sim as a child process.
#include "support_process.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

class FwdownloadSimCp2112 : public ::testing::Test {
 protected:
  ProcessResult run(const char* bridge, EnvList env = {}) {
    write_file(dir_.file("image.bin"), image_);
    env.emplace_back("KDSIM_BRIDGE", bridge);
    env.emplace_back("KDSIM_FLASH_OUT", dir_.file("flash.bin"));
    env.emplace_back("KDSIM_TRACE", dir_.file("trace.txt"));
    return run_process({FWDOWNLOAD_SIM_PATH, dir_.file("image.bin"), "1209", "7750", "0102", "0003", "0010", "34"}, env);
  }

  TempDir dir_;
  const std::vector<uint8_t> image_ = make_image(0x1C000, 11);
};

TEST_F(FwdownloadSimCp2112, ProcedureAWritesTheWholeImage) {
  const ProcessResult r = run("cp2112", {{"KDSIM_CP2112_SMBUS_LOG", dir_.file("smbus.log")}});
  const std::string rule(75, '=');
  const std::string banner =
      rule + "\n=====                  Pelmoranth FW Download Application             =====\n" + rule + "\n";
  std::string want = banner +
                     "\n- SILABSCP2112 USB init successfully.\n\n"
                     "\n[Current FW Version CORE/APP/PARA]: 00.00 / 00.00 / 00.00\n"
                     "[Release FW Version CORE/APP/PARA]: 01.02 / 00.03 / 00.10\n\n"
                     "FW Version : DIFFERENT\nFIRMWARE AUTO UPDATE START!!!\nDownload Start!!!\nfilesize = 114688\n";
  for (int kib = 16; kib <= 127; ++kib) want += std::to_string(kib) + "K\n";
  want += "Flash Writing Complete!!!\nPlease press any key exit!!!\n" + banner + "Terminated\n";
  EXPECT_EQ(r.out, want);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_code, 0);
  const std::vector<uint8_t> flash = read_file(dir_.file("flash.bin"));
  ASSERT_EQ(flash.size(), 0x20000u);
  EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + 0x4000, [](uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(std::equal(image_.begin(), image_.end(), flash.begin() + 0x4000));
  // The bring-up sets the slave address (with 400 kHz) before the bit rate,
  // so the chip ends at the controller's 200 kHz.
  const std::vector<uint8_t> log = read_file(dir_.file("smbus.log"));
  const std::string text(log.begin(), log.end());
  const std::string last = "rate 200000 address 68 auto 1 timeouts 100/100 scl 1 retries 3\n";
  EXPECT_TRUE(text.size() >= last.size() && text.compare(text.size() - last.size(), last.size(), last) == 0) << text;
  const std::vector<uint8_t> trace = read_file(dir_.file("trace.txt"));
  EXPECT_EQ(std::string(trace.begin(), trace.end()).find('!'), std::string::npos);  // no protocol violation
}

TEST_F(FwdownloadSimCp2112, WithBothBridgesTheCustomBoardIsUsed) {
  const ProcessResult r = run("both");
  EXPECT_NE(r.out.find("- KD63507 USB HID CUSTOM init successfully.\n\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("SILABSCP2112"), std::string::npos) << r.out;
  EXPECT_EQ(r.exit_code, 0);
}

// The update ends in failure, never waiting for ever: the bridge's answers
// stop coming (every read ends in the response timeout), or the controller
// stops acknowledging, from the start or mid-run.
TEST_F(FwdownloadSimCp2112, ALostBridgeOrControllerEndsTheUpdateInFailure) {
  const std::string failed = "Flash Writing Fail!!!\nPlease check the status of device and try again...\n";
  const std::pair<EnvList, std::string> cases[] = {
      {{{"KDSIM_CP2112_SILENT_AFTER", "60"}}, "the controller stopped answering\n" + failed},  // well into the first units
      {{{"KDSIM_VANISH_AFTER", "0"}},
       "No answer from the touch controller at address 0x34.\nno controller answers at address 0x34\n" + failed},
      {{{"KDSIM_VANISH_AFTER", "400"}}, "19K\nthe controller stopped answering\n" + failed}};
  for (const auto& [env, ending] : cases) {
    const ProcessResult r = run("cp2112", env);
    EXPECT_NE(r.out.find(ending), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Flash Writing Complete!!!"), std::string::npos);
    EXPECT_EQ(r.exit_code, 1);
  }
}

}  // namespace
