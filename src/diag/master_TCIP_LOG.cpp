// The logging-protocol console.
#include "diag/master_TCIP_LOG.h"

#include "app/entry.h"
#include "console/log.h"
#include "console/util_console.h"
#include "diag/device_records.h"
#include "diag/master_TCIP.h"

#include <cstdio>

const tCommandInfoItem tLogCommandInfo[LOG_COMMAND_INFO_COUNT] = {
    {"?", "Help"},
    {"x", "E[x]it"},
    {"r", "Toggle LOG ([r]awdata)"},
    {"6", "Toggle LOG (TxlessRawdata)"},
    {"i", "Toggle LOG (signed [i]ntensity)"},
    {"l", "Back to the TCIP Protocol"},
    {"z", "Change to diagnostic mode(cm test)"},
    {"=", "Toggle normal/noise mode"},
    {"+", "Toggle normal/LCD noise mode"},
    {"k", "Change to [k]nock-on mode"},
    {";", "Disable ESD Alert"},
    {"R", "Do [R]ecalibrate"},
    {"k", "Change to [k]nock-on mode"},
    {"T", "Set gesture [T]ype"},
    {"C", "Set [C]harger attached"},
    {"G", "Change to [G]love sensing mode"},
    {"W", "Change to sensing on [W]indow Mode"},
    {"P", "Set to 'P'alm rejection enable"},
    {"o", "[o]ptimize delay"},
    {"n", "[n]ormalize intensity"},
    {"f", "Toggle LOG (Re[f]erence)"},
    {"I", "Toggle LOG (filtered [I]ntensity)"},
    {"g", "Toggle LOG ([g]roup image)"},
    {"d", "Toggle LOG ([d]elay image)"},
    {"b", "Toggle LOG (Recal info)"},
    {"v", "Toggle LOG (Check CM data)"},
    {"e", "Toggle LOG (Stack ch[e]ck)"},
    {"t", "Toggle LOG (Screen bending info)"},
    {"a", "Toggle LOG (P[a]lm info)"},
    {"h", "Toggle LOG ([h]over info)"},
    {"`", "Toggle LOG (Stylus palm rejection info)"},
    {"~", "Toggle LOG (Stylus info)"},
    {"7", "Toggle LOG (Split info)"},
    {"8", "Toggle LOG (Merge info)"},
    {"c", "Toggle LOG ([c]oord info)"},
    {",", "Toggle LOG (Noise)"},
    {"9", "Analog configuration IRES tuning"},
    {"0", "Analog configuration DNR tuning"},
    {"-", "Analog configuration RDTime tuning"},
    {"O", "Check rawdata for researching [O]ptimize Delay"},
    {"y", "Get oversample buffer(DData))"},
    {"Y", "Get unsorted oversample buffer(DData))"},
    {"\\", "Check noise spectrum"},
    {"[", "Decrease OSC_VAL"},
    {"]", "Increase OSC_VAL"},
    {"BS", "Change to touch sesing mode"},
};

uint8_t vbLogType[LOG_TYPE_COUNT] = {};

// Named after the help labels of the keys that switch them; types no label
// describes go by their number.
const char mcLogTypeName[LOG_TYPE_COUNT][LOG_TYPE_NAME_SIZE] = {
    "Log type 0",          "Log type 1",          "TxlessRawdata",
    "Rawdata",             "Signed intensity",    "Oversample buffer (DData)",
    "Reference",           "Filtered intensity",  "Group image",
    "Log type 9",          "Delay image",         "Recal info",
    "Hover info",          "Split info",          "Merge info",
    "Coord info",          "Noise",               "Screen bending info",
    "Palm info",           "Log type 19",         "Stylus info",
    "Stylus palm rejection info", "Log type 22",  "Log type 23",
    "Log type 24",         "Log type 25",         "Log type 26",
    "Log type 27",         "Log type 28",
};

namespace {

// Keys that do nothing but switch a log type.
struct LogKey {
  uint8_t key;
  uint8_t type;
};
constexpr LogKey kLogKeys[] = {
    {'E', 1},  {'6', 2},  {'r', 3},  {'i', 4},  {'f', 6},  {'I', 7},  {'g', 8},  {'d', 10}, {'b', 11},
    {'h', 12}, {'7', 13}, {'8', 14}, {'c', 15}, {',', 16}, {'t', 17}, {'a', 18}, {'~', 20}, {'`', 21},
    {'p', 22}, {'1', 23}, {'2', 24}, {'3', 25}, {'4', 26}, {'5', 27},
};

constexpr uint8_t kLogTypeDdata = 5;

// This console's toggles, apart from the master console's.
ConsoleKeys tLogKeys = {'=', '+', '_'};
bool bCheckNoiseSpectrum = true;
bool bGetUnsortedDdata = true;
bool bGetDdata = true;

void leave_logging(void) {
  std::puts("EXIT TCIP Logging mode!");
  if (console_set_logging(0) != 0) print_command_list();  // else the controller still logs: stay here
}

// Oscillator keys: one step of byte 2 of the module configuration word.
void step_osc(int step) {
  uint8_t conf[MODULE_CONF_SIZE] = {};
  if (module_conf_read(conf) == 0) return;
  console_set_font_color(COLOR_GREY);
  std::printf("Previous OSC : %d, ", conf[2]);
  conf[2] = static_cast<uint8_t>(conf[2] + step);
  const int written = console_write_block(REG_MODULE_CONF, conf, MODULE_CONF_SIZE);
  if (written != 0) {
    console_set_font_color(COLOR_BRIGHT_GREEN);
    std::printf("Current OSC : %d\n", conf[2]);
  }
  console_set_font_color(COLOR_BRIGHT_WHITE);
}

// Keys y, Y and backslash: a measurement mode on every other press, touch
// sensing in between.
void alternate_mode(bool* flag, uint8_t mode, const char* line) {
  if (*flag) {
    if (line != nullptr) std::puts(line);
    console_set_mode(mode);
  } else {
    std::puts("Touch Sensing");
    console_set_mode(0);
  }
  *flag = !*flag;
}

}  // namespace

void log_console_reset_toggles(void) {
  for (uint8_t& on : vbLogType) on = 0;
  tLogKeys = ConsoleKeys{'=', '+', '_'};
  bCheckNoiseSpectrum = bGetUnsortedDdata = bGetDdata = true;
}

void print_Log_command_list(void) {
  console_print_help("'TCIP_4.x' Log Protocol ----------------------------------------", tLogCommandInfo,
                     LOG_COMMAND_INFO_COUNT);
}

void toggle_log(uint8_t type) {
  if (type >= LOG_TYPE_COUNT) return;
  const uint8_t was_on = vbLogType[type];
  const uint32_t previous_mask = tLogCtrl.ulLogMask;
  vbLogType[type] = was_on ? 0 : 1;
  if (was_on) {
    tLogCtrl.ulLogMask &= ~(1u << type);
  } else {
    tLogCtrl.ulLogMask |= 1u << type;
  }
  if (console_write_block(REG_LOG_CTRL, &tLogCtrl, sizeof tLogCtrl) == 0) {
    vbLogType[type] = was_on;
    tLogCtrl.ulLogMask = previous_mask;
    return;
  }
  std::printf(was_on ? "%s OFF\n" : "%s ON\n", mcLogTypeName[type]);
}

void master_packet_sender_TCIP_LOGGING(uint8_t key) {
  for (const LogKey& log_key : kLogKeys) {
    if (log_key.key == key) return toggle_log(log_key.type);
  }
  if (console_shared_key(key, tLogKeys)) return;
  switch (key) {
    case '?':
    case '/':
      print_Log_command_list();
      break;
    case 'l':
      leave_logging();
      break;
    case ']':
      step_osc(1);
      break;
    case '[':
      step_osc(-1);
      break;
    case 'o':
      std::puts("Analog configuration OPTIMIZE_DELAY tuning!!!");
      console_set_mode(4);
      console_set_mode(16);
      break;
    case '0':
      std::puts("Analog configuration DNR tuning!!!");
      console_set_mode(5);
      break;
    case '-':
      std::puts("Analog configuration RDTIME tuning!!!");
      console_set_mode(6);
      break;
    case '9':
      std::puts("Analog configuration IRES tuning!!!");
      console_set_mode(7);
      break;
    case 'v':
      std::puts("Enter 'Check Cm' mode!!!");
      console_set_mode(8);
      console_set_mode(16);
      break;
    case 'e':
      console_set_mode(9);
      break;
    case 'O':
      console_set_mode(0);
      std::puts("Analog configuration DELAY tuning!!!");
      console_set_mode(12);
      break;
    case 'n':
      std::puts("Enter 'Normalize Intensity' mode!!!");
      console_set_mode(13);
      break;
    case '\\':
      alternate_mode(&bCheckNoiseSpectrum, 11, "Check noise spectrum...");
      break;
    case 'y':
      alternate_mode(&bGetDdata, 14, nullptr);
      toggle_log(kLogTypeDdata);
      break;
    case 'Y':
      alternate_mode(&bGetUnsortedDdata, 15, nullptr);
      toggle_log(kLogTypeDdata);
      break;
    default:
      break;
  }
}
