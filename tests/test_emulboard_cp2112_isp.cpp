// ISP-mode dump and program over the virtual CP2112 against the virtual
// controller's ISP side: round trips, the exact frames of a block, the
// refusals and every bounded status poll.
#include "bridge/cp2112/emulboard_cp2112_isp.h"

#include "app/flash_commands.h"
#include "app/reset.h"
#include "bridge/cp2112/kd63507_isp_codes.h"
#include "support_isp.h"

#include <filesystem>
#include <regex>

using namespace test_support;

namespace {

using Bytes = std::vector<uint8_t>;

class Isp : public FlashRig {
 protected:
  void TearDown() override {
    if (chip) {
      EXPECT_EQ(chip->violations(), 0);
    }
    FlashRig::TearDown();
  }
};

TEST_F(Isp, DumpReadsTheWholeFlashAndAPowerOffEndsIspMode) {
  const Bytes flash = make_image(0x20000, 3);
  bring_up(BOARD_CP2112, {}, flash);
  EXPECT_EQ(captured([&] { return kdtool_cmd_dump(dir.file("dump.bin").c_str()); }), 0);
  EXPECT_EQ(read_file(dir.file("dump.bin")), flash);
  std::string progress;
  for (int k = 0; k < 128; ++k) progress += std::to_string(k) + "K\n";
  // The path as it stands (a Windows path holds backslashes), the rest as a pattern.
  const std::string head = "Upload Filename = " + dir.file("dump.bin") + "\n";
  ASSERT_EQ(out.rfind(head, 0), 0u) << out;
  EXPECT_TRUE(std::regex_match(out.substr(head.size()),
                               std::regex("\\[\\d\\d:\\d\\d:\\d\\d\\] Upload Start!!!\n" + progress +
                                          "\\[\\d\\d:\\d\\d:\\d\\d\\] Upload End!!!\n")))
      << out;
  EXPECT_EQ(chip->smbus.bit_rate, 400000u);
  EXPECT_TRUE(kd->in_isp_mode());
  ASSERT_EQ(emulboard_cp2112_init(), 1);  // the bring-up drives chip enable low
  EXPECT_FALSE(kd->in_isp_mode());
}

// A reset ends what a failed update leaves behind (update mode) on either
// bridge, and what a dump leaves (ISP mode) on the CP2112, and reads the
// versions once the controller is back.
TEST_F(Isp, AResetEndsUpdateModeAndIspModeOnEitherBridge) {
  struct Case {
    int8_t board;
    bool dump;
  };
  std::vector<uint8_t> image = make_image();
  for (const Case c : {Case{BOARD_CP2112, false}, Case{BOARD_HIDBOARD, false}, Case{BOARD_CP2112, true}}) {
    SCOPED_TRACE(std::to_string(c.board) + (c.dump ? " dump" : " update"));
    // The first 4 KiB unit (ending at 20 KiB) fails every check.
    bring_up(c.board, {.versions = {0x0001, 0x0101, 0x0003, 0x0010}, .check_failures = {{20, IAP_MAX_ATTEMPTS}}});
    if (c.dump) {
      EXPECT_EQ(captured([&] { return kdtool_cmd_dump(dir.file("dump.bin").c_str(), 0, 0x400); }), 0);
      EXPECT_TRUE(kd->in_isp_mode());
    } else {
      Download_Mode = 1;
      BinaryBuffer = image.data();
      g_exit_key_waits = false;
      // The CP2112's 128-byte units are not checked: once in update mode the
      // controller takes no command and its status cannot be read instead.
      if (c.board == BOARD_CP2112) {
        hooked->refuse = [this](bool read, uint16_t reg, size_t) {
          return kd->in_update_mode() && (read ? reg == REG_STATUS : reg == REG_IAP_COMMAND);
        };
      }
      captured([&] { return emulboard_cp2112_program_to_flash_using_iapmode_Customer(); });
      hooked->refuse = nullptr;
      g_exit_key_waits = true;
      BinaryBuffer = nullptr;
      EXPECT_EQ(g_update_outcome, UPDATE_FAILED) << out;
      EXPECT_TRUE(kd->in_update_mode());
    }
    ControllerVersions versions;
    std::string reason;
    EXPECT_TRUE(target_reset(&versions, &reason)) << reason;
    EXPECT_FALSE(kd->in_update_mode());
    EXPECT_FALSE(kd->in_isp_mode());
    EXPECT_EQ(controller_version_text(versions.core) + controller_version_text(versions.app) +
                  controller_version_text(versions.para),
              "01.0100.0300.10");
  }
}
}  // namespace

namespace {

// A register word frame: register high byte first, value most significant byte first.
Bytes frame(uint16_t reg, uint32_t value) {
  return {static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg), static_cast<uint8_t>(value >> 24),
          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

TEST_F(Isp, ProgramThenDumpGivesTheFileBackWithAPartialBlockFilledErased) {
  for (const uint32_t size : {130u, 0x20000u}) {
    SCOPED_TRACE(size);
    bring_up(BOARD_CP2112, {}, make_image(0x20000, 9));  // not erased: the mass erase must clear it
    const Bytes file = make_image(size, 4);
    write_file(dir.file("in.bin"), file);
    EXPECT_EQ(captured([&] { return kdtool_cmd_program(dir.file("in.bin").c_str()); }), 0);
    EXPECT_EQ(chip->smbus.bit_rate, 400000u);
    EXPECT_NE(out.find("filesize = " + std::to_string(size) + "\nprotection unlock complete\nMass erase complete\n0K\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(size > 1024 ? "\n127K\n[" : "\n0K\n["), std::string::npos);
    EXPECT_EQ(captured([&] { return kdtool_cmd_dump(dir.file("out.bin").c_str()); }), 0);
    Bytes expected(0x20000, 0xFF);
    std::copy(file.begin(), file.end(), expected.begin());
    EXPECT_EQ(read_file(dir.file("out.bin")), expected);
  }
}

TEST_F(Isp, OneBlockIsSentAsTheExactFramesBeforeItsPoll) {
  bring_up();
  Bytes file(128);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i);  // word k: 4k+3 4k+2 4k+1 4k on the wire
  write_file(dir.file("in.bin"), file);
  kd->clear_transfers();
  EXPECT_EQ(captured([&] { return kdtool_cmd_program(dir.file("in.bin").c_str()); }), 0);
  const IspAccessCodes& codes = ISP_ACCESS_CODES;
  std::vector<Bytes> want;
  for (uint32_t code : codes.entry_codes) want.push_back(frame(codes.entry_register, code));
  for (uint32_t word : codes.unlock_words) want.push_back(frame(0x0004, word));
  for (auto [reg, value] : {std::pair<uint16_t, uint32_t>{0x000C, 0x20}, {0x001C, 0x80}, {0x0018, 0x100},
                            {0x00D0, codes.protection_setup}, {0x0014, 0x0C}, {0x0028, codes.protection_setting},
                            {0x0010, 0x80000041}, {0x000C, 0x20}, {0x000C, 0x60}, {0x0018, 0}, {0x0018, 1},
                            {0x0010, 0x1044}, {0x000C, 0x60}}) {
    want.push_back(frame(reg, value));
  }
  const size_t block_start = want.size();
  for (auto [reg, value] : {std::pair<uint16_t, uint32_t>{0x000C, 0x60}, {0x0018, 0}, {0x0018, 4}, {0x001C, 0x1F},
                            {0x0014, 0}}) {
    want.push_back(frame(reg, value));
  }
  for (uint32_t k = 0; k < 32; ++k) {
    want.push_back(frame(k == 0 ? 0x0028 : static_cast<uint16_t>(0x0100 + 4 * (k - 1)),
                         (4 * k + 3) << 24 | (4 * k + 2) << 16 | (4 * k + 1) << 8 | 4 * k));
  }
  want.push_back(frame(0x0010, 0x1041));
  ASSERT_EQ(want.size() - block_start, 38u);
  want.push_back(frame(0x000C, 0x60));
  std::vector<Bytes> got;
  size_t command_at = 0;
  const auto& transfers = kd->transfers();
  for (size_t i = 0; i < transfers.size(); ++i) {
    if (transfers[i].read || transfers[i].bytes.size() != 6) continue;
    got.push_back(transfers[i].bytes);
    if (transfers[i].bytes == frame(0x0010, 0x1041)) command_at = i;
  }
  EXPECT_EQ(got, want);
  ASSERT_LT(command_at + 2, transfers.size());  // then the poll: address 0x000C, a 4-byte read
  EXPECT_EQ(transfers[command_at + 1].bytes, (Bytes{0x00, 0x0C}));
  EXPECT_TRUE(transfers[command_at + 2].read);
  EXPECT_EQ(transfers[command_at + 2].bytes.size(), 4u);
  EXPECT_EQ(Bytes(kd->flash().begin(), kd->flash().begin() + 128), file);
}

TEST_F(Isp, UnusableFilesAndTheWrongBridgeAreRefusedBeforeAnythingIsSent) {
  write_file(dir.file("empty.bin"), {});
  write_file(dir.file("big.bin"), Bytes(0x20001, 0));
  const std::string missing = dir.file("missing.bin");
  const struct {
    std::function<int()> command;
    int exit;
    std::string text;
  } cases[] = {
      {[&] { return kdtool_cmd_program(dir.file("empty.bin").c_str()); }, 2, "filesize = 0\nNothing to program: the file is empty.\n"},
      {[&] { return kdtool_cmd_program(dir.file("big.bin").c_str()); }, 2, "larger than the flash (0x20000 bytes).\n"},
      {[&] { return kdtool_cmd_program(missing.c_str()); }, 2, "Can not find Filename = " + missing + "\n"},
      {[&] { return kdtool_cmd_dump((missing + "/dump.bin").c_str()); }, 2, "Can not Open File(dump.bin)["},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    bring_up(BOARD_CP2112, {}, make_image(0x20000, 2));
    kd->clear_transfers();
    EXPECT_EQ(captured(c.command), c.exit);
    EXPECT_NE(out.find(c.text), std::string::npos) << out;
    EXPECT_TRUE(kd->transfers().empty());
    EXPECT_FALSE(kd->in_isp_mode());
    EXPECT_EQ(Bytes(kd->flash().begin(), kd->flash().end()), make_image(0x20000, 2));
  }
  bring_up(BOARD_HIDBOARD);
  write_file(dir.file("in.bin"), Bytes(128, 0));
  for (const auto& command : std::vector<std::function<int()>>{
           [&] { return kdtool_cmd_dump(dir.file("out.bin").c_str()); },
           [&] { return kdtool_cmd_program(dir.file("in.bin").c_str()); }, [] { return kdtool_cmd_erase(); }}) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(command(), 3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "kdtool: this command needs a CP2112 bridge; the bridge in use is the custom board.\n");
  }
}

// Every status poll ends: a completion bit that never comes, a controller
// that refuses to program while protected, status reads that stop succeeding
// (a stale buffer holding 0x40 must not count), Ctrl+C.
TEST_F(Isp, EveryStatusPollHasAWayOut) {
  write_file(dir.file("in.bin"), make_image(256, 5));
  const std::string in = dir.file("in.bin"), dump = dir.file("dump.bin");
  const auto program = [&] { return kdtool_cmd_program(in.c_str()); };
  const auto dumping = [&] { return kdtool_cmd_dump(dump.c_str()); };
  const struct {
    std::function<int()> command;
    std::vector<uint32_t> stuck;
    std::function<void()> fault;
    std::string text;
    std::function<bool()> check = [] { return true; };
  } cases[] = {
      {program, {0x80000041}, nullptr, "Protection unlock: the controller did not report completion (status bit 0x20"},
      {program, {0x1044}, nullptr, "Mass erase: the controller did not report completion (status bit 0x40"},
      {program, {0x1041}, nullptr, "Program of block 0x00000: the controller did not report completion"},
      {dumping, {0x1048}, nullptr, "Read of flash word 0x00000: the controller did not report completion"},
      {[] { return kdtool_cmd_erase(); }, {0x1042}, nullptr, "Sector erase: the controller did not report completion"},
      {program, {},
       [this] {  // a wrong protection code: the unlock runs, the flash stays protected
         rewriter->edit = [](Bytes& b) { if (b.size() == 6 && b[0] == 0x00 && b[1] == 0xD0) b[5] ^= 1; };
       },
       "protection unlock complete\nMass erase: the controller did not report completion",
       [this] { return kd->isp_protected() && kd->isp_refused_commands() == 1; }},
      {dumping, {},
       [this] {
         hooked->refuse = [n = 0](bool read, uint16_t reg, size_t) mutable { return read && reg == 0x000C && ++n > 6; };
       },
       "Read of flash word 0x0000C: no status read succeeded; the bridge or the controller does not answer.\n",
       [&] { return !std::filesystem::exists(dump); }},  // a failed dump makes no file
      {program, {}, [] { gloop = 0; }, "Protection unlock: stopped.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    bring_up(BOARD_CP2112, {.check_failures = {}, .isp_stuck_commands = c.stuck});
    if (c.fault) c.fault();
    EXPECT_EQ(captured(c.command), 1);
    EXPECT_NE(out.find(c.text), std::string::npos) << out;
    EXPECT_EQ(out.find("complete\n0K"), std::string::npos);  // stopped at the first block that failed
    EXPECT_EQ(out.find("Sector erase complete"), std::string::npos);
    EXPECT_TRUE(c.check());
  }
}

// Frames the controller refuses (NACK), though the CP2112 takes every write
// report: a single refusal is sent again and the result is exact; one that
// lasts ends the step with a line naming it. Frames per word of the dump to
// 0x000C: the clear, two poll addresses, the clear after.
TEST_F(Isp, RefusedFramesAreSentAgainAndALastingRefusalFailsNamingTheStep) {
  const Bytes flash = make_image(0x20000, 31), file = make_image(256, 32);
  write_file(dir.file("in.bin"), file);
  const std::string dump = dir.file("dump.bin");
  const struct {
    bool program;
    Kd63507Config::IspNack nack;
    std::string says;  // empty: the run succeeds
  } cases[] = {
      {true, {0x0104, 2, 1}, ""},   // data word 2 of block 0x80
      {false, {0x0014, 3, 1}, ""},  // the address of word 0x00008
      {false, {0x000C, 6, 1}, ""},  // the poll address of word 0x00004
      {false, {0x0030, 2, 1}, ""},  // the data address of word 0x00004
      {true, {0x0104, 2, 100}, "Program of block 0x00080: the controller refused the frame to register 0x0104 (3 attempts).\n"},
      {false, {0x0010, 3, 100}, "Read of flash word 0x00004: the controller refused the frame to register 0x0010 (3 attempts).\n"},
      {false, {0x000C, 6, 1000000}, "Read of flash word 0x00004: no status read succeeded"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.nack.reg) + " " + std::to_string(c.nack.count));
    bring_up(BOARD_CP2112, {}, flash);
    kd->config().isp_nack = c.nack;
    const int exit = captured([&] { return c.program ? kdtool_cmd_program(dir.file("in.bin").c_str()) : kdtool_cmd_dump(dump.c_str()); });
    EXPECT_GT(kd->isp_nacked_frames(), 0);
    EXPECT_EQ(exit, c.says.empty() ? 0 : 1) << out;
    EXPECT_EQ(out.find(c.says) != std::string::npos, true) << out;
    if (!c.program) {
      // A failed dump leaves the whole one of the case before as it was.
      EXPECT_EQ(read_file(dump), flash);
    } else {
      Bytes want(0x20000, 0xFF);
      std::copy(file.begin(), file.begin() + (c.says.empty() ? 256 : 128), want.begin());
      EXPECT_EQ(Bytes(kd->flash().begin(), kd->flash().end()), want);
    }
  }
}

// A frame that keeps the bridge busy: each attempt is cancelled once the
// write timeout (100 ms) has passed, so the next goes to an idle bridge, and
// the line says what happened.
TEST_F(Isp, AFrameThatKeepsTheBridgeBusyIsCancelledBeforeItGoesAgain) {
  bring_up();
  write_file(dir.file("in.bin"), make_image(128, 34));
  chip->busy_status = -1;
  EXPECT_EQ(captured([&] { return kdtool_cmd_program(dir.file("in.bin").c_str()); }), 1);
  EXPECT_NE(out.find("Protection unlock: the bridge was still busy with the frame to register 0x000C when its write "
                     "timeout ran out; the transfer was cancelled (3 attempts).\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(chip->cancels(), 3);
  const auto& frames = kd->transfers();
  const IspAccessCodes& codes = ISP_ACCESS_CODES;
  // The entry sequence, then the first judged frame three times.
  EXPECT_EQ(std::count_if(frames.begin(), frames.end(), [](const auto& t) { return !t.read && t.bytes.size() == 6; }),
            static_cast<long>(std::size(codes.entry_codes) + std::size(codes.unlock_words) + 3));
}

// The bridge is pulled out in the middle of a block: the block ends at the
// first frame that does not go out, with one line, and nothing more is sent.
TEST_F(Isp, ABridgeGoneMidBlockEndsTheBlockAtOnce) {
  bring_up();
  const Bytes file = make_image(256, 33);
  write_file(dir.file("in.bin"), file);
  int seen = 0;
  rewriter->edit = [&](Bytes& b) {
    if (b.size() == 6 && b[0] == 0x01 && b[1] == 0x10 && ++seen == 2) chip->unplug_after(0);
  };
  EXPECT_EQ(captured([&] { return kdtool_cmd_program(dir.file("in.bin").c_str()); }), 1);
  const std::string line = "Program of block 0x00080: the frame to register 0x0110 did not reach the bridge.\n";
  EXPECT_NE(out.find(line), std::string::npos) << out;
  EXPECT_EQ(out.find("did not reach"), out.rfind("did not reach"));
  Bytes want(0x20000, 0xFF);
  std::copy(file.begin(), file.begin() + 128, want.begin());
  EXPECT_EQ(Bytes(kd->flash().begin(), kd->flash().end()), want);
}

}  // namespace
