// Shutting the computer down and removing devices are Windows services here.
#include "bridge/cp2112/sys_helpers.h"

#include <cstdio>

int MySystemShutdown(void) {
  std::puts("Shutting the computer down is not available on this system.");
  return 0;
}

int ZQ_RemoveDevice(const char* text) {
  (void)text;
  std::puts("Removing a device is not available on this system.");
  return 0;
}

bool sys_helpers_available(void) { return false; }
