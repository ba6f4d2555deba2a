// kdtool's flash commands: dump, program, verify and erase.
//
// Each takes a bridge that is already brought up (emul_board set, the table
// bound, the slave address set) and returns kdtool's exit code: 0 done,
// 1 failed (a line above says why), 2 the file cannot be used, 3 the command
// needs a CP2112 and none is in use (a line on stderr says so). dump, program and
// erase drive the controller's ISP mode, which the CP2112 alone can do.
#pragma once

#include <cstdint>

// The whole 128 KiB flash into `file`.
int kdtool_cmd_dump(const char* file);
// Mass erase, then `file` from flash address 0.
int kdtool_cmd_program(const char* file);
// The IAP verify of `file` against the flash from `at`, then the verdict
// line. A controller with the full interface is put into update mode for
// the checks and reset afterwards.
int kdtool_cmd_verify(const char* file, uint32_t at);
// The sector erase at 0x2000.
int kdtool_cmd_erase(void);
