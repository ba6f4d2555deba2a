#include "platform/sleep.h"

#include <windows.h>
#include <timeapi.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

using Clock = std::chrono::steady_clock;

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

// One high-resolution timer per thread, made on first use; nullptr where
// Windows has none (before Windows 10 1803, and wine).
HANDLE high_resolution_timer() {
  struct Timer {
    HANDLE handle = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    ~Timer() {
      if (handle != nullptr) CloseHandle(handle);
    }
  };
  thread_local Timer timer;
  return timer.handle;
}

// Sleeps for `left` on the high-resolution timer; false when there is none.
bool wait_on_timer(Clock::duration left) {
  const HANDLE timer = high_resolution_timer();
  if (timer == nullptr) return false;
  LARGE_INTEGER due;
  // Negative: relative, in 100 ns units (rounded up: never early).
  due.QuadPart = -static_cast<LONGLONG>((std::chrono::ceil<std::chrono::nanoseconds>(left).count() + 99) / 100);
  if (!SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) return false;
  return WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
}

}  // namespace

void platform_sleep_ms(uint32_t ms) {
  std::fflush(stdout);  // what was printed shows before the program pauses
  hold_timer_period();
  if (ms == 0) return;
  // Sleep() may wake up to a tick early: keep sleeping until the time is up.
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (Clock::time_point now = Clock::now(); now < deadline; now = Clock::now()) {
    Sleep(static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count()));
  }
}

void platform_sleep_until(Clock::time_point deadline) {
  Clock::time_point now = Clock::now();
  if (now >= deadline) return;
  if (wait_on_timer(deadline - now)) now = Clock::now();
  if (now >= deadline) return;
  // Sleep() counts in whole timer periods: whole milliseconds under the 1 ms
  // period, taken here for the pause so that it never depends on an earlier
  // sleep, and the part of a millisecond left over spun.
  const bool took_period = g_period.load() == 0 && timeBeginPeriod(1) == TIMERR_NOERROR;
  for (; deadline - now >= std::chrono::milliseconds(1); now = Clock::now()) {
    Sleep(static_cast<DWORD>(std::chrono::floor<std::chrono::milliseconds>(deadline - now).count()));
  }
  if (took_period) timeEndPeriod(1);
  while (Clock::now() < deadline) {
  }
}

unsigned platform_sleep_timer_period(void) { return g_period.load(); }

void platform_sleep_release(void) {
  if (g_period.exchange(0) != 0) timeEndPeriod(1);
}
