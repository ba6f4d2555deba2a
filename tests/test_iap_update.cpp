// The unit checksum, and the update against the virtual controller: the wire
// bytes, procedure A, and every way a run can stop early, colours included.
#include "support_process.h"
#include "support_update.h"

#include "app/run_outcome.h"

#ifndef _WIN32
#include <pty.h>
#endif

#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>
#include <random>
#include <regex>

using namespace test_support;

namespace {

using Bytes = std::vector<uint8_t>;

uint16_t bitwise_crc16(uint16_t crc, const Bytes& bytes) {
  for (uint8_t byte : bytes) {
    crc ^= static_cast<uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit) crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x8005 : crc << 1);
  }
  return crc;
}

TEST(Crc16, TableWordRoutineAndUnitChecksum) {
  ASSERT_EQ(bitwise_crc16(0, {'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0xFEE8);  // the reference is CRC-16/UMTS
  for (unsigned i = 0; i < 256; ++i) EXPECT_EQ(CRC16Lut[i], bitwise_crc16(0, {static_cast<uint8_t>(i)})) << i;
  // 11 22 33 44 55 66 77 88: the even lane is fed 22 11 66 55, the odd lane 44 33 88 77.
  const uint16_t words[] = {0x2211, 0x4433, 0x6655, 0x8877};
  EXPECT_EQ(Crc16WordCalc(words, 0, 0x1234), 0x1234);
  EXPECT_EQ(Crc16WordCalc(words, 4, 0), 0xFCA0);
  EXPECT_EQ(Crc16WordCalc(words, 3, 0), 0xFCA0);  // every second word below the count
  EXPECT_EQ(Crc16WordCalc(words + 1, 4, 0), 0x62DA);
  EXPECT_EQ(Crc16WordCalc(words + 2, 2, Crc16WordCalc(words, 2, 0)), 0xFCA0);  // the seed carries on
  const uint8_t eight[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  EXPECT_EQ(iap_unit_checksum(eight, 8), 0x9D25035Fu);
  EXPECT_EQ(iap_unit_checksum(Bytes(4096, 0x00).data(), 4096), 0xFFFFFFFFu);
  EXPECT_EQ(iap_unit_checksum(Bytes(4096, 0xFF).data(), 4096), 0x7DFA7DFAu);
  // Random units against the definition: two lanes of little-endian words, high byte first.
  std::mt19937 rng(20240611);
  for (uint32_t length : {4u, 8u, 128u, 1020u, 4096u}) {
    for (int round = 0; round < 20; ++round) {
      Bytes unit(length), lane[2];
      for (uint8_t& byte : unit) byte = static_cast<uint8_t>(rng());
      for (uint32_t w = 0; w < length / 2; ++w) {
        lane[w % 2].push_back(unit[2 * w + 1]);
        lane[w % 2].push_back(unit[2 * w]);
      }
      const uint32_t sum = ~(static_cast<uint32_t>(bitwise_crc16(0, lane[1])) << 16 | bitwise_crc16(0, lane[0]));
      EXPECT_EQ(iap_unit_checksum(unit.data(), length), sum) << "length " << length;
    }
  }
}

const std::string kFailureEnding =
    "Flash Writing Fail!!!\nPlease check the status of device and try again...\nPlease press any key exit!!!\n";

// A register write: the register high byte first, then `data`, then `words`
// little-endian, four bytes each.
Bytes reg_write(uint32_t reg, const Bytes& data, std::initializer_list<uint32_t> words = {}) {
  Bytes out{static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg)};
  for (uint8_t byte : data) out.push_back(byte);
  for (uint32_t word : words) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(word >> 8 * i));
  }
  return out;
}

enum Procedure { kA, kB1, kB2 };

// Every data-carrying write of a whole update, in order. `full`: a TCIP
// controller whose log control block reads 0F 00 00 80 01.
std::vector<Bytes> expected_writes(Procedure procedure, const Bytes& image, bool full) {
  std::vector<Bytes> writes;
  if (full) writes = {{0x10, 0x10, 0x0F, 0x00, 0x00, 0x80, 0x00}, {0x06, 0x10, 0x02}};
  if (procedure != kA) writes.push_back(reg_write(0x1400, {}, {0, 8u << 24}));  // unit query
  const uint32_t unit = procedure == kB2 ? 4096 : 128, chunk = procedure == kA ? 16 : procedure == kB1 ? 32 : 48;
  for (uint32_t start = IAP_IMAGE_BASE; start < IAP_IMAGE_BASE + IMAGE_SIZE; start += unit) {
    const auto data = image.begin() + (start - IAP_IMAGE_BASE);
    for (uint32_t off = 0; off < unit; off += chunk) {  // 4 KiB: 85 chunks of 48, a 16-byte tail at 0x6FF0
      writes.push_back(reg_write(0x6000 + off, Bytes(data + off, data + std::min(off + chunk, unit))));
    }
    writes.push_back(reg_write(0x1400, {}, {start, unit | 3u << 24}));  // program: address, length, result 0, 3
    if (procedure != kB2) continue;
    writes.push_back(reg_write(0x6000, {}, {kd63507_unit_checksum(&*data, unit)}));
    writes.push_back(reg_write(0x1400, {}, {start, unit | 5u << 24}));  // check
  }
  writes.push_back({0x06, 0x10, 0x11});
  return writes;
}

class Update : public ::testing::Test {
 protected:
  void TearDown() override {
    std::signal(SIGINT, SIG_DFL);
    if (kd) {
      EXPECT_EQ(kd->protocol_violations(), 0);
    }
  }

  // A fresh controller behind the hooked bridge, set for `procedure`: A on
  // the CP2112, B1 and B2 on the custom board by the unit size.
  void bind(Procedure procedure = kB2, Kd63507Config config = {}) {
    if (kd) {
      EXPECT_EQ(kd->protocol_violations(), 0);
    }
    reset_globals();
    config.unit_4k = procedure == kB2;
    kd = std::make_unique<VirtualKd63507>(std::move(config));
    hooked = std::make_unique<HookedTarget>(*kd);
    Download_Mode = 1;
    BinaryBuffer = image.data();
    emul_board = procedure == kA ? BOARD_CP2112 : BOARD_HIDBOARD;
    direct_bridge_bind(hooked.get());
  }
  // Runs the update with stdout on a terminal: `screen` gets what it shows,
  // `out` the same text without colours.
  uint8_t run() {
#ifdef _WIN32
    // No terminal to show colours on: the text alone.
    testing::internal::CaptureStdout();
    const uint8_t result = emulboard_cp2112_program_to_flash_using_iapmode_Customer();
    std::fflush(stdout);
    screen = testing::internal::GetCapturedStdout();
#else
    int terminal = -1, screen_fd = -1;
    EXPECT_EQ(openpty(&terminal, &screen_fd, nullptr, nullptr, nullptr), 0);
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(screen_fd, STDOUT_FILENO);
    const uint8_t result = emulboard_cp2112_program_to_flash_using_iapmode_Customer();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    for (int fd : {saved, screen_fd}) close(fd);
    screen = read_all_fd(terminal);
    close(terminal);
#endif
    std::erase(screen, '\r');
    out = std::regex_replace(screen, std::regex("\x1b\\[[0-9;]*m"), "");
    return result;
  }
  std::vector<Bytes> data_writes() const {
    std::vector<Bytes> writes;
    for (const auto& t : kd->transfers()) {
      if (!t.read && t.bytes.size() > 2) writes.push_back(t.bytes);
    }
    return writes;
  }
  // The controller's pauses, as lower bounds: procedure A gives it 2 ms after
  // each chunk, procedure B 1 ms before each program command and the unit
  // query. Returns how many transfers came too early.
  int too_early(Procedure procedure) const {
    using std::chrono::milliseconds;
    const auto& t = kd->transfers();
    int early = 0;
    for (size_t i = 1; i < t.size(); ++i) {
      const Bytes& prev = t[i - 1].bytes;
      const Bytes& cur = t[i].bytes;
      const auto gap = t[i].at - t[i - 1].at;
      const bool chunk = !t[i - 1].read && prev.size() > 2 && (prev[0] & 0xF0) == 0x60;
      const bool command = !t[i].read && cur.size() == 10 && cur[0] == 0x14 && (cur[9] == 3 || cur[9] == 8);
      if (procedure == kA && chunk && gap < milliseconds(2)) ++early;
      if (procedure != kA && command && gap < milliseconds(1)) ++early;
    }
    return early;
  }
  bool flash_holds_image() const {
    const auto& flash = kd->flash();
    return std::all_of(flash.begin(), flash.begin() + IAP_IMAGE_BASE, [](uint8_t b) { return b == 0xFF; }) &&
           std::equal(image.begin(), image.end(), flash.begin() + IAP_IMAGE_BASE);
  }
  // The run ended with `ending`, sent no reset request, and claimed a
  // written image exactly when the flash holds it.
  void expect_ending(UpdateOutcome outcome, const std::string& ending = kFailureEnding) const {
    EXPECT_EQ(g_update_outcome, outcome);
    EXPECT_TRUE(out.ends_with(ending)) << out;
    EXPECT_EQ(out.find("Flash Writing Complete!!!") != std::string::npos, flash_holds_image());
    EXPECT_EQ(kd->reset_requests(), 0);
  }

  KeyboardPipe keyboard;
  Bytes image = make_image(IMAGE_SIZE, 0x5EED);
  std::unique_ptr<VirtualKd63507> kd;
  std::unique_ptr<HookedTarget> hooked;
  std::string screen, out;
};

// Procedure A paces its chunks 2 ms apart (about 14 s), so each run checks everything at once. A controller
// that does not speak the full interface (a bootloader, a name only starting with TCIP) gets no log or mode request.
TEST_F(Update, EachProcedureWritesTheWholeImageInItsChunks) {
  const std::pair<Procedure, std::string> cases[] = {
      {kA, "TCIP"}, {kB1, "TCIP"}, {kB2, "TCIP"}, {kB2, "DFUP"}, {kB2, "TCIPX"}};
  for (const auto& [procedure, protocol] : cases) {
    SCOPED_TRACE((procedure == kA ? "A " : procedure == kB1 ? "B1 " : "B2 ") + protocol);
    bind(procedure, {.protocol = protocol, .check_failures = {}});
    const uint8_t log_on[5] = {0x0F, 0x00, 0x00, 0x80, 0x01};  // only its enable byte is cleared
    std::copy(log_on, log_on + 5, kd->registers().begin() + REG_LOG_CTRL);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(g_update_outcome, UPDATE_WRITTEN);
    EXPECT_TRUE(flash_holds_image());
    EXPECT_EQ(FLASH_4KB_UPDATE_MODE, procedure == kB2 ? 1u : 0u);
    const auto writes = data_writes(), want = expected_writes(procedure, image, protocol == "TCIP");
    const auto diff = std::mismatch(writes.begin(), writes.end(), want.begin(), want.end());
    EXPECT_TRUE(diff.first == writes.end() && diff.second == want.end()) << "write " << diff.first - writes.begin();
    for (const Bytes& write : writes) ASSERT_LE(write.size(), 60u);
    EXPECT_EQ(too_early(procedure), 0);
    if (procedure != kA) continue;  // its stdout; the custom board's runs are checked end to end
    std::string progress;
    for (int k = 16; k <= 127; ++k) progress += std::to_string(k) + "K\n";
    EXPECT_EQ(out, "\n[Current FW Version CORE/APP/PARA]: 00.00 / 00.00 / 00.00\n[Release FW Version CORE/APP/PARA]: "
                   "01.02 / 00.03 / 00.10\n\nFW Version : DIFFERENT\nFIRMWARE AUTO UPDATE START!!!\nDownload Start!!!\n"
                   "filesize = 114688\n" + progress + "Flash Writing Complete!!!\nPlease press any key exit!!!\n");
  }
}

TEST_F(Update, SameVersionsReturnOneAndWriteNothing) {
  bind(kB2, {.versions = {0x0001, 0x0102, 0x0003, 0x0010}, .check_failures = {}});
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(g_update_outcome, UPDATE_SAME_VERSION);
  EXPECT_TRUE(data_writes().empty());
}

// Units failing their check are written again: the count restarts for every
// unit, and the fifth failure of one unit ends the update, in colour.
TEST_F(Update, RetriesCountPerUnitAndTheFifthFailureEndsTheUpdate) {
  bind();
  kd->config().check_failures = {{64, 1}, {68, 1}};
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(g_update_outcome, UPDATE_WRITTEN);
  EXPECT_NE(out.find("64KB Flash Write Error : Retry... ( 1/5 )\n64KB Complete..\n"
                     "68KB Flash Write Error : Retry... ( 1/5 )\n68KB Complete..\n"),
            std::string::npos);
  bind();
  kd->config().check_failures = {{20, 5}};
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(kd->program_commands(), 5);  // five attempts, not six
  expect_ending(UPDATE_FAILED);
  EXPECT_TRUE(kd->in_update_mode());
#ifndef _WIN32
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
#endif
}

// One transfer of the update is not acknowledged: the update stops there.
TEST_F(Update, AFailedReadOrWriteAtAnyStepTakesTheFailureEnding) {
  struct Case {
    const char* name;
    bool read;
    uint16_t reg;  // a write's first register, or a read's
    int nth;       // occurrence of such a read, or of such a write carrying data
    int programs;  // program commands carried out before it
    Procedure procedure = kB2;
  };
  const Case cases[] = {
      {"interface read", true, 0x0150, 1, 0},      {"version read", true, 0x0120, 1, 0},
      {"log control read", true, 0x1010, 1, 0},    {"log control write", false, 0x1010, 1, 0},
      {"mode request", false, 0x0610, 1, 0},       {"unit query", false, 0x1400, 1, 0},
      {"unit size read", true, 0x1400, 1, 0},      {"B2 chunk", false, 0x6030, 2, 1},
      {"program command", false, 0x1400, 4, 1},    {"checksum write", false, 0x6000, 2, 1},
      {"check command", false, 0x1400, 3, 1},      {"check result read", true, 0x1400, 2, 1},
      {"A chunk", false, 0x6010, 3, 2, kA},        {"B1 chunk", false, 0x6020, 3, 2, kB1},
      {"reset request", false, 0x0610, 2, 28}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bind(c.procedure);
    int seen = 0;
    hooked->refuse = [&](bool read, uint16_t reg, size_t length) {
      return read == c.read && reg == c.reg && (read || length > 2) && ++seen == c.nth;
    };
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(kd->program_commands(), c.programs);
    // The image is in flash but the controller never got the reset request.
    expect_ending(UPDATE_FAILED, c.programs < 28 ? kFailureEnding : "Flash Writing Complete!!!\nDevice Reset Request "
                  "Fail!!!\nPlease check the status of device and try again...\nPlease press any key exit!!!\n");
  }
}

// Ctrl+C or the space bar while the controller works on program command
// `programs` (or on the update-mode request): the update waits until the
// controller is done (a second Ctrl+C stops waiting), then writes nothing
// more and sends no reset request, so the power never goes while it is busy.
TEST_F(Update, InterruptionsFinishTheCommandInProgressAndNoFurtherUnit) {
  struct Case {
    const char* name;
    Procedure procedure;
    int programs;
    const char* keys;  // nullptr: Ctrl+C
    bool second_ctrl_c = false;
    bool at_mode_request = false;
  };
  const Case cases[] = {{"Ctrl+C, A", kA, 3, nullptr},
                        {"Ctrl+C, B2", kB2, 3, nullptr},
                        {"the space bar, B1", kB1, 2, " "},
                        {"a second Ctrl+C stops the wait", kB2, 2, nullptr, true},
                        {"Ctrl+C before the writing: no log or mode request", kB2, 0, nullptr},
                        {"Ctrl+C during the update-mode request", kB2, 0, nullptr, false, true},
                        {"the space bar during the update-mode request", kA, 0, " ", false, true}};
  const std::string waiting = "Waiting for the touch controller to finish the command in progress (up to 10 s)...\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bind(c.procedure, {.busy_reads = 20, .check_failures = {}});
    ASSERT_NE(std::signal(SIGINT, signal_handler), SIG_ERR);
    int program_writes = 0, since = -1;  // since: transfers after the interruption
    hooked->after = [&] {
      const Bytes& last = kd->transfers().back().bytes;
      const bool program = last.size() == 10 && last[0] == 0x14 && last[9] == 3;
      const bool mode_request = last == Bytes{0x06, 0x10, 0x02};
      if (program) ++program_writes;
      if (since >= 0) {
        if (++since == 10 && c.second_ctrl_c) press_ctrl_c();
        return;
      }
      if (c.at_mode_request ? !mode_request : c.programs != 0 && !(program && program_writes == c.programs)) return;
      since = 0;
      kd->config().never_ready = c.second_ctrl_c;
      c.keys != nullptr ? keyboard.press(c.keys) : (void)press_ctrl_c();
    };
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(kd->busy(), c.second_ctrl_c);
    const bool waits = c.programs > 0 || c.at_mode_request;
    EXPECT_EQ(kd->in_update_mode(), waits);
    kd->powered_off();  // as the entry does next: a violation while busy (TearDown)
    EXPECT_EQ(program_writes, c.programs);
    EXPECT_EQ(kd->program_commands(), c.second_ctrl_c ? c.programs - 1 : c.programs);
    EXPECT_EQ(data_writes().empty(), !waits);
    const std::string unfinished = "The touch controller did not report the command finished.\n";
    expect_ending(UPDATE_INTERRUPTED, (c.second_ctrl_c ? unfinished : waits ? waiting : "") + kFailureEnding);
    EXPECT_EQ(out.find(waiting) != std::string::npos, waits);
    EXPECT_EQ(out.find("\n\n[Ctrl+C] User terminated running of program.\n") != std::string::npos, !c.keys);
    // A Ctrl+C stays seen after the wait for the command in flight (the run is
    // to stop); the space bar ends only the update, not the program's run.
    EXPECT_EQ(gloop, c.keys != nullptr ? 1 : 0);
  }
}

// The reset request ends every written update: the power must not go while
// the controller restarts, neither after Ctrl+C at the closing key wait nor
// in an unattended run that has no key wait.
TEST_F(Update, TheResetIsWaitedForBeforeThePowerGoes) {
  for (const bool attended : {true, false}) {
    SCOPED_TRACE(attended ? "Ctrl+C at the key wait" : "unattended");
    bind(kB2, {.busy_reads = 20, .check_failures = {}});
    g_exit_key_waits = attended;
    ASSERT_NE(std::signal(SIGINT, signal_handler), SIG_ERR);
    hooked->after = [&] {
      if (attended && kd->transfers().back().bytes == Bytes{0x06, 0x10, 0x11}) press_ctrl_c();
    };
    EXPECT_EQ(run(), 0);
    g_exit_key_waits = true;
    kd->powered_off();  // a violation while busy (TearDown)
    EXPECT_EQ(g_update_outcome, UPDATE_WRITTEN);
    EXPECT_EQ(kd->reset_requests(), 1);
    EXPECT_FALSE(kd->in_update_mode());
    EXPECT_TRUE(out.ends_with(attended ? "Waiting for the touch controller to finish the command in progress (up to "
                                         "10 s)...\n"
                                       : "Flash Writing Complete!!!\n"))
        << out;
  }
}

// What ended a failed run is named once, by the first failure point: a
// controller that never reports ready in an unattended run is named with the
// limit in seconds, and a later reason does not replace it.
TEST_F(Update, TheFirstReasonIsKeptAndTheReadyLimitIsInSeconds) {
  bind(kB2, {.never_ready = true, .check_failures = {}});
  g_unattended_ready_limit_ms = 1000;
  g_run_reason_line = true;
  g_exit_key_waits = false;
  EXPECT_EQ(run(), 0);
  g_unattended_ready_limit_ms = 0;
  g_run_reason_line = false;
  g_exit_key_waits = true;
  const std::string reason = "the controller did not report ready within 1 s";
  EXPECT_TRUE(out.ends_with("The touch controller did not report ready within 1 s.\n" + reason +
                            "\nFlash Writing Fail!!!\nPlease check the status of device and try again...\n"))
      << out;
  run_reason_set("a later failure");
  EXPECT_EQ(run_reason_settle(), reason);
}

}  // namespace
