#include "bridge/cp2112/usb_drv_cp2112.h"

void usb_drv_cp2112_close(void) {}
