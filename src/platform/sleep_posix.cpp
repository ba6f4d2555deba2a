#include "platform/sleep.h"

#include <cerrno>
#include <ctime>

void platform_sleep_ms(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// POSIX sleeps are not bound to a timer tick.
unsigned platform_sleep_timer_period(void) { return 0; }
void platform_sleep_release(void) {}
