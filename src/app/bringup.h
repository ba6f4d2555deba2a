// Bridge selection, target bring-up and shutdown: the one sequence that
// fwdownload, fwdownload-sim and kdtool share.
#pragma once

#include <cstdint>

enum class BridgeChoice : uint8_t {
  kAny,     // the custom board first, then the CP2112
  kCustom,  // the custom board only
  kCp2112,  // the CP2112 only
};

// Opens the first bridge the choice allows (the custom board under
// img_vid/img_pid or its fallback pair, then the CP2112), prints its
// "init successfully" line, sets emul_board and binds the bridge operation
// table. Returns emul_board: BOARD_NONE when no bridge answered (then no
// table slot is bound and nothing was printed beyond the search's lines).
int8_t bridge_select(BridgeChoice choice);

// Brings the target up through the table: slave address g_slave_addr, then
// 200 kHz (setting the address resets the CP2112 to 400 kHz), power on,
// chip enable high, interrupt direction, and 160 ms for the controller to
// start. Results are not looked at: the operations that follow judge the
// controller by its answers.
void target_bring_up(void);

// Ends the run's use of the bridge: when one was selected, power off and
// close it; then the console and the custom board driver are closed.
void target_shut_down(void);
