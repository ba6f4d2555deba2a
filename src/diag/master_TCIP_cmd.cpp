// The master console: one key at a time turned into register traffic.
#include "diag/master_TCIP_cmd.h"

#include "app/device_mode.h"
#include "app/entry.h"
#include "app/master.h"
#include "console/log.h"
#include "console/util_console.h"
#include "diag/device_records.h"
#include "diag/master_TCIP.h"
#include "diag/master_TCIP_LOG.h"

#include <array>
#include <cstdio>

const tCommandInfoItem tCommandInfo[COMMAND_INFO_COUNT] = {
    {"?", "Help"},
    {"x", "E[x]it"},
    {"z", "Change to diagnostic mode(cm test)"},
    {"v", "[v]ersion"},
    {"l", "Change to [l]ogging protocol"},
    {"n", "Toggle normal/[n]oise mode"},
    {"N", "Toggle normal/LCD [N]oise mode"},
    {"c", "Last [c]alled function addr"},
    {";", "Disable ESD Alert"},
    {"R", "Do [R]ecalibrate"},
    {"k", "Change to [k]nock-on mode"},
    {"T", "Set gesture [T]ype"},
    {"C", "Set [C]harger attached"},
    {"G", "Change to [G]love sensing mode"},
    {"W", "Change to sensing on [W]indow Mode"},
    {"P", "Set to 'P'alm rejection enable"},
    {"i", "[i]ntensity image"},
    {"f", "[f]iltered intensity image"},
    {"r", "[r]awdata image"},
    {"j", "Set disable edge expand([j]ig postion test mode)"},
    {"BS", "Change to touch sesing mode"},
};

namespace {

constexpr uint16_t kRegPacket = 0x0055;
constexpr uint16_t kRegPwmList = 0x1210;
constexpr uint16_t kRegRoicList = 0x1230;
constexpr uint16_t kRegIapCommand = 0x1400;
constexpr uint16_t kRegIapWindow = 0x6000;
constexpr uint16_t kRegDumpA = 0x8000;
constexpr uint16_t kRegDumpB = 0x3010;
constexpr uint16_t kDumpABytes = 440;
constexpr uint16_t kDumpBBytes = 100;
constexpr uint16_t kDumpBLabelBase = 0x0300;  // what the dump's lines have always been labelled
constexpr int kDumpAWordsPerLine = 44;

constexpr uint32_t kFlashTestFirst = 0x4000;
constexpr uint32_t kFlashTestEnd = 0x20000;
constexpr uint16_t kFlashTestUnit = 0x200;
constexpr uint16_t kFlashTestChunk = 16;
constexpr uint8_t kIapProgram = 3;
constexpr uint32_t kPollPauseMs = 1;

constexpr int kPwmCount = 14;
constexpr int kRoicCount = 46;

struct PwmParameter {
  const char* line;
  uint16_t default_value;
};
constexpr PwmParameter kPwmList[kPwmCount] = {
    {"    [TSYNC_NUM     ] = %d\n", 16},  {"    [LINE_NUM      ] = %d\n", 2},   {"    [INTV_PERIOD   ] = %d\n", 0},
    {"    [OFFSET0_PERIOD] = %d\n", 0},   {"    [OFFSET1_PERIOD] = %d\n", 936}, {"    [OFFSET2_PERIOD] = %d\n", 468},
    {"    [PRE_NUM       ] = %d\n", 5},   {"    [PRE_LOW       ] = %d\n", 234}, {"    [PRE_PERIOD    ] = %d\n", 468},
    {"    [PRE_ITV_PERIOD] = %d\n", 0},   {"    [F0_ACT0_NUM   ] = %d\n", 11},  {"    [F0_ACT1_NUM   ] = %d\n", 7},
    {"    [F0_ACT_LOW    ] = %d\n", 234}, {"    [F0_ACT_PERIOD ] = %d\n", 468},
};

// Default ROIC list: each value holds this number in both halves.
constexpr uint16_t kRoicDefaults[kRoicCount] = {
    0x0000, 0x0000, 0xB298, 0xC5FF, 0x8485, 0x0700, 0x0700, 0x0000, 0x0405, 0x0507, 0xB5E0, 0x0108,
    0x7760, 0x4003, 0x4040, 0x4040, 0x03E8, 0x044C, 0x07D0, 0x0834, 0x0BB8, 0x0C1C, 0x0FA0, 0x0FFF,
    0x0000, 0x0000, 0x0000, 0x0000, 0x2040, 0x0019, 0x0036, 0x0031, 0x0480, 0x1111, 0x1111, 0x1111,
    0x1111, 0x1111, 0x1111, 0x0000, 0x0000, 0xFFFF, 0xFFFF, 0x0000, 0x0000, 0x0000};

// This console's feature toggles; the logging console keeps its own.
ConsoleKeys tMasterKeys = {'n', 'N', '8'};
bool bDisableEdgeExpand = true;

uint8_t master_read_buf_array[200];

void put_le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> 8 * i);
}

int write_setter(void) { return console_write_block(REG_SETTER, &tSetter, sizeof tSetter); }

void read_failed(uint16_t reg, uint32_t count) {
  std::printf("Read of %u bytes from register 0x%04X failed; nothing to show.\n", static_cast<unsigned>(count), reg);
}

// A yes from the user before a key overwrites the controller's flash or
// parameters. Any key but Y (or end of input, or Ctrl+C) says no.
bool confirmed(const char* question) {
  std::puts(question);
  std::fflush(stdout);
  while (gloop != 0) {
    if (console_chk_input_history() != 0) {
      const int key = console_read_key();
      return key == 'Y' || key == 'y';
    }
    emul_usdelay(kPollPauseMs);
  }
  return false;
}

// Memory dump A: 220 words from 0x8000, 44 a line. Read in pieces the bridge
// accepts, so the CP2112 shows the same data as the custom board.
void dump_a(void) {
  std::array<uint8_t, kDumpABytes> rx{};
  if (!diag_read(kRegDumpA, rx.data(), kDumpABytes)) return read_failed(kRegDumpA, kDumpABytes);
  std::puts("ReadData : ");
  for (int i = 0; i < kDumpABytes / 2; ++i) {
    std::printf("%04d ", le16(&rx[2 * i]));
    if ((i + 1) % kDumpAWordsPerLine == 0) std::putchar('\n');
  }
  std::putchar('\n');
}

// Memory dump B: 50 words from 0x3010, one a line.
void dump_b(void) {
  std::array<uint8_t, kDumpBBytes> rx{};
  if (!diag_read(kRegDumpB, rx.data(), kDumpBBytes)) return read_failed(kRegDumpB, kDumpBBytes);
  std::puts("ReadData : ");
  for (int i = 0; i < kDumpBBytes / 2; ++i) {
    std::printf("0x%04X : 0x%04X \n", kDumpBLabelBase + 2 * i, le16(&rx[2 * i]));
  }
  std::putchar('\n');
}

// The answer to a program command: once the controller reports ready, its
// ucResult. The ready wait ends on the space bar, Ctrl+C, or status reads that
// keep failing (about a second); a ready controller that leaves ucResult 0 is
// read at most READY_LOST_MIN_READS times.
enum class UnitAnswer { kAnswered, kNoAnswer, kStopped };

UnitAnswer wait_unit_result(uint8_t* result) {
  switch (WaitForReadyStatus()) {
    case READY_OK:
      break;
    case READY_BRIDGE_FAILED:
      return UnitAnswer::kNoAnswer;
    default:
      return UnitAnswer::kStopped;
  }
  for (uint32_t reads = 0; reads < READY_LOST_MIN_READS && gloop != 0; ++reads) {
    uint8_t block[8] = {};
    if (diag_read(kRegIapCommand, block, sizeof block)) {
      log_printf(0, "status=%d\n", block[6]);
      if (block[6] != 0) {
        *result = block[6];
        return UnitAnswer::kAnswered;
      }
    }
    emul_usdelay(kPollPauseMs);
  }
  return gloop == 0 ? UnitAnswer::kStopped : UnitAnswer::kNoAnswer;
}

// Key 5: programs every 512-byte unit from 0x4000 with the pattern
// k, FF, FF, FF (k = 0..127) and checks the controller's answer.
void flash_write_test(void) {
  if (!confirmed("Press Y to overwrite the flash from 0x4000 with the test pattern, any other key to cancel.")) {
    std::puts("Flash-write test cancelled: nothing was written.");
    return;
  }
  std::array<uint8_t, kFlashTestUnit> pattern{};
  for (int k = 0; k < kFlashTestUnit / 4; ++k) put_le32(&pattern[4 * k], 0xFFFFFF00u + static_cast<uint32_t>(k));

  for (uint32_t address = kFlashTestFirst; address < kFlashTestEnd; address += kFlashTestUnit) {
    log_printf(0, "IAP WRITE : Addr=0x%08X\n", address);
    bool sent = true;
    for (uint16_t o = 0; sent && o < kFlashTestUnit; o += kFlashTestChunk) {
      sent = console_write_block(static_cast<uint16_t>(kRegIapWindow + o), &pattern[o], kFlashTestChunk) != 0;
    }
    uint8_t command[8] = {};
    put_le32(command, address);
    put_le16(command + 4, kFlashTestUnit);
    command[7] = kIapProgram;
    if (sent) sent = console_write_block(kRegIapCommand, command, sizeof command) != 0;
    if (!sent) {
      std::printf("Flash-write test stopped at 0x%08X: the unit could not be sent.\n", address);
      break;
    }
    uint8_t result = 0;
    const UnitAnswer answer = wait_unit_result(&result);
    if (answer == UnitAnswer::kNoAnswer) {
      std::printf("Flash-write test stopped at 0x%08X: the controller gave no result for the unit.\n", address);
      break;
    }
    if (answer == UnitAnswer::kStopped) {
      std::printf("Flash-write test stopped at 0x%08X.\n", address);
      break;
    }
    if (result != 1) log_printf(0, "MisMatched \n");
  }
  std::puts("The flash from 0x4000 may now hold the test pattern: update the firmware before using the controller.");
}

// Key 6.
void read_parameter_lists(void) {
  uint8_t pwm[kPwmCount * 2] = {};
  if (!diag_read(kRegPwmList, pwm, sizeof pwm)) {
    read_failed(kRegPwmList, sizeof pwm);
  } else {
    std::puts("READ PWMDRV Parameter List");
    for (int i = 0; i < kPwmCount; ++i) std::printf(kPwmList[i].line, le16(&pwm[2 * i]));
  }
  uint8_t roic[kRoicCount * 4] = {};
  if (!diag_read(kRegRoicList, roic, sizeof roic)) return read_failed(kRegRoicList, sizeof roic);
  std::puts("READ ROIC Parameter List");
  for (int i = 0; i < kRoicCount; ++i) {
    const uint32_t value = le32(&roic[4 * i]);
    std::printf("   [%2d] 0x%04X 0x%04X\n", i, value & 0xFFFF, value >> 16);
  }
}

// Key 7.
void write_parameter_lists(void) {
  if (!confirmed("Press Y to overwrite the PWM driver and ROIC parameter lists with the defaults, "
                 "any other key to cancel.")) {
    std::puts("Parameter lists not written.");
    return;
  }
  std::puts("WRITE PWMDRV Parameter List");
  uint8_t pwm[kPwmCount * 2];
  for (int i = 0; i < kPwmCount; ++i) put_le16(&pwm[2 * i], kPwmList[i].default_value);
  if (console_write_block(kRegPwmList, pwm, sizeof pwm) == 0) return;
  std::puts("WRITE ROIC Parameter List");
  for (int i = 0; i < kRoicCount; ++i) {
    uint8_t value[4];
    put_le32(value, static_cast<uint32_t>(kRoicDefaults[i]) << 16 | kRoicDefaults[i]);
    if (console_write_block(static_cast<uint16_t>(kRegRoicList + 4 * i), value, sizeof value) == 0) return;
  }
}

void image_request(const char* line, uint8_t request) {
  console_set_mode(0);
  std::puts(line);
  tImageCtrl.ucRequest = request;
  console_write_block(REG_IMAGE_CTRL, &tImageCtrl, sizeof tImageCtrl);
}

void enter_logging(void) {
  std::puts("Enter TCIP Logging mode!");
  if (console_set_logging(1) != 0) print_Log_command_list();
}

void module_conf_toggle(int index) {
  uint8_t conf[MODULE_CONF_SIZE] = {};
  if (module_conf_read(conf) == 0) return;
  conf[index] ^= 0x01;
  console_write_block(REG_MODULE_CONF, conf, MODULE_CONF_SIZE);
}

void module_conf_request_read(void) {
  uint8_t conf[MODULE_CONF_SIZE] = {};
  if (module_conf_read(conf) == 0) return;
  conf[3] = 1;
  console_write_block(REG_MODULE_CONF, conf, MODULE_CONF_SIZE);
}

// Keys C, G, W and P: the line, then the opposite of the last press.
void feature_toggle(bool& on, const char* enable_line, const char* disable_line, int (*set)(uint8_t)) {
  std::puts(on ? enable_line : disable_line);
  set(on ? 1 : 0);
  on = !on;
}

}  // namespace

// ---- Shared helpers ---------------------------------------------------------

void console_reset_toggles(void) {
  tMasterKeys = ConsoleKeys{'n', 'N', '8'};
  bDisableEdgeExpand = true;
  log_console_reset_toggles();
}

int console_write_block(uint16_t reg, const void* data, uint16_t count) {
  if (i2c_write_to(reg, static_cast<const uint8_t*>(data), count) != 0) return 1;
  std::printf("Write of %u bytes to register 0x%04X failed; the controller did not get it.\n",
              static_cast<unsigned>(count), reg);
  return 0;
}

void console_set_mode(uint8_t mode) {
  switch (SetMode(mode)) {
    case READY_WRITE_FAILED:
      std::printf("Mode %d request failed; the controller did not get it.\n", mode);
      break;
    case READY_BRIDGE_FAILED:
      std::printf("Mode %d requested, but the controller stopped answering before it was ready.\n", mode);
      break;
    default:
      break;
  }
}

int module_conf_read(uint8_t conf[MODULE_CONF_SIZE]) {
  if (diag_read(REG_MODULE_CONF, conf, MODULE_CONF_SIZE)) return 1;
  std::printf("Read of register 0x%04X failed; nothing was written back.\n", REG_MODULE_CONF);
  return 0;
}

int console_set_logging(uint8_t enable) {
  tLogCtrl.bLogEnable = enable;
  if (console_write_block(REG_LOG_CTRL, &tLogCtrl, sizeof tLogCtrl) != 0) return 1;
  tLogCtrl.bLogEnable = enable != 0 ? 0 : 1;  // the controller did not hear it
  return 0;
}

void console_print_help(const char* title, const tCommandInfoItem* items, int count) {
  std::puts(title);
  for (int i = 0; i < count; ++i) std::printf("[%s]: %s\n", items[i].acKey, items[i].acLabel);
  std::puts("---------------------------------------------------------------");
}

bool console_shared_key(uint8_t key, ConsoleKeys& keys) {
  if (key == keys.charger_noise_key || key == keys.lcd_noise_key) {
    const bool charger = key == keys.charger_noise_key;
    std::puts(charger ? "Toggle Charger Noise Immune Handling Status!" : "Toggle LCD Noise Immune Status!");
    module_conf_toggle(charger ? 0 : 1);
    return true;
  }
  if (key == keys.module_conf_read_key) {
    std::puts("Read Module Config!");
    module_conf_request_read();
    return true;
  }
  switch (key) {
    case 'x':
      gloop = 0;
      break;
    case 'z':  // diagnostic mode, the two test results, back to touch sensing
      console_set_mode(1);
      ReadTestResult(2);
      ReadTestResult(3);
      console_set_mode(0);
      break;
    case KEY_BACKSPACE:
      std::puts("Touch Sensing");
      console_set_mode(0);
      break;
    case ';':
      std::puts("Block ESD Detection!!!");
      SetDisableESDAlert();
      break;
    case 'R':
      std::puts("Recalibrate!!!");
      SetRecalibrate(1);
      break;
    case 'k':
      log_printf(0, "Enter to Knock-on(Low Power Consumption) mode\n");
      SetPowerConsumptionState(2);
      break;
    case 'K':
      log_printf(0, "Exit to Active(Normal Power Consumption) mode\n");
      SetPowerConsumptionState(1);
      break;
    case 'T':
      std::puts("Set Gesture Type!!!");
      SetGestureType(0);
      break;
    case 'C':
      feature_toggle(keys.charger, "Set Charger Attached!!!", "Set Charger Detached!!!", SetChargerAttached);
      break;
    case 'G':
      feature_toggle(keys.glove, "Set Glove Sensing Enable!!!", "Set Glove Sensing Disable!!!", SetGloveSensingEnable);
      break;
    case 'W':
      feature_toggle(keys.window, "Set Sensing on Window Enable!!!", "Set Sensing on Window Disable!!!",
                     SetSensingOnWindowEnable);
      break;
    case 'P':
      feature_toggle(keys.palm, "Set Palm Rejection Enable!!!", "Set Palm Rejection Disable!!!",
                     SetPalmRejectionEnable);
      break;
    default:
      return false;
  }
  return true;
}

// ---- Setter operations --------------------------------------------------------

int SetEventInterruptType(uint8_t type) {
  tSetter.ucEventInterruptType = type;
  return write_setter();
}
int SetDisableESDAlert(void) {
  tSetter.ucDisableESDAlert = 1;
  return write_setter();
}
int SetRecalibrate(uint8_t recalibrate) {
  tSetter.ucRecalibrate = recalibrate;
  return write_setter();
}
int SetPowerConsumptionState(uint8_t state) {
  tSetter.ucPowerConsumptionState = state;
  return write_setter();
}
int SetGestureType(uint32_t type) {
  tSetter.ulGestureType = type;
  return write_setter();
}
int SetChargerAttached(uint8_t attached) {
  tSetter.ucChargerAttached = attached;
  return write_setter();
}
int SetGloveSensingEnable(uint8_t enable) {
  tSetter.ucGloveSensing = enable;
  return write_setter();
}
int SetSensingOnWindowEnable(uint8_t enable) {
  tSetter.ucSensingOnWindow = enable;
  return write_setter();
}
int SetPalmRejectionEnable(uint8_t enable) {
  tSetter.ucPalmRejection = enable;
  return write_setter();
}
int SetDiableEdgeExpand(uint8_t disable) {
  tSetter.ucDisableEdgeExpand = disable;
  return write_setter();
}

// ---- The console --------------------------------------------------------------

void print_command_list(void) {
  console_print_help("'TCIP_4.x' Protocol --------------------------------------------", tCommandInfo,
                     COMMAND_INFO_COUNT);
}

void master_packet_sender(uint8_t key) {
  char text[8];
  console_key_text(key, text);
  std::printf("\n*** You hit [%s]\n", text);
  if (tLogCtrl.bLogEnable == 0) {
    master_packet_sender_TCIP_MASTER(key);
  } else {
    master_packet_sender_TCIP_LOGGING(key);
  }
}

void master_packet_sender_TCIP_MASTER(uint8_t key) {
  if (console_shared_key(key, tMasterKeys)) {
    std::putchar('\n');
    return;
  }
  switch (key) {
    case '?':
    case '/':
      print_command_list();
      break;
    case 'v':
      Check_Firmware_Info();
      break;
    case 'l':
      enter_logging();
      break;
    case 'c':
      std::puts("The last called function address is not available on this controller.");
      break;
    case 'j':
      SetDiableEdgeExpand(bDisableEdgeExpand ? 1 : 0);
      std::puts(bDisableEdgeExpand ? "Enter Jig Position Test Mode!!!" : "Exit Jig Position Test Mode!!!");
      bDisableEdgeExpand = !bDisableEdgeExpand;
      break;
    case 'i':
      image_request("== Get Intensity ===============================", 3);
      break;
    case 'f':
      image_request("== Get Filtered Intensity ======================", 2);
      break;
    case 'r':
      image_request("== Get Rawdata =================================", 1);
      break;
    case '1':
      master_print_interface_info();
      break;
    case '2':
      console_set_mode(2);
      break;
    case '3':
      console_set_mode(0);
      break;
    case 'q':
      if (!diag_read(kRegPacket, master_read_buf_array, 1)) {
        read_failed(kRegPacket, 1);
      } else {
        log_printf(0, "Read Packet: 0x%.2x\n", master_read_buf_array[0]);
      }
      break;
    case '0':
      dump_a();
      break;
    case '9':
      dump_b();
      break;
    case '5':
      flash_write_test();
      break;
    case '6':
      read_parameter_lists();
      break;
    case '7':
      write_parameter_lists();
      break;
    default:
      break;
  }
  std::putchar('\n');
}
