// fwdownload-sim's virtual hardware, configured from KDSIM_* environment
// variables (see the README). Only the virtual HID backend calls this.
#pragma once

// Builds and attaches the virtual bridges and controller. Returns 0, or prints
// an error message and returns the exit code (2) for a bad variable.
int kdsim_setup_from_environment(void);
