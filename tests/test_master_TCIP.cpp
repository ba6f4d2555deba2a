// The diagnostic console's device information, readers and run loop against
// the virtual controller, on both bridges.
#include "support_console.h"

#include <climits>
#include <filesystem>
#include <fstream>

using namespace test_support;

namespace {

constexpr Bridge kCustom = Bridge::kCustom, kCp2112 = Bridge::kCp2112;

class Diag : public ConsoleRig {
 protected:
  // A fresh controller brought up as the tools do; `init` runs master_init
  // quietly (its output is dropped).
  void start(Kd63507Config config = {}, bool init = true) {
    tPanel = {};
    tEventFormat = {};
    tImageInfo = {};
    tImageCtrl = {};
    tLogInfo = {};
    tModuleCommonConf = {};
    iFirstFrameESDPacketCnt = 0;
    bring_up(std::move(config));
    g_slave_addr = 0x34;
    emul_i2c_set_slave_addr(0, g_slave_addr);
    emul_i2c_set_speed(200000);
    emul_tkey_power_on(0);
    emul_i2c_tkey_set_ce(1);
    emul_set_intr_dir(0);
    g_master_init_quiet = true;
    if (init) output(master_init);
  }
  static std::string polls(int count) {
    return output([&] {
      for (int i = 0; i < count && gloop != 0; ++i) master_run();
    });
  }
  static void request_image(uint8_t kind) {
    tImageCtrl.ucRequest = kind;
    ASSERT_EQ(i2c_write_to(REG_IMAGE_CTRL, &kind, 1), 1);
  }
};

INSTANTIATE_TEST_SUITE_P(Bridges, Diag, ::testing::Values(kCustom, kCp2112), bridge_name);

constexpr const char* kInterface = "[Interface Informations]\n protocol name: %s\n protocol version: 01.00\n";
constexpr const char* kBuffers =
    "Buffer address: 0x2000\nBuffer address: 0x7000\ntLogCtrl.ulLogMask: 0x00000000, tLogCtrl.: 0x00000000\n";
constexpr const char* kPanel =
    "[Panel Informations]\n product name: KD63507 VIRTUAL\n resolution: 1080 x 1920\n node: 16 x 10, key: 2\n";
constexpr const char* kFormat = "Packet Format ID: 1, Packet Item Size: 9\n";
constexpr const char* kFirmware =
    "\n[Version]\n [ BOOT/ CORE/ PUBL/ CONF]\n  01.02 00.03 00.10 AB.CD\n\n[Section Address]\n"
    " BOOT:   0K ~  16K\n CORE:  16K ~  64K\n PUBL:  64K ~ 120K\n CONF: 120K ~ 128K\n";

std::string with_name(const char* name) {
  char text[200];
  std::snprintf(text, sizeof text, kInterface, name);
  return text;
}

TEST_P(Diag, MasterInitPrintsWhatTheProtocolNameCalls) {
  const struct {
    std::string protocol;
    uint16_t refused;  // register whose reads fail, 0 none
    std::string expected;
    bool keeps_running;
  } rows[] = {
      {"TCIP", 0, with_name("TCIP") + kPanel + kFormat + kBuffers, true},
      {"DFUP", 0, with_name("DFUP") + kBuffers, true},
      {"TCIPX", 0, with_name("TCIPX") + kFirmware, false},
      {"TCI", 0, with_name("TCI") + kFirmware, false},
      {"ABCDEFGH", 0, with_name("ABCDEFGH") + kFirmware, false},
      {"TCIP", 0x0100, with_name("TCIP") + "Cannot read the panel block (register 0x0100).\n" + kFormat + kBuffers,
       true},
      {"TCIP", 0x0150, "Cannot read the interface block (register 0x0150).\n", false},
  };
  for (const auto& row : rows) {
    if (row.refused != 0 && GetParam() == kCustom) continue;  // the custom board cannot tell a refused read
    Kd63507Config config;
    config.protocol = row.protocol;
    config.versions = {0x0102, 0x0003, 0x0010, 0xABCD};
    start(std::move(config), false);
    hooked->refuse = [&](bool read, uint16_t reg, size_t) { return read && reg == row.refused; };
    EXPECT_EQ(output(master_init), row.expected) << row.protocol;
    EXPECT_EQ(gloop != 0, row.keeps_running) << row.protocol;
    const bool tcip = row.protocol == "TCIP" && row.refused != 0x0150;
    EXPECT_EQ(tSetter.ucEventInterruptType, tcip ? 2 : 0) << row.protocol;
    EXPECT_EQ(tPanel.ucNodeX, tcip && row.refused == 0 ? 16 : 0) << row.protocol;
    // The replay frames take the panel's dimensions.
    EXPECT_EQ(tModuleCommonConf.aucData[36], tPanel.ucNodeX) << row.protocol;
    EXPECT_EQ(tModuleCommonConf.aucData[35], tPanel.ucNodeY) << row.protocol;
  }
}

// The names are the controller's to choose: shown escaped, in the same lines.
TEST_P(Diag, NamesTheControllerReportsAreEscaped) {
  Kd63507Config config;
  config.protocol = "T\x1b[2J\n\xff";
  config.versions = {0x0102, 0x0003, 0x0010, 0xABCD};
  start(config, false);
  EXPECT_EQ(output(master_init), with_name("T\\x1b[2J\\x0a\\xff") + kFirmware);
  config.protocol = "TCIP";
  config.diag.product = "\x1b]0;pwn\x07\x9b";
  start(config, false);
  const std::string out = output(master_init);
  EXPECT_NE(out.find("\n product name: \\x1b]0;pwn\\x07\\x9b\n"), std::string::npos) << out;
}

TEST_P(Diag, TouchPacketsPrintOneLinePerPacketByInterruptType) {
  const std::string lines =
      "[ 1]={   0, 960,  8, -1, 30,  0},\n[ 1]={ 539, 960,  8, -1, 30,  0},\n"
      "[ 1]={1079, 960,  8, -1, 30,  0},\n";
  for (uint8_t type : {0, 1, 2}) {
    Kd63507Config config;
    config.diag.touch_packets = 3;
    config.diag.event_interrupt_type = type;
    start(std::move(config));
    // Type 1 reads the INTR line, which only the CP2112 carries.
    const bool seen = type == 2 || (type == 1 && GetParam() == kCp2112);
    EXPECT_EQ(polls(5), seen ? lines : "") << int{type};
    EXPECT_EQ(kd->diag().pending_events(), seen ? 0u : 3u);
  }
}

TEST_P(Diag, EntriesOfEachFormatAndTheRefusedPackets) {
  start();
  auto item5 = [](uint8_t id) { return std::vector<uint8_t>{id, 0, id, 0, static_cast<uint8_t>(2 * id)}; };
  std::vector<uint8_t> twelve = {60};  // more items than the ten the console used to hold
  for (uint8_t id = 12; id >= 1; --id) {
    for (uint8_t b : item5(id)) twelve.push_back(b);
  }
  std::string twelve_line;
  for (int id = 1; id <= 12; ++id) {
    char entry[40];
    std::snprintf(entry, sizeof entry, "[%2d]={%4d,%4d,  0,  0},", id, id, 2 * id);
    twelve_line += entry;
  }
  const struct {
    uint16_t format;
    uint8_t size;
    std::vector<uint8_t> packet;
    std::string expected;
  } rows[] = {
      {0,
       7,
       {14, 0x81, 1, 2, 3, 4, 5, 6, 0x43, 0, 16, 0, 32, 7, 8},
       "[ 1]={ 258, 772,  5,  6}," + std::string(25, ' ') + "[ 3]={  16,  32,  7,  8},\n"},
      {0, 5, twelve, twelve_line + "\n"},
      {1, 9, {9, 0x02, 0, 0, 0, 0, 0, 0, 0, 0}, std::string(31, ' ') + "[ 2]={   0,   0,  0,  0,  0,  0},\n"},
      {1, 9, {0}, "\n"},
      {1, 9, {9, 0, 1, 1, 1, 1, 0, 0, 0, 0}, "\n"},  // identifier 0: no finger
      {1, 0, {9, 0x81, 0, 0, 0, 0, 0, 0, 0, 0}, "Event packet skipped: the packet item size is 0.\n"},
      {1,
       5,
       {5, 0x81, 0, 0, 0, 0},
       "Event packet skipped: items of 5 bytes are too short for packet format 1 (9 bytes).\n"},
      {7, 9, {9, 0x81, 0, 0, 0, 0, 0, 0, 0, 0}, "Event packet skipped: packet format 7 is unknown.\n"},
  };
  for (const auto& row : rows) {
    tEventFormat.usPacketFormatId = row.format;
    tEventFormat.ucPacketItemSize = row.size;
    kd->diag().queue_event(row.packet);
    EXPECT_EQ(polls(1), row.expected) << row.expected;
    EXPECT_EQ(kd->diag().pending_events(), 0u) << row.expected;  // read whole, so consumed
  }
}

TEST_P(Diag, EsdReportsCountToTheAlarmAndTheCounterSaturates) {
  start();
  auto report = [&](uint8_t clearing) {
    kd->diag().queue_event({0x8A, 1, clearing});
    return polls(1);
  };
  std::string seen;
  for (int i = 0; i < 6; ++i) seen += report(0);
  EXPECT_EQ(seen, std::string("ESD???\n") + "ESD???\nESD???\nESD???\nESD???\nESD???\n");
  EXPECT_EQ(kd->registers()[REG_SETTER + 8], 0);
  EXPECT_EQ(report(0), "채널 단선이 있는 듯 합니다.\n");
  EXPECT_EQ(kd->registers()[REG_SETTER + 8], 1);  // ucDisableESDAlert, the whole block written
  EXPECT_EQ(kd->registers()[REG_SETTER + 1], 2);
  EXPECT_EQ(report(5), "ESD???\n");  // a clearing report restarts the count
  EXPECT_EQ(iFirstFrameESDPacketCnt, 0);
  kd->diag().queue_event({0x80, 2, 0});  // not a report
  EXPECT_EQ(polls(1), "");
  iFirstFrameESDPacketCnt = INT32_MAX;
  EXPECT_EQ(report(0), "채널 단선이 있는 듯 합니다.\n");
  EXPECT_EQ(iFirstFrameESDPacketCnt, INT32_MAX);
}

TEST_P(Diag, ImagesWholeAndByFingerRegionThenAcknowledged) {
  start();
  request_image(1);  // raw data: no regions, 16-bit, stride 18, keys after row 9
  std::string out = polls(1);
  EXPECT_TRUE(
      out.starts_with("[Format]\n    row: 10, col: 16, buffer_col: 18, tDataType.b7Size: 2\n    Finger num: 0\n"))
      << out;
  EXPECT_NE(out.find("\n > [  0]  1000, 1001, 1002,"), std::string::npos) << out;
  EXPECT_NE(out.find("\n > [  9]  1090, 1091,"), std::string::npos) << out;
  EXPECT_TRUE(out.ends_with(" 1105,\n > [Key]  1500, 1501,\n")) << out;
  EXPECT_EQ(kd->registers()[REG_IMAGE_CTRL], 0);
  EXPECT_EQ(polls(3), "");  // acknowledged: read once

  request_image(3);  // intensity: one region, rows 3 to 5, columns 6 to 8, signed
  EXPECT_EQ(polls(1),
            "[Format]\n    row: 10, col: 16, buffer_col: 18, tDataType.b7Size: 2\n    Finger num: 1\n[Finger 0]\n"
            " >         [  0]  [  1]  [  2] \n > [  0]     60,    90,    60,\n > [  1]     90,   120,    90,\n"
            " > [  2]     60,    90,    60,\n > [Key]     30,    60,\n");

  // Forty regions (160 bytes, more than one CP2112 read), the last inverted.
  request_image(2);
  auto& regs = kd->registers();
  regs[0x0C30] = 40;
  for (int i = 0; i < 40; ++i) {
    const int8_t region[4] = {static_cast<int8_t>(i % 10), static_cast<int8_t>(i % 10), 1, 1};
    std::memcpy(&regs[0x0C31 + 4 * i], region, 4);
  }
  const int8_t inverted[4] = {5, 3, 6, 8};
  std::memcpy(&regs[0x0C31 + 4 * 39], inverted, 4);
  out = polls(1);
  EXPECT_NE(out.find("[Finger 38]\n >         [  0] \n > [  0]      0,\n"), std::string::npos)
      << out;  // row 8, column 1
  EXPECT_TRUE(
      out.ends_with("[Finger 39]\n    region rows 5 to 3, columns 6 to 8: the end lies before the start, skipped\n"))
      << out;
  EXPECT_EQ(kd->registers()[REG_IMAGE_CTRL], 0);
}

TEST_P(Diag, TestResultsRunPrintAndRelease) {
  start();
  const struct {
    uint8_t test;
    std::string head, row0, last;
  } rows[] = {
      {2, "Buffer address: 0x2800\n[Format]\n    row: 10, col: 16, buffer_col: 16, data size: 2\n   rotated: 0\n",
       " > [  0]  2000, 2001,", " > [Key]  2160, 2161,\n"},
      {3, "Buffer address: 0x2800\n[Format]\n    row: 10, col: 16, buffer_col: 16, data size: 1\n   rotated: 1\n",
       " > [  0]    1,   0,   1,",
       " > [  9]    0,   1,   0,   1,   0,   1,   0,   1,   0,   1,   0,   1,   0,   1,   0,"
       "   1,\n"},
      {9, "Buffer address: 0x2800\n[Format]\n    row: 0, col: 0, buffer_col: 0, data size: 0\n   rotated: 0\n", "", ""},
  };
  for (const auto& row : rows) {
    const std::string out = output([&] { ReadTestResult(row.test); });
    EXPECT_TRUE(out.starts_with(row.head)) << out;
    EXPECT_NE(out.find(row.row0), std::string::npos) << out;
    EXPECT_TRUE(out.ends_with(row.last)) << out;
    EXPECT_EQ(kd->registers()[0x0A10], 0xFF);  // released
  }
  EXPECT_EQ(kd->diag().tests_run(), 3);
}

TEST_P(Diag, LogRecordsUntilTheEndRecord) {
  start();
  tLogCtrl.ulLogMask = 0x1;
  tLogCtrl.bLogEnable = 1;
  ASSERT_EQ(i2c_write_to(REG_LOG_CTRL, reinterpret_cast<uint8_t*>(&tLogCtrl), 5), 1);
  kd->clear_transfers();
  const std::string out = polls(20);
  EXPECT_EQ(gloop, 0);
  EXPECT_EQ(writes_to(REG_LOG_CTRL), 5);  // each record acknowledged, the end record not
  for (const char* line : {" > [166] Frame Start--------------------------------------------\n", " > [ 81] Rawdata\n",
                           " > [ 83] Intensity\n", " > [170] Time profile\n", " > [TEST_LOG] code: 200\n",
                           " > [  0]     100000,    100037,", "    101443,\n",  // a 160-byte row, split on the CP2112
                           " > [  0]    -2,   -1,    0,    1,\n"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  }
}

TEST_P(Diag, AnUnreadLogHeaderIsNeitherTheEndNorAcknowledged) {
  if (GetParam() == kCustom) GTEST_SKIP() << "the custom board reports no refused read";
  start();
  tLogCtrl.ulLogMask = 0x1;
  tLogCtrl.bLogEnable = 1;
  ASSERT_EQ(i2c_write_to(REG_LOG_CTRL, reinterpret_cast<uint8_t*>(&tLogCtrl), 5), 1);
  kd->clear_transfers();
  hooked->refuse = [](bool read, uint16_t reg, size_t) { return read && reg == 0x1020; };
  EXPECT_EQ(polls(1), "Cannot read the log record header (register 0x1020).\n");
  EXPECT_EQ(gloop, 1);
  EXPECT_EQ(writes_to(REG_LOG_CTRL), 0);
}

// Values of every size and sign, addresses that wrap, against registers set directly.
TEST_P(Diag, MatrixValuesBySizeAndSign) {
  start();
  auto& regs = kd->registers();
  const struct {
    uint8_t type;
    std::vector<uint8_t> bytes;
    std::string expected;
  } rows[] = {
      {0x01, {7, 255}, " >       [  0][  1]\n > [  0]    7, 255,\n"},
      {0x81, {7, 255}, " >        [  0] [  1] \n > [  0]     7,   -1,\n"},
      {0x82, {0xFE, 0xFF}, " >         [  0] \n > [  0]     -2,\n"},
      {0x04, {0xFF, 0xFF, 0xFF, 0xFF}, " >             [  0] \n > [  0] 4294967295,\n"},
      {0x84, {0, 0, 0, 0x80}, " >              [  0] \n > [  0] -2147483648,\n"},
  };
  for (const auto& row : rows) {
    const int count = static_cast<int>(row.bytes.size()) / (row.type & 0x7F);
    std::copy(row.bytes.begin(), row.bytes.end(), &regs[0x0010]);  // row offset 1 from 0xFFF0 wraps to 0x0010
    EXPECT_EQ(output([&] { ReadRmiBuffer(0xFFF0, 1, count, 32 / (row.type & 0x7F), 1, 0, 0, row.type); }),
              row.expected);
  }
  EXPECT_EQ(output([] { ReadRmiBuffer(0x2000, 2, 2, 2, 0, 0, 0, 3); }), "");  // no such value size
}

TEST_P(Diag, ReplayFile) {
  start();
  const auto saved = std::filesystem::current_path();
  const auto dir = std::filesystem::temp_directory_path() / ("replay_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  std::filesystem::remove("rawdata.log");
  EXPECT_EQ(output([] { EXPECT_EQ(master_open_log_file(), 0); }), "intensity.log 파일이 존재 하지 않음!!!\nError!\n");
  EXPECT_EQ(output(master_send_rawimage), "No replay file is open.\n");
  std::ofstream("rawdata.log", std::ios::binary) << "   1   2   3\n   4   5   6\n   7   8   9\n  10  11  12\n";
  tModuleCommonConf = {};
  EXPECT_EQ(output([] { EXPECT_EQ(master_open_log_file(), 0); }),
            "size : 52 bytes.\nframe size : 0 bytes (rows 0, columns 0): no frame to replay.\n");
  tModuleCommonConf.aucData[35] = 2;
  tModuleCommonConf.aucData[36] = 3;
  EXPECT_EQ(output([] { EXPECT_EQ(master_open_log_file(), 1); }),
            "size : 52 bytes.\nframe size : 24 bytes, frame_cnt : 2\n");
  EXPECT_EQ(output([] {
              for (int i = 0; i < 5; ++i) master_send_rawimage();  // past the end and round again
            }),
            "");
  master_close_log_file();
  master_close_log_file();
  std::filesystem::current_path(saved);
  std::filesystem::remove_all(dir);
}

}  // namespace
