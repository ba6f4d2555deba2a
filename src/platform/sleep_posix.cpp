#include "platform/sleep.h"

#include <cerrno>
#include <ctime>

void platform_sleep_ms(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void platform_sleep_until(std::chrono::steady_clock::time_point deadline) {
  // CLOCK_MONOTONIC is the steady clock of libstdc++ on Linux.
  const auto since_epoch = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch());
  timespec at{static_cast<time_t>(since_epoch.count() / 1000000000), static_cast<long>(since_epoch.count() % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

// POSIX sleeps are not bound to a timer tick.
unsigned platform_sleep_timer_period(void) { return 0; }
void platform_sleep_release(void) {}
