// Sleep: pauses the calling thread.
#pragma once

#include <cstdint>

// Sleeps at least `ms` milliseconds (0 returns at once). Interrupted sleeps
// (a signal) are resumed for the time that is left.
void platform_sleep_ms(uint32_t ms);
