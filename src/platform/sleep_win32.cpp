#include "platform/sleep.h"

#include <windows.h>
#include <timeapi.h>

#include <atomic>
#include <chrono>
#include <cstdlib>

namespace {

std::atomic<unsigned> g_period{0};
bool g_release_at_exit = false;

void hold_timer_period() {
  if (g_period.load() != 0) return;
  if (timeBeginPeriod(1) != TIMERR_NOERROR) return;  // pauses get longer, never shorter
  g_period.store(1);
  if (!g_release_at_exit) {
    g_release_at_exit = true;
    std::atexit(platform_sleep_release);
  }
}

}  // namespace

void platform_sleep_ms(uint32_t ms) {
  hold_timer_period();
  if (ms == 0) return;
  // Sleep() may wake up to a tick early: keep sleeping until the time is up.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (Clock::time_point now = Clock::now(); now < deadline; now = Clock::now()) {
    Sleep(static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count()));
  }
}

unsigned platform_sleep_timer_period(void) { return g_period.load(); }

void platform_sleep_release(void) {
  if (g_period.exchange(0) != 0) timeEndPeriod(1);
}
