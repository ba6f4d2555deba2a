// The virtual hardware of fwdownload-sim and kdtool --virtual, configured
// from KDSIM_* environment variables (see docs/hardware.md).
#pragma once

// Serials of the virtual bridges, so that one can be named (kdtool --serial).
constexpr char KDSIM_BOARD_SERIAL[] = "BOARDSIM0001";
constexpr char KDSIM_CP2112_SERIAL[] = "CP2112SIM0001";

// Builds and attaches the virtual bridges and controller. Returns 0, or prints
// an error message and returns the exit code (2) for a bad variable.
int kdsim_setup_from_environment(void);
// The start-up of an executable on the virtual hardware: builds it from the
// environment and binds the virtual HID transport. 0, or the exit code.
int kdsim_start(void);
// For a process that only looks at the boards while other processes of the
// same set work on them (kdtool station): from now on no KDSIM_FLASH_OUT
// file is created or written by this process.
void kdsim_leave_flash_files(void);
