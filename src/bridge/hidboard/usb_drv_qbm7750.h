// HID device driver of the custom bridge board: search, open, whole-report
// transfers.
#pragma once

#include <cstdint>

void usb_drv_qbm7750_close(void);
