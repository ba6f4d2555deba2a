// Placeholder bodies of the console operations kdtool calls, so that it
// links until the diagnostic console's own implementation replaces them.
#include "app/entry.h"
#include "diag/master_TCIP.h"

#include <cstdio>

void master_init(void) {
  if (!g_master_init_quiet) std::puts("(console help list)");
}

void Check_Firmware_Info(void) {}

void master_run(void) {}

void master_packet_sender(uint8_t key) {
  if (key == 'x') gloop = 0;
}
