// The IAP verify on both bridges, the sector erase, and the update that
// verifies what it wrote, against the virtual controller.
#include "app/iap_verify.h"

#include "app/flash_commands.h"
#include "app/run_outcome.h"
#include "support_isp.h"

#include <regex>

using namespace test_support;

namespace {

using Bytes = std::vector<uint8_t>;

class Verify : public FlashRig {};

// Flash: erased, but 0x2000-0x21FF and 0x4000-0x40C7 hold data.
Bytes verify_flash() {
  Bytes flash(0x20000, 0xFF);
  const Bytes low = make_image(0x200, 6), high = make_image(200, 7);
  std::copy(low.begin(), low.end(), flash.begin() + 0x2000);
  std::copy(high.begin(), high.end(), flash.begin() + 0x4000);
  return flash;
}

TEST_F(Verify, MatchesAndMismatchesOnBothBridges) {
  const Bytes flash = verify_flash();
  const auto slice = [&](uint32_t at, uint32_t size) { return Bytes(flash.begin() + at, flash.begin() + at + size); };
  Bytes changed = slice(0x2000, 256);
  changed[200] ^= 0x10;
  const struct {
    int8_t board;
    Bytes file;
    uint32_t at;
    Kd63507Config config;
    int exit;
    std::string out;  // a regular expression
  } cases[] = {
      {BOARD_CP2112, slice(0x2000, 256), 0x2000, {}, 0, "filesize = 256\n8K\n\\[.{8}\\] verify End!!!\n"},
      {BOARD_HIDBOARD, changed, 0x2000, {}, 1, "filesize = 256\n8K\n\\[.{8}\\] verify End!!!\n"},
      // 200 bytes: the last unit is filled with 0xFF, which the flash past the data must hold.
      // Said before the checks, and in the verdict when that unit differs.
      {BOARD_HIDBOARD, slice(0x4000, 200), 0x4000, {}, 0,
       "Warning: the file ends at 0x040C8, inside the 128-byte unit at 0x04080: the flash from 0x040C8 to 0x040FF "
       "must be erased \\(0xFF\\) to match.\nfilesize = 200\n16K\n\\[.{8}\\] verify End!!!\n"},
      {BOARD_CP2112, slice(0x2000, 200), 0x2000, {}, 1,
       "Warning: the file ends at 0x020C8, .*\nfilesize = 200\n8K\n\\[.{8}\\] verify End!!!\n"},
      {BOARD_CP2112, slice(0x2000, 256), 0x2000, {.check_failures = {}, .compare_never_answers = true}, 1,
       "filesize = 256\nVerify of 0x02000: the controller did not answer the check.\n\\[.{8}\\] verify End!!!\n"},
      {BOARD_HIDBOARD, slice(0x2000, 256), 0x1FF80, {}, 2,
       "Not verified: .* is empty or runs past the end of the flash from 0x1FF80.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    bring_up(c.board, c.config, flash);
    write_file(dir.file("v.bin"), c.file);
    EXPECT_EQ(captured([&] { return kdtool_cmd_verify(dir.file("v.bin").c_str(), c.at); }), c.exit);
    EXPECT_TRUE(std::regex_match(out, std::regex(c.out))) << out;
    EXPECT_EQ(verify_result, c.exit == 0 ? 1u : 0u);
    EXPECT_EQ(kd->reset_requests(), c.exit == 2 ? 0 : 1);  // update mode for the checks, then back
    EXPECT_EQ(Bytes(kd->flash().begin(), kd->flash().end()), flash);
  }
  // A later match never sets verify_result back; an unopened file reads nothing.
  write_file(dir.file("v.bin"), slice(0x2000, 128));
  EXPECT_EQ(captured([&] { return kdtool_cmd_verify(dir.file("v.bin").c_str(), 0x2000); }), 0);
  EXPECT_EQ(verify_result, 0u);
  bring_up(BOARD_CP2112, {.protocol = "DFUP", .check_failures = {}}, flash);
  emulboard_cp2112_verify_to_flash_using_iapmode(dir.file("v.bin").c_str());
  EXPECT_EQ(verify_result, 1u);
  const std::string missing = dir.file("missing.bin");
  EXPECT_EQ(captured([&] { emulboard_cp2112_verify_to_flash_using_iapmode(missing.c_str()); return 0; }), 0);
  EXPECT_EQ(out, "Can not find Filename = " + missing + "\n");
  EXPECT_EQ(verify_result, 0u);
}

// No verify without a controller in update mode: nobody at the address (the
// custom board reads the idle bus) is the no-answer line, a controller that
// does not report ready after the mode request gets no reset request either.
TEST_F(Verify, NoControllerOrNoUpdateModeEndsBeforeAnyCheckAndWithoutReset) {
  write_file(dir.file("v.bin"), Bytes(128, 0xFF));
  for (const int8_t board : {BOARD_CP2112, BOARD_HIDBOARD}) {
    SCOPED_TRACE(board);
    bring_up(board);
    g_slave_addr = 0x35;
    emul_i2c_set_slave_addr(0, g_slave_addr);
    EXPECT_EQ(captured([&] { return kdtool_cmd_verify(dir.file("v.bin").c_str(), 0x2000); }), 1);
    EXPECT_EQ(out, "No answer from the touch controller at address 0x35.\n");
    EXPECT_EQ(run_reason_class(), RUN_CLASS_NO_CONTROLLER);
    bring_up(board, {.never_ready = true, .check_failures = {}});
    g_unattended_ready_limit_ms = 300;
    EXPECT_EQ(captured([&] { return kdtool_cmd_verify(dir.file("v.bin").c_str(), 0x2000); }), 1);
    g_unattended_ready_limit_ms = 0;
    EXPECT_NE(out.find("The touch controller did not enter update mode.\n"), std::string::npos) << out;
    EXPECT_EQ(run_reason_class(), RUN_CLASS_NEVER_READY);  // its hint: a power cycle
    EXPECT_EQ(kd->mode_requests(), std::vector<uint8_t>{MODE_UPDATE});  // no reset request
    EXPECT_EQ(kd->check_commands(), 0);
  }
}

TEST_F(Verify, SectorEraseClearsTheSectorAt0x2000Only) {
  const Bytes flash = make_image(0x20000, 8);
  bring_up(BOARD_CP2112, {}, flash);
  EXPECT_EQ(captured([] { return kdtool_cmd_erase(); }), 0);
  EXPECT_EQ(out, "protection unlock complete\nSector erase complete\n");
  Bytes want = flash;
  std::fill_n(want.begin() + 0x2000, VirtualKd63507::kIspSectorSize, 0xFF);
  EXPECT_EQ(Bytes(kd->flash().begin(), kd->flash().end()), want);
  EXPECT_EQ(chip->smbus.bit_rate, 100000u);
  EXPECT_TRUE(kd->in_isp_mode());
}

// A controller that stores one unit wrong without a word: procedures A and
// B1 check nothing themselves, so only the verify after the last unit
// catches it, and the run ends without the reset request.
TEST_F(Verify, UpdateWithVerifyCatchesASilentlyCorruptedUnit) {
  const Bytes image = make_image(IMAGE_SIZE, 12);
  const struct {
    int8_t board;
    bool unit_4k;
    std::vector<uint32_t> corrupt;
    std::string verdict;
  } cases[] = {
      // Two bad units: the verify stops at the first.
      {BOARD_CP2112, false, {0x4080, 0x4100}, "\nVerify FAILED at 0x04080\nFlash Writing Fail!!!\n"},
      {BOARD_HIDBOARD, false, {0x4000}, "\nVerify FAILED at 0x04000\nFlash Writing Fail!!!\n"},
      {BOARD_HIDBOARD, true, {}, "127K\n\\[.{8}\\] verify End!!!\nVerify OK\nFlash Writing Complete!!!\n"},
  };
  g_verify_after_write = true;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.verdict);
    reset_globals();
    VirtualKd63507 controller({.unit_4k = c.unit_4k, .check_failures = {}, .corrupt_units = c.corrupt});
    direct_bridge_bind(&controller);
    emul_board = c.board;
    Download_Mode = 1;
    BinaryBuffer = const_cast<uint8_t*>(image.data());
    KeyboardPipe keys;
    keys.press("x");
    captured([] { return emulboard_cp2112_program_to_flash_using_iapmode_Customer(); });
    EXPECT_TRUE(std::regex_search(out, std::regex(c.verdict))) << out.substr(out.size() - 300);
    const bool good = c.corrupt.empty();
    EXPECT_EQ(g_update_outcome, good ? UPDATE_WRITTEN : UPDATE_FAILED);
    EXPECT_EQ(controller.reset_requests(), good ? 1 : 0);
    if (!good) {
      EXPECT_EQ(controller.check_commands(), static_cast<int>((c.corrupt[0] - 0x4000) / 128 + 1));  // stops there
    }
    EXPECT_EQ(controller.protocol_violations(), 0);
  }
  g_verify_after_write = false;
}

}  // namespace
