// Process-wide state of one run and the entry's companions.
#pragma once

#include <atomic>
#include <cstdint>

extern uint16_t img_vid;        // custom board's USB vendor ID (argument 2)
extern uint16_t img_pid;        // custom board's USB product ID (argument 3)
extern uint16_t img_core_ver;   // release versions (arguments 4 to 6)
extern uint16_t img_app_ver;
extern uint16_t img_para_ver;
extern uint8_t Download_Mode;   // 1 once the image has the right size
extern uint8_t* BinaryBuffer;   // the whole image, IMAGE_SIZE bytes
extern int8_t emul_board;       // BOARD_NONE, BOARD_CP2112 or BOARD_HIDBOARD
// Run flag: 1 at start, cleared by Ctrl+C. Atomic: the Windows console runs
// the Ctrl+C handler on a thread of its own.
extern std::atomic<uint8_t> gloop;
static_assert(std::atomic<uint8_t>::is_always_lock_free);  // also safe in a signal handler

constexpr uint32_t IMAGE_SIZE = 0x1C000;
constexpr uint8_t DEFAULT_SLAVE_ADDR = 0x34;

// Process exit codes.
constexpr int EXIT_UPDATED = 0;       // written and reset requested, or already current
constexpr int EXIT_UPDATE_FAILED = 1;  // update failed or was interrupted
constexpr int EXIT_BAD_INPUT = 2;      // command line or image rejected
constexpr int EXIT_NO_BRIDGE = 3;      // no bridge answered

// Ctrl+C handler: prints the Ctrl+C line and clears gloop.
void signal_handler(int signo);
// The banner; `starting` non-zero gives the empty status line, 0 "Terminated".
void print_console_app_message(uint8_t starting);
