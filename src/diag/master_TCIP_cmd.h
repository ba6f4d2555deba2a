// The master console's help table and setter operations, and the register
// helpers that the master console and the logging console share.
//
// Both consoles judge a value only from a read that succeeded and say so in
// one line when a transfer failed, so the user never takes a refused write
// for a done one.
#pragma once

#include <cstdint>

// One line of a console's help list: key text (the Backspace key reads "BS")
// and label, both NUL-padded.
struct tCommandInfoItem {
  char acKey[5];
  char acLabel[100];
};

constexpr int COMMAND_INFO_COUNT = 21;
extern const tCommandInfoItem tCommandInfo[COMMAND_INFO_COUNT];

constexpr uint8_t KEY_BACKSPACE = 8;

// Module configuration word at 0x1200: byte 0 charger noise immunity (bit 0),
// byte 1 LCD noise immunity (bit 0), byte 2 oscillator value, byte 3 set to 1
// asks the controller to read its module configuration.
constexpr uint16_t REG_MODULE_CONF = 0x1200;
constexpr uint16_t MODULE_CONF_SIZE = 4;

// ---- Setter operations ------------------------------------------------------
// Each stores one field of tSetter and writes the whole 14-byte block to
// 0x0610. Result: that of the write (1 written, 0 refused; a refusal is also
// reported on the console).
int SetEventInterruptType(uint8_t type);
int SetDisableESDAlert(void);
int SetRecalibrate(uint8_t recalibrate);
int SetPowerConsumptionState(uint8_t state);
int SetGestureType(uint32_t type);
int SetChargerAttached(uint8_t attached);
int SetGloveSensingEnable(uint8_t enable);
int SetSensingOnWindowEnable(uint8_t enable);
int SetPalmRejectionEnable(uint8_t enable);
int SetDiableEdgeExpand(uint8_t disable);

// ---- Shared by both consoles --------------------------------------------------
// Register write that prints one line naming the register when the bridge
// refused it. Returns 1 written, 0 refused.
int console_write_block(uint16_t reg, const void* data, uint16_t count);
// SetMode, with one line when the request was refused or the controller
// stopped answering before it reported ready. (The space bar and Ctrl+C end
// the wait quietly: the user did that.)
void console_set_mode(uint8_t mode);
// Reads the module configuration word into `conf`; on a failed read prints
// one line and returns 0, and the caller writes nothing back.
int module_conf_read(uint8_t conf[MODULE_CONF_SIZE]);
// What a console keeps for the keys both treat alike: which of its keys
// toggle the charger and LCD noise immunities and request a module
// configuration read, and its own feature toggles for keys C, G, W and P
// (each press sends the opposite of the last; the consoles keep theirs apart).
struct ConsoleKeys {
  uint8_t charger_noise_key;
  uint8_t lcd_noise_key;
  uint8_t module_conf_read_key;
  bool charger = true;
  bool glove = true;
  bool window = true;
  bool palm = true;
};
// Handles the keys both consoles share (x, z, ;, R, T, k, K, C, G, W, P,
// Backspace and the three module configuration keys of `keys`). Returns true
// when `key` was one of them.
bool console_shared_key(uint8_t key, ConsoleKeys& keys);
// Puts both consoles' toggles (keys C, G, W, P, j, y, Y, backslash and the
// log types) in the state a run starts with.
void console_reset_toggles(void);
// A console's help list between its title line and the closing rule.
void console_print_help(const char* title, const tCommandInfoItem* items, int count);
// Switches the controller's logging on (1) or off (0). When the write is
// refused, tLogCtrl keeps the state the controller still has and 0 is
// returned.
int console_set_logging(uint8_t enable);
