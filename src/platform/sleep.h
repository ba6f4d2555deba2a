// Sleep: pauses the calling thread.
#pragma once

#include <chrono>
#include <cstdint>

// Sleeps at least `ms` milliseconds (0 returns at once). Interrupted sleeps
// (a signal) are resumed for the time that is left.
void platform_sleep_ms(uint32_t ms);

// Sleeps until `deadline` of the steady clock, for the short paced pauses of
// an update (a few ms): returns not before it, and late only by the system's
// wake-up latency, never by a whole timer tick. On Windows it does not rely on
// an earlier pause: it waits on a high-resolution waitable timer (Windows 10
// 1803 and later) or, where there is none, takes the 1 ms timer period for
// the pause itself and gives it back after, unless it was held already.
void platform_sleep_until(std::chrono::steady_clock::time_point deadline);

// The system timer period in milliseconds this layer holds; 0 when it holds
// none. On Windows the first pause asks for a 1 ms period (the default tick
// of 15.6 ms would stretch every 2 ms pause of an update to 16 ms) and holds
// it until exit or platform_sleep_release(); other systems hold none.
unsigned platform_sleep_timer_period(void);
// Gives a held timer period back (safe at any time, twice).
void platform_sleep_release(void);
