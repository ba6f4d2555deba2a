// A bridge wired straight to a virtual I2C target, bound into the bridge
// operation table: lets the layers above the table (register access, mode
// and status operations, the update) run against the virtual controller
// without a USB bridge in between.
#pragma once

#include "i2c_target.h"

#include <cstdint>

// Binds the eleven slots of the table to the direct bridge and connects it to
// `target`. The bridge starts at address 0x34, plugged in.
void direct_bridge_bind(I2cTarget* target);
// After this many more transfers the bridge is "unplugged": every later
// transfer fails without reaching the target. Negative: never.
void direct_bridge_unplug_after(long transfers);
// Transfers carried so far (writes and reads).
long direct_bridge_transfer_count(void);
// The 7-bit address the bridge currently addresses.
uint8_t direct_bridge_address(void);
