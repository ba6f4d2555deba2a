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
// Noise immunity toggles: flip bit 0 of byte `index` (0 charger, 1 LCD).
void module_conf_toggle(int index);
// Module configuration read request: byte 3 := 1.
void module_conf_request_read(void);
// Key z of both consoles: diagnostic mode, the two test results, back to
// touch sensing.
void console_diagnostic_test(void);
