// Virtual CP2112 HID-to-SMBus bridge (see cp2112_sim.cpp).
#pragma once

#include "i2c_target.h"
#include "platform/hid_virtual.h"

#include <memory>

// A virtual CP2112 (0x10C4/0xEA90) carrying its transfers to `target`, or
// nullptr while the virtual CP2112 is not available in this build.
std::shared_ptr<VirtualHidDevice> make_virtual_cp2112(I2cTarget* target);
