// Diagnostic console of the controller: device information, the master
// console, the matrix and image readers, and the run loop.
//
// A console run is master_init once, then master_run for every poll and
// master_packet_sender for every key, for as long as gloop stays set. The
// host (kdtool diag) supplies that loop.
//
// Files: master_TCIP.cpp (device information, readers, run loop),
// master_TCIP_cmd.cpp (the master console's keys and its help list),
// master_TCIP_LOG.cpp (the logging-protocol console), log_table.cpp.
#pragma once

#include <cstdint>

// ---- Device information -------------------------------------------------
// Starts a console run: master_console_begin, then prints the help list,
// reads and prints the device information and loads the device records.
void master_init(void);
// Puts the console's own state as a run starts (every toggle key in its
// first state, no lost controller), installs the console's readers for the
// log records and images a wait for ready sees and lets the end of input
// end a wait (app/device_mode.h).
void master_console_begin(void);
// When true, master_init leaves out the help list (an information-only run).
extern bool g_master_init_quiet;
// Prints the version and section blocks (also key v).
void Check_Firmware_Info(void);
// Reads the interface block and prints it as master_init does (also key 1).
// Returns 1 when the read succeeded.
int master_print_interface_info(void);

// ---- Reads -----------------------------------------------------------------
// A register read the console may judge: false when the bridge failed it or
// when every byte came back 0xFF, the idle bus that the custom board reads
// when no controller acknowledges (a real block of all ones is taken for
// that too). The readers below print nothing from a read judged failed.
bool diag_read(uint16_t reg, void* buffer, uint32_t size);

// ---- Readers --------------------------------------------------------------
// Reads and prints one matrix of `rows` x `cols` values starting at `base`,
// rows `buffer_col` values apart, and its `keys` key values.
void ReadRmiBuffer(uint16_t base, int rows, int cols, int buffer_col, int row_offset, int col_offset, int keys,
                   uint8_t data_type);
// Reads and prints an image the controller announced (status 0xAA) and
// acknowledges it. Returns the result of the acknowledging write.
int ReadImage(void);
// Runs diagnostic test `test` and prints its result.
void ReadTestResult(uint8_t test);
// Raw frame replay from "rawdata.log".
int master_open_log_file(void);
void master_send_rawimage(void);
void master_close_log_file(void);

// ---- Run loop -------------------------------------------------------------
// One poll: touch events, ESD reports, image and log notifications. Its
// status and event-flag reads are judged as diag_read does; once they have
// failed without a break for at least READY_LOST_MS and READY_LOST_MIN_READS
// times (the rule the waits for ready follow), it prints "The touch
// controller stopped answering.", sets g_master_controller_lost and clears
// gloop.
void master_run(void);
extern bool g_master_controller_lost;
// Counting ESD reports since the last clearing one (saturates, never wraps).
extern int32_t iFirstFrameESDPacketCnt;
// Reads and prints one log record the controller announced (status 0x77)
// and acknowledges it. Returns the result of the acknowledging write.
int ReadLog(void);

// ---- Master console -------------------------------------------------------
void print_command_list(void);
// Handles one key: prints the "You hit" line and hands the key to the master
// console or, while tLogCtrl.bLogEnable is set, to the logging console.
void master_packet_sender(uint8_t key);
void master_packet_sender_TCIP_MASTER(uint8_t key);
