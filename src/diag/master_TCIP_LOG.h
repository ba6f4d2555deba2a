// The logging-protocol console: while tLogCtrl.bLogEnable is 1 the console's
// keys come here. They switch the controller's log types on and off through
// the log mask, put it into its tuning and measurement modes, adjust the
// oscillator value and offer the master console's feature switches.
#pragma once

#include "diag/master_TCIP_cmd.h"

#include <cstdint>

constexpr int LOG_COMMAND_INFO_COUNT = 46;
extern const tCommandInfoItem tLogCommandInfo[LOG_COMMAND_INFO_COUNT];

// Log types 0 to 28: bit n of tLogCtrl.ulLogMask asks for type n.
constexpr uint8_t LOG_TYPE_COUNT = 29;
constexpr int LOG_TYPE_NAME_SIZE = 40;
// What this console last switched each type to (1 on), all off at start.
extern uint8_t vbLogType[LOG_TYPE_COUNT];
extern const char mcLogTypeName[LOG_TYPE_COUNT][LOG_TYPE_NAME_SIZE];

// Puts this console's toggles and vbLogType as a run starts them.
void log_console_reset_toggles(void);
// Handles one key; prints nothing for a key without an action.
void master_packet_sender_TCIP_LOGGING(uint8_t key);
void print_Log_command_list(void);
// Switches log type `type`: flips its vbLogType flag and mask bit, writes the
// log control block and prints "<name> ON" or "<name> OFF". A type outside the
// table is ignored; a refused write puts flag and bit back and says so.
void toggle_log(uint8_t type);
