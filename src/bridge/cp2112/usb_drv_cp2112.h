// CP2112 driver layer over the HID-to-SMBus library.
#pragma once

#include <cstdint>

void usb_drv_cp2112_close(void);
