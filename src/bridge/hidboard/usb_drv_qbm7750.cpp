#include "bridge/hidboard/usb_drv_qbm7750.h"

void usb_drv_qbm7750_close(void) {}
