// Process-wide state of one run and the entry's companions.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

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
// Ctrl+C presses so far (wrapping): tells a wait that Ctrl+C ended from one
// that a console reader ended by clearing gloop.
extern std::atomic<uint8_t> g_ctrl_c_presses;

// Off for unattended runs (kdtool update, several at once from a script):
// "Please press any key exit!!!" and the wait after it are left out.
extern bool g_exit_key_waits;     // true at start
// The console host clears this before each master_run; master_run sets it
// when the poll found work (an event packet, an image or a log record). The
// host pauses 1 ms after a poll that left it clear and saw no key.
extern bool g_master_run_busy;

constexpr uint32_t IMAGE_SIZE = 0x1C000;
constexpr uint8_t DEFAULT_SLAVE_ADDR = 0x34;

// Process exit codes.
constexpr int EXIT_UPDATED = 0;       // written and reset requested, or already current
constexpr int EXIT_UPDATE_FAILED = 1;  // update failed or was interrupted
constexpr int EXIT_BAD_INPUT = 2;      // command line or image rejected
constexpr int EXIT_NO_BRIDGE = 3;      // no bridge answered

// The whole run of fwdownload and fwdownload-sim (main.cpp): the seven
// positions of the command line. `start_transport` binds and starts the HID
// transport of the executable (0, or the exit code to end with).
int fwdownload_main(int argc, char** argv, int (*start_transport)(void));

enum class ImageLoad : uint8_t { kLoaded, kWrongSize, kReadFailed };
// Checks that the open file is exactly IMAGE_SIZE bytes and reads it whole
// into BinaryBuffer, setting Download_Mode. The update must never run on a
// partial image: a failed allocation or a short read gives kReadFailed.
ImageLoad load_image(FILE* image);

// The exit code for how the update ended (g_update_outcome).
int update_exit_code(void);

// The first signal that signal_handler got (SIGINT, SIGTERM, SIGHUP), 0 none:
// what the verdict names as the end of a stopped run.
extern std::atomic<int> g_stop_signal;
static_assert(std::atomic<int>::is_always_lock_free);

// Ctrl+C handler, also for SIGTERM and SIGHUP where the platform delivers
// them (platform/terminal.h): prints the Ctrl+C line (for another signal a
// line naming it) and clears gloop, so the command in flight ends and no
// further one starts.
void signal_handler(int signo);
// The banner; `starting` non-zero gives the empty status line, 0 "Terminated".
void print_console_app_message(uint8_t starting);
